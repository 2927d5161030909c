#pragma once

#include "platform/platform.h"

namespace quillpost {

/// The longest PathDir prefix (trailing backslash included) that leaves room
/// for the DLL's file name in a 255-character value.
constexpr unsigned kMaxPathDirPrefix = 246;

/// The Mapisvc.inf of the messaging subsystem's own, which a run changes
/// besides the system directory's (docs/windows.md): whether there is one,
/// and where.
struct SubsystemFile {
  Platform::Located located = Platform::Located::kNone;
  char path[260] = "";
};

/// Asks |platform| where the messaging subsystem's own file is, into
/// |*subsystem|. Returns false after printing one line when it has one
/// whose path is too long to be written (the change is then to be
/// abandoned).
bool LocateSubsystemFileOrSay(Platform& platform, SubsystemFile* subsystem);

/// Writes the definition of the normal edition (or, when |lite|, the Lite
/// edition) into the service configuration file: the entry in "Services",
/// then the service, address-book and transport sections, 19 writes in a
/// fixed order. |prefix| is empty or ends with a backslash and is at most
/// kMaxPathDirPrefix characters; it is put in front of the DLL's file name.
///
/// Then, when the messaging subsystem has a file of its own (|*subsystem|
/// says where, and whether it is there), the same 19 writes into it.
///
/// Returns 1 once the writes are made: inside a change (see ProvregMain)
/// whether they landed is the change's to tell at its commit. Returns 0
/// after printing one line when the system directory is not available
/// (nothing is written), and 0 for a prefix too long to compose a value
/// from (the change is then to be abandoned).
int RegisterService(Platform& platform, bool lite, const char* prefix, SubsystemFile* subsystem);

}  // namespace quillpost
