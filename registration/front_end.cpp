#include "registration/front_end.h"

#include <cstdio>
#include <cstring>

#include "platform/ascii_case.h"
#include "platform/config_path.h"
#include "platform/platform.h"
#include "registration/register_service.h"
#include "registration/unregister_service.h"

namespace quillpost {
namespace {

const char kUsage[] =
    "Must be one or two parameters :\n"
    "\t\"provreg.exe -norm <PathDir>\" (for normal) or\n"
    "\t\"provreg.exe -lite <PathDir>\" (for lite)\n"
    "\twhere PathDir is the path to the VRQPN.DLL";

const char kUnregisterUsage[] =
    "Must be one parameter :\n"
    "\t\"provunreg.exe -norm\" (for normal) or\n"
    "\t\"provunreg.exe -lite\" (for lite)\n"
    "\tto remove that edition of Varnholt Quillpost from Mapisvc.inf\n";

/// Reads the mode, argv[1], into |*lite|. Returns false when there is none
/// or it is neither "-norm" nor "-lite" (ASCII case ignored).
bool ReadMode(int argc, const char* const* argv, bool* lite) {
  if (argc < 2) return false;
  if (AsciiCaseCompare(argv[1], "-norm") == 0) {
    *lite = false;
    return true;
  }
  if (AsciiCaseCompare(argv[1], "-lite") == 0) {
    *lite = true;
    return true;
  }
  return false;
}

bool HasControlCharacter(const char* s) {
  for (; *s; ++s) {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (c < 32 || c == 127) return true;
  }
  return false;
}

/// Turns |arg| into the PathDir prefix in |prefix|: empty for an empty
/// argument, else the argument with one backslash appended unless it already
/// ends with one. Returns false, after printing why, for an argument that is
/// too long or holds a control character or a double quote.
bool MakePrefix(const char* arg, char (&prefix)[256]) {
  prefix[0] = '\0';
  const size_t length = std::strlen(arg);
  if (length == 0) return true;
  if (HasControlCharacter(arg)) {
    std::fputs("PathDir must not hold control characters such as line breaks\n", stdout);
    return false;
  }
  // No Windows path holds one: it is what is left of the quoting of a
  // PathDir that ends with a backslash ("C:\QP\" gives C:\QP").
  if (std::strchr(arg, '"') != nullptr) {
    std::fputs(
        "PathDir must not hold a double quote (quoted, a PathDir that ends with a backslash "
        "needs two: \"C:\\QP\\\\\")\n",
        stdout);
    return false;
  }
  const bool ends_with_backslash = arg[length - 1] == '\\';
  const size_t prefix_length = length + (ends_with_backslash ? 0 : 1);
  if (prefix_length > kMaxPathDirPrefix) {
    std::printf("PathDir is too long: at most %u bytes, its trailing backslash counted\n",
                kMaxPathDirPrefix);
    return false;
  }
  std::memcpy(prefix, arg, length);
  if (!ends_with_backslash) prefix[length] = '\\';
  prefix[prefix_length] = '\0';
  return true;
}

/// Makes the change that the writer planned, once it returned 1; otherwise
/// leaves the file alone. Returns 1 when the change is made; 0 after the
/// failure line, |failure| followed by the file's path, and its cause.
int Commit(Platform& platform, int planned, const char* failure) {
  if (!planned) {
    platform.AbandonChange();  // the writer has said why
    return 0;
  }
  // Formed first: the query leaves a record of its own, over the commit's.
  char path[256] = "";
  ServiceConfigPath(platform, path, sizeof path, sizeof path - 1);
  if (platform.CommitChange()) return 1;
  const Failure why = platform.LastFailure();
  std::printf("%s \"%s\"\n", failure, why.file != nullptr ? why.file : path);
  if (why.kind != FailureKind::kNone) std::printf("%s\n", why.line);
  if (why.remains != nullptr) std::printf("%s\n", why.remains);
  return 0;
}

/// Returns true when |prefix| holds a period after its drive ("C:").
bool HasPeriodAfterDrive(const char* prefix) {
  const bool drive = prefix[0] != '\0' && prefix[1] == ':';
  return std::strchr(prefix + (drive ? 2 : 0), '.') != nullptr;
}

}  // namespace

int ProvregMain(Platform& platform, int argc, const char* const* argv) {
  bool lite = false;
  if (!ReadMode(argc, argv, &lite)) {
    std::fputs(kUsage, stdout);
    return kExitCommandLineError;
  }

  // PathDir is taken only when it is the last parameter; with more
  // parameters every one after the mode is ignored.
  char prefix[256] = "";
  if (argc == 3 && !MakePrefix(argv[2], prefix)) return kExitCommandLineError;
  // Checked before anything is written: the 8-bit arguments may have lost
  // characters that the platform's code page cannot hold.
  if (argc == 3 && !platform.ArgumentsAsGiven(argc, argv)) {
    std::fputs("PathDir holds characters that the system's code page cannot hold\n", stdout);
    return kExitCommandLineError;
  }

  // Written as given; the installer author is told what will come of it.
  if (HasPeriodAfterDrive(prefix)) {
    std::puts(
        "Warning: the messaging subsystem of Outlook 2010 and later inserts \"32\" at the "
        "first period of the DLL's path, here in PathDir, and will not find the provider there");
  }

  // One change: every write is planned first and then made all at once, or
  // none of it (docs/profile-format.md, docs/windows.md).
  SubsystemFile subsystem;
  platform.BeginChange();
  const int planned = RegisterService(platform, lite, prefix, &subsystem);
  if (!Commit(platform, planned, "Cannot write the service definition to")) {
    return kExitRegistrationFailed;
  }
  if (subsystem.located == Platform::Located::kPresent) {
    std::printf("Also registered in \"%s\", the Mapisvc.inf the messaging subsystem reads\n",
                subsystem.path);
  } else if (subsystem.located == Platform::Located::kMissing) {
    std::printf(
        "The messaging subsystem has no Mapisvc.inf at \"%s\": registered in the system "
        "directory's file only\n",
        subsystem.path);
  }
  return kExitRegistered;
}

int ProvunregMain(Platform& platform, int argc, const char* const* argv) {
  bool lite = false;
  if (!ReadMode(argc, argv, &lite)) {
    std::fputs(kUnregisterUsage, stdout);
    return kExitCommandLineError;
  }
  // Parameters after the mode are ignored, as provreg ignores them.
  SubsystemFile subsystem;
  platform.BeginChange();
  const int planned = UnregisterService(platform, lite, &subsystem);
  if (!Commit(platform, planned, "Cannot remove the service definition from")) {
    return kExitUnregistrationFailed;
  }
  if (subsystem.located == Platform::Located::kPresent) {
    std::printf("Also removed from \"%s\", the Mapisvc.inf the messaging subsystem reads\n",
                subsystem.path);
  }
  return kExitUnregistered;
}

}  // namespace quillpost
