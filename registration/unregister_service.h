#pragma once

#include "registration/register_service.h"

namespace quillpost {

/// Removes the normal edition (or, when |lite|, the Lite edition) from the
/// service configuration file, in this order: its key in "Services", then
/// its service, address-book and transport sections, each whole (every
/// section of the name). Everything else in the file is left as it is; a
/// missing file is not created. Then the same removals from the messaging
/// subsystem's own file, where there is one (|*subsystem| says where).
///
/// Returns 1 once the removals are made: inside a change (see
/// ProvunregMain) whether they landed is the change's to tell at its
/// commit. Returns 0 after printing one line when the system directory is
/// not available (nothing is touched).
int UnregisterService(Platform& platform, bool lite, SubsystemFile* subsystem);

}  // namespace quillpost
