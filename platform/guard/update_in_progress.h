#pragma once

namespace quillpost {

/// The scope of one update of the service configuration file by this
/// program: the platform's write, key delete and section delete each run
/// inside one, and nothing else does.
///
/// What it blocks: whatever the entry guard answers (platform/guard/
/// entry_guard.h). On POSIX every signal is blocked on the calling thread,
/// fault signals sent by kill included; a real fault still ends the process
/// at once, which lets go of the file's lock. On Windows it holds the
/// guard's lock, on which the console handler, the exception filter and the
/// write-back at the process's end wait. An interruption that arrives
/// meanwhile is answered once the scope ends, so the file is never left
/// half-updated by the guard and the guard's write-back never runs at the
/// same time as the update.
///
/// For how long: from construction to destruction, the whole update: the
/// wait for the file's lock (on POSIX up to the lock wait of the disk
/// layer, 30 s by default, when another process holds it), the reading,
/// the writing and every sync.
///
/// Scopes nest on one thread (only the outermost one blocks and unblocks);
/// one is neither copied nor moved.
class UpdateInProgress {
 public:
  UpdateInProgress();
  ~UpdateInProgress();
  UpdateInProgress(const UpdateInProgress&) = delete;
  UpdateInProgress& operator=(const UpdateInProgress&) = delete;
};

}  // namespace quillpost
