#include "registration/unregister_service.h"

#include <cstdio>
#include <cstring>

#include "platform/config_path.h"
#include "platform/platform.h"
#include "registration/edition.h"

namespace quillpost {
namespace {

// The most copies of the service's key in "Services" that a run removes.
constexpr int kMaxKeyCopies = 64;
// What a read of a missing key gives: a line break, which no value holds.
const char kAbsent[] = "\n";

}  // namespace

int UnregisterService(Platform& platform, bool lite) {
  const Edition& edition = EditionFor(lite);
  char path[256];
  if (!ServiceConfigPath(platform, path, sizeof path, sizeof path - 1)) {
    std::fputs("Cannot get the windows system directory\n", stdout);
    return 0;
  }

  // The entry in "Services" goes first: should the run stop half way, the
  // messaging subsystem no longer offers a service whose sections are gone.
  // Should "Services" hold the key more than once, the reader sees the next
  // copy once the first is gone: each is removed in turn while the key still
  // reads as present (a value no line of the file can hold tells).
  bool all_removed = platform.DeleteKey("Services", edition.service_name, path);
  const char* refusal = all_removed ? "" : platform.RefusalReason();
  char value[256];
  for (int copy = 1; all_removed && copy < kMaxKeyCopies; ++copy) {
    platform.ReadString("Services", edition.service_name, kAbsent, value, sizeof value, path);
    if (std::strcmp(value, kAbsent) == 0) break;
    all_removed = platform.DeleteKey("Services", edition.service_name, path);
  }
  for (const SectionTable& table : edition.sections) {
    const bool removed = platform.DeleteSection(table.section, path);
    if (!removed && refusal[0] == '\0') refusal = platform.RefusalReason();
    all_removed = removed && all_removed;
  }

  if (!all_removed) {
    std::printf("Cannot remove the service definition from \"%s\"\n", path);
    if (refusal[0] != '\0') std::printf("Removal refused: %s\n", refusal);
    return 0;
  }
  return 1;
}

}  // namespace quillpost
