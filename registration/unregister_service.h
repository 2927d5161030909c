#pragma once

namespace quillpost {

class Platform;

/// Removes the normal edition (or, when |lite|, the Lite edition) from the
/// service configuration file, in this order: its key in "Services", then
/// its service, address-book and transport sections, each whole (every
/// section of the name). Everything else in the file is left as it is; a
/// missing file is not created.
///
/// Returns 1 when the edition is no longer in the file, a missing file or an
/// edition already removed included. Returns 0 after printing one line when
/// the system directory is not available (nothing is touched) or when a
/// removal failed (every other removal is still tried, in order).
int UnregisterService(Platform& platform, bool lite);

}  // namespace quillpost
