#include "registration/front_end.h"

#include <cstdio>
#include <cstring>

#include "platform/ascii_case.h"
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
/// too long or holds a control character.
bool MakePrefix(const char* arg, char (&prefix)[256]) {
  prefix[0] = '\0';
  const size_t length = std::strlen(arg);
  if (length == 0) return true;
  if (HasControlCharacter(arg)) {
    std::fputs("PathDir must not hold control characters such as line breaks\n", stdout);
    return false;
  }
  const bool ends_with_backslash = arg[length - 1] == '\\';
  const size_t prefix_length = length + (ends_with_backslash ? 0 : 1);
  if (prefix_length > kMaxPathDirPrefix) {
    std::printf("PathDir is too long: at most %u characters, its trailing backslash counted\n",
                kMaxPathDirPrefix);
    return false;
  }
  std::memcpy(prefix, arg, length);
  if (!ends_with_backslash) prefix[length] = '\\';
  prefix[prefix_length] = '\0';
  return true;
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

  return RegisterService(platform, lite, prefix) ? kExitRegistered : kExitRegistrationFailed;
}

int ProvunregMain(Platform& platform, int argc, const char* const* argv) {
  bool lite = false;
  if (!ReadMode(argc, argv, &lite)) {
    std::fputs(kUnregisterUsage, stdout);
    return kExitCommandLineError;
  }
  // Parameters after the mode are ignored, as provreg ignores them.
  return UnregisterService(platform, lite) ? kExitUnregistered : kExitUnregistrationFailed;
}

}  // namespace quillpost
