#include "registration/unregister_service.h"

#include <cstdio>

#include "platform/config_path.h"
#include "platform/platform.h"
#include "registration/edition.h"

namespace quillpost {
int UnregisterService(Platform& platform, bool lite) {
  const Edition& edition = EditionFor(lite);
  char path[256];
  if (!ServiceConfigPath(platform, path, sizeof path, sizeof path - 1)) {
    std::fputs("Cannot get the windows system directory\n", stdout);
    return 0;
  }

  // The entry in "Services" goes first: where the platform makes each
  // removal at once and the run stops half way, the messaging subsystem no
  // longer offers a service whose sections are gone. Every line of the key
  // goes, with or without '=': a reader that meets any of them may see the
  // service.
  const char* cause = "";
  bool all_removed = platform.DeleteEveryKey("Services", edition.service_name, path);
  if (!all_removed) cause = platform.FailureCause();
  for (const SectionTable& table : edition.sections) {
    const bool removed = platform.DeleteSection(table.section, path);
    if (!removed && all_removed) cause = platform.FailureCause();
    all_removed = removed && all_removed;
  }

  if (!all_removed) {
    std::printf("Cannot remove the service definition from \"%s\"\n", path);
    if (cause[0] != '\0') std::printf("%s\n", cause);
    return 0;
  }
  return 1;
}

}  // namespace quillpost
