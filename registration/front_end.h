#pragma once

namespace quillpost {

class Platform;

/// Exit statuses of provreg.
constexpr int kExitCommandLineError = 0;  // usage text, or a refused PathDir
constexpr int kExitRegistered = 1;
constexpr int kExitRegistrationFailed = 2;  // no system directory, or a failed write

/// Runs provreg on its argument vector (argv[0] is the program name): reads
/// the mode ("-norm" or "-lite", ASCII case ignored) and the optional
/// PathDir, then registers that edition. Returns the process exit status.
int RunProvreg(Platform& platform, int argc, const char* const* argv);

}  // namespace quillpost
