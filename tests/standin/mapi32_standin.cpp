// A stand-in for the messaging library "mapi32.dll", built by the tests and
// never installed. Its LAUNCHWIZARD records every argument it receives and
// whether "MSPST AB" was in section "Services" of the service configuration
// file at that moment, then does, in order, the actions that STANDIN_MODE
// lists, separated by commas:
//   error    return an error status      rename   rewrite the profile name
//   crash    fault on a null pointer     abort    call abort()
//   wait     block until the process is signalled
//   break    make the file impossible to write (a directory takes its name)
//   exit:N   call exit(N)                check    record "MSPST AB" again
// and the platform's own actions (standin_actions_*.cpp). The record goes to
// the file named by STANDIN_RECORD, one "name=value" a line. Its
// FGetComponentPath names STANDIN_SUBSYSTEM_DLL as the messaging
// subsystem's MAPI library, and the wizard then records "MSPST AB" of the
// Mapisvc.inf beside it too ("own").

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/standin/standin_actions.h"
#include "tests/support/reference_reader.h"
#include "wizard_test/wizard_entry.h"

#if defined(_WIN32)
#define STANDIN_EXPORT __declspec(dllexport)
#else
#define STANDIN_EXPORT __attribute__((visibility("default")))
#endif

namespace quillpost::standin {

void Record(const std::string& text) {
  const char* path = std::getenv("STANDIN_RECORD");
  if (path == nullptr) return;
  FILE* f = std::fopen(path, "ab");
  if (f == nullptr) return;
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

// A real fault on a null pointer, hidden from UBSan, which would otherwise
// end the process first with a report of its own.
__attribute__((no_sanitize("undefined"))) void FaultOnNull() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

namespace {

std::string Hex(const char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

/// The value of "MSPST AB" now, "<absent>", or "<no path>", read by the
/// tests' own reader.
std::string Held(const std::string& path) {
  if (path.empty()) return "<no path>";
  return quillpost::test::ReadProfileValue(path, "Services", "MSPST AB", "<absent>");
}

}  // namespace
}  // namespace quillpost::standin

using quillpost::standin::FaultOnNull;
using quillpost::standin::Record;

extern "C" STANDIN_EXPORT std::uint32_t QUILLPOST_WIZARD_CALL
LAUNCHWIZARD(void* parent_window, std::uint32_t flags, const char** service_names,
             std::uint32_t capacity, char* profile_name) {
  const std::string path = quillpost::standin::ConfigFilePath();
  std::string services;
  for (const char** name = service_names; name && *name; ++name)
    services += *name + std::string(";");
  Record("parent=" + std::to_string(reinterpret_cast<std::uintptr_t>(parent_window)) + "\n" +
         "flags=" + std::to_string(flags) + "\n" + "services=" + services + "\n" + "capacity=" +
         std::to_string(capacity) + "\n" + "profile=" + quillpost::standin::Hex(profile_name, 256) +
         "\n" + "mspst=" + quillpost::standin::Held(path) + "\n");
  if (const char* dll = std::getenv("STANDIN_SUBSYSTEM_DLL")) {
    const std::string own = std::string(dll).substr(0, std::string(dll).rfind('\\') + 1);
    Record("own=" + quillpost::standin::Held(own + "Mapisvc.inf") + "\n");
  }

  const char* mode_env = std::getenv("STANDIN_MODE");
  const std::string mode = mode_env ? mode_env : "";
  std::uint32_t result = 0;
  for (size_t begin = 0; begin < mode.size();) {
    size_t end = mode.find(',', begin);
    if (end == std::string::npos) end = mode.size();
    const std::string action = mode.substr(begin, end - begin);
    begin = end + 1;
    const size_t colon = action.find(':');
    const std::string name = action.substr(0, colon);
    const int number = colon == std::string::npos ? 0 : std::atoi(action.c_str() + colon + 1);
    if (name == "error") result = 0x80004005u;
    if (name == "rename") std::strcpy(profile_name, "Renamed profile");
    if (name == "crash") FaultOnNull();
    if (name == "abort") std::abort();
    if (name == "exit") std::exit(number);
    if (name == "check") Record("check=" + quillpost::standin::Held(path) + "\n");
    if (name == "break") {
      std::filesystem::rename(path, path + ".moved");
      std::filesystem::create_directory(path);
    }
    if (name == "wait") {
      Record("waiting\n");
      for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (quillpost::standin::PlatformAction(
            name, number, colon == std::string::npos ? "" : action.substr(colon + 1))) {
      break;
    }
  }
  return result;
}

// The MAPI stub's answer to where the messaging subsystem's own library is.
extern "C" STANDIN_EXPORT int QUILLPOST_WIZARD_CALL FGetComponentPath(char*, char*, char* path,
                                                                      std::uint32_t capacity, int) {
  const char* dll = std::getenv("STANDIN_SUBSYSTEM_DLL");
  if (dll == nullptr || std::strlen(dll) >= capacity) return 0;
  std::strcpy(path, dll);
  return 1;
}
