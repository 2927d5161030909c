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

  // The entry in "Services" goes first: should the run stop half way, the
  // messaging subsystem no longer offers a service whose sections are gone.
  bool all_removed = platform.DeleteKey("Services", edition.service_name, path);
  for (const SectionTable& table : edition.sections) {
    all_removed = platform.DeleteSection(table.section, path) && all_removed;
  }

  if (!all_removed) {
    std::printf("Cannot remove the service definition from \"%s\"\n", path);
    return 0;
  }
  return 1;
}

}  // namespace quillpost
