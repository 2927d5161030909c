#include "registration/register_service.h"

#include <cstdio>
#include <cstring>

#include "platform/ascii_case.h"
#include "platform/config_path.h"
#include "platform/platform.h"
#include "registration/edition.h"

namespace quillpost {
namespace {

constexpr unsigned kBufferSize = 256;
constexpr unsigned kSystemDirCapacity = 255;

/// Puts the value to write for |table_value| in |value|: the prefix and the
/// DLL's file name where the table names the DLL, else the table value.
/// Returns false when it does not fit (nothing is then to be written).
bool ComposeValue(const Edition& edition, const char* prefix, const char* table_value,
                  char (&value)[kBufferSize]) {
  const bool names_dll = AsciiCaseCompare(table_value, edition.dll_name) == 0;
  const char* head = names_dll ? prefix : "";
  const size_t head_length = std::strlen(head);
  const size_t tail_length = std::strlen(table_value);
  if (head_length + tail_length >= kBufferSize) return false;
  std::memcpy(value, head, head_length);
  std::memcpy(value + head_length, names_dll ? edition.dll_name : table_value, tail_length + 1);
  return true;
}

}  // namespace

int RegisterService(Platform& platform, bool lite, const char* prefix) {
  const Edition& edition = EditionFor(lite);
  char path[kBufferSize];
  char value[kBufferSize];

  if (!ServiceConfigPath(platform, path, kBufferSize, kSystemDirCapacity)) {
    std::fputs("Cannot get the windows system directory\n", stdout);
    return 0;
  }

  // Each write is made whatever became of the ones before it (inside a
  // change, each is only planned: see ProvregMain). The first failure
  // leaves a cause to tell the user.
  const char* cause = "";
  bool all_written =
      platform.WriteString("Services", edition.service_name, edition.display_name, path);
  if (!all_written) cause = platform.FailureCause();
  for (const SectionTable& table : edition.sections) {
    for (int i = 0; i < table.count; ++i) {
      const bool composed = ComposeValue(edition, prefix, table.pairs[i].value, value);
      const bool written =
          composed && platform.WriteString(table.section, table.pairs[i].key, value, path);
      if (composed && !written && all_written) cause = platform.FailureCause();
      all_written = written && all_written;
    }
  }

  if (!all_written) {
    std::printf("Cannot write the service definition to \"%s\"\n", path);
    if (cause[0] != '\0') std::printf("%s\n", cause);
    return 0;
  }
  return 1;
}

}  // namespace quillpost
