#pragma once

namespace quillpost {

class Platform;

/// The longest PathDir prefix (trailing backslash included) that leaves room
/// for the DLL's file name in a 255-character value.
constexpr unsigned kMaxPathDirPrefix = 246;

/// Writes the definition of the normal edition (or, when |lite|, the Lite
/// edition) into the service configuration file: the entry in "Services",
/// then the service, address-book and transport sections, 19 writes in a
/// fixed order. |prefix| is empty or ends with a backslash and is at most
/// kMaxPathDirPrefix characters; it is put in front of the DLL's file name.
///
/// Returns 1 once the 19 writes are made: inside a change (see ProvregMain)
/// whether they landed is the change's to tell at its commit. Returns 0
/// after printing one line when the system directory is not available
/// (nothing is written), and 0 for a prefix too long to compose a value
/// from (the change is then to be abandoned).
int RegisterService(Platform& platform, bool lite, const char* prefix);

}  // namespace quillpost
