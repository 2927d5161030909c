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

/// Makes the 19 writes of |edition| into |path|. Returns false when a value
/// does not fit, which a prefix the front end accepts never makes.
bool WriteDefinition(Platform& platform, const Edition& edition, const char* prefix,
                     const char* path) {
  char value[kBufferSize];
  platform.WriteString("Services", edition.service_name, edition.display_name, path);
  for (const SectionTable& table : edition.sections) {
    for (int i = 0; i < table.count; ++i) {
      if (!ComposeValue(edition, prefix, table.pairs[i].value, value)) return false;
      platform.WriteString(table.section, table.pairs[i].key, value, path);
    }
  }
  return true;
}

}  // namespace

bool LocateSubsystemFileOrSay(Platform& platform, SubsystemFile* subsystem) {
  subsystem->located =
      platform.LocateSubsystemFile(nullptr, subsystem->path, sizeof subsystem->path);
  if (subsystem->located != Platform::Located::kTooLong) return true;
  std::printf(
      "The Mapisvc.inf the messaging subsystem reads has a path longer than %u characters, "
      "which the platform's profile functions cannot take\n",
      static_cast<unsigned>(sizeof subsystem->path - 1));
  return false;
}

int RegisterService(Platform& platform, bool lite, const char* prefix, SubsystemFile* subsystem) {
  const Edition& edition = EditionFor(lite);
  char path[kBufferSize];

  if (!ServiceConfigPathOrSay(platform, path, kBufferSize, kSystemDirCapacity)) return 0;

  // The writes make one change (see ProvregMain): what became of each is
  // the change's to tell, at its commit. The messaging subsystem's own file,
  // where there is one, takes the same writes in the same change; one that
  // is missing is never created.
  if (!WriteDefinition(platform, edition, prefix, path)) return 0;
  if (!LocateSubsystemFileOrSay(platform, subsystem)) return 0;
  if (subsystem->located == Platform::Located::kPresent &&
      !WriteDefinition(platform, edition, prefix, subsystem->path)) {
    return 0;
  }
  return 1;
}

}  // namespace quillpost
