#pragma once

namespace quillpost {

class Platform;

/// Exit statuses of provreg and provunreg.
constexpr int kExitCommandLineError = 0;  // usage text, or a refused PathDir
constexpr int kExitRegistered = 1;
constexpr int kExitRegistrationFailed = 2;    // no system directory, or a failed write
constexpr int kExitUnregistered = 1;          // the edition is no longer in the file
constexpr int kExitUnregistrationFailed = 2;  // no system directory, or a failed removal

/// provreg's main routine, on its argument vector (argv[0] is the program name): reads
/// the mode ("-norm" or "-lite", ASCII case ignored) and the optional
/// PathDir, then registers that edition. Returns the process exit status.
int ProvregMain(Platform& platform, int argc, const char* const* argv);

/// provunreg's main routine, on its argument vector: reads the mode ("-norm" or
/// "-lite", ASCII case ignored; parameters after it are ignored), then
/// removes that edition. Returns the process exit status.
int ProvunregMain(Platform& platform, int argc, const char* const* argv);

}  // namespace quillpost
