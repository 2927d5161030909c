#include "registration/unregister_service.h"

#include <cstdio>

#include "platform/config_path.h"
#include "platform/platform.h"
#include "registration/edition.h"
#include "registration/register_service.h"

namespace quillpost {
namespace {

void RemoveDefinition(Platform& platform, const Edition& edition, const char* path) {
  // The entry in "Services" goes first: should the removals ever be made
  // one by one and stop half way, the messaging subsystem no longer offers
  // a service whose sections are gone. Every line of the key goes, with or
  // without '=': a reader that meets any of them may see the service.
  platform.DeleteEveryKey("Services", edition.service_name, path);
  for (const SectionTable& table : edition.sections) platform.DeleteSection(table.section, path);
}

}  // namespace

int UnregisterService(Platform& platform, bool lite, SubsystemFile* subsystem) {
  const Edition& edition = EditionFor(lite);
  char path[256];
  if (!ServiceConfigPathOrSay(platform, path, sizeof path, sizeof path - 1)) return 0;
  // The removals make one change (see ProvunregMain), over both files.
  RemoveDefinition(platform, edition, path);
  if (!LocateSubsystemFileOrSay(platform, subsystem)) return 0;
  if (subsystem->located == Platform::Located::kPresent) {
    RemoveDefinition(platform, edition, subsystem->path);
  }
  return 1;
}

}  // namespace quillpost
