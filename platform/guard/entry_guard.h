#pragma once

namespace quillpost {

class Platform;

/// Arms the guard of a profile entry that is about to be held out: from now
/// until DisarmEntryGuard, anything that would end the process (a signal
/// whose default action ends it, exit(), a fault, the platform's console
/// events, an unhandled exception) first has |key| = |value| written back
/// into |section| of |file| through |platform|, printing |failure_message|
/// if that write fails, and then lets the process end as it would have.
/// Where a process can end without running any code of its own (SIGKILL,
/// _exit()), a guardian process writes the entry back once it has ended.
/// Returns true when the guard stands; false when it could not be armed
/// (nothing is then left behind).
bool ArmEntryGuard(Platform& platform, const char* section, const char* key, const char* value,
                   const char* file, const char* failure_message);

/// Disarms the guard; the caller has written the entry back itself.
void DisarmEntryGuard();

/// While one lives, the program's own update of the file runs to its end
/// on this thread: an interruption that arrives meanwhile waits until the
/// update is complete, so the file is never left half-updated and the
/// guard's write-back never runs at the same time as the update.
class UpdateInProgress {
 public:
  UpdateInProgress();
  ~UpdateInProgress();
  UpdateInProgress(const UpdateInProgress&) = delete;
  UpdateInProgress& operator=(const UpdateInProgress&) = delete;
};

}  // namespace quillpost
