// The demo profile wizard: a "mapi32.dll" for POSIX systems, which have no
// messaging library of their own, so that wiztest can be seen at work
// (tools/demo.sh, the EXAMPLES of wiztest(1)). Its LAUNCHWIZARD makes no
// profile: it prints the arguments it was called with and section
// [Services] of the service configuration file as the file holds it at that
// moment, each byte that is not printable ASCII spelled out (\r, \n, \xHH),
// and returns 0.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "wizard_test/wizard_entry.h"

namespace {

/// Appends |byte| to |out|, spelled out unless it is printable ASCII.
void AppendVisible(std::string* out, unsigned char byte) {
  if (byte == '\r') {
    *out += "\\r";
  } else if (byte == '\n') {
    *out += "\\n";
  } else if (byte == '\\') {
    *out += "\\\\";
  } else if (byte >= 0x20 && byte < 0x7f) {
    *out += static_cast<char>(byte);
  } else {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    *out += hex;
  }
}

std::string Visible(const char* text, std::size_t max) {
  std::string out;
  for (std::size_t i = 0; i < max && text[i] != '\0'; ++i)
    AppendVisible(&out, static_cast<unsigned char>(text[i]));
  return out;
}

/// The name of a header line ("[Services]\r\n" gives "Services"), or "" when
/// |line| is not one. Blanks around the line and the name are ignored.
std::string HeaderName(const std::string& line) {
  const std::size_t open = line.find_first_not_of(" \t");
  if (open == std::string::npos || line[open] != '[') return "";
  const std::size_t close = line.rfind(']');
  if (close == std::string::npos || close < open) return "";
  const std::size_t first = line.find_first_not_of(" \t", open + 1);
  const std::size_t last = line.find_last_not_of(" \t", close - 1);
  if (first == std::string::npos || last < first || first >= close) return "";
  return line.substr(first, last - first + 1);
}

bool IsServices(const std::string& name) {
  static const char kServices[] = "services";
  if (name.size() != sizeof kServices - 1) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kServices[i]) return false;
  }
  return true;
}

/// Prints every [Services] section of |path| line by line, its header
/// included, the line ends spelled out.
void PrintServices(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    std::printf("demo wizard: cannot open %s\n", path.c_str());
    return;
  }
  std::printf("demo wizard: [Services] of %s now (\\r\\n = CR LF):\n", path.c_str());
  bool inside = false;
  int lines = 0;
  std::string line;
  int c;
  do {
    c = std::fgetc(file);
    if (c != EOF) line += static_cast<char>(c);
    if ((c != '\n' && c != EOF) || line.empty()) continue;
    const std::string name = HeaderName(line);
    if (!name.empty()) inside = IsServices(name);
    if (inside) {
      std::string shown;
      for (const char byte : line) AppendVisible(&shown, static_cast<unsigned char>(byte));
      std::printf("  | %s\n", shown.c_str());
      ++lines;
    }
    line.clear();
  } while (c != EOF);
  if (lines == 0) std::printf("  (no section [Services])\n");
  std::fclose(file);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) std::uint32_t LAUNCHWIZARD(
    void* parent_window, std::uint32_t flags, const char** service_names, std::uint32_t capacity,
    char* profile_name) {
  std::string services;
  for (const char** name = service_names; name != nullptr && *name != nullptr; ++name)
    services += std::string(services.empty() ? "" : ", ") + "\"" + Visible(*name, 256) + "\"";
  std::printf("demo wizard: LAUNCHWIZARD called: parent window %p, flags 0x%02X, capacity %u,\n",
              parent_window, static_cast<unsigned>(flags), static_cast<unsigned>(capacity));
  std::printf("  services {%s}, profile name \"%s\"\n", services.c_str(),
              profile_name ? Visible(profile_name, capacity + std::size_t{1}).c_str() : "(none)");
  const char* system_dir = std::getenv("QUILLPOST_SYSTEM_DIR");
  if (system_dir == nullptr || system_dir[0] == '\0')
    std::printf("demo wizard: QUILLPOST_SYSTEM_DIR is not set\n");
  else
    PrintServices(std::string(system_dir) + "/Mapisvc.inf");
  std::printf("demo wizard: no profile made; returning 0\n");
  std::fflush(stdout);
  return 0;
}

// wiztest calls the entry through this type.
static_assert(std::is_same_v<decltype(&LAUNCHWIZARD), quillpost::LaunchWizardFn>);
