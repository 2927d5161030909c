#pragma once

namespace quillpost {

/// The scope of one update of the service configuration file by this
/// program: on Windows the platform's write, key delete and section delete
/// each run inside one; on POSIX the stretch of an update that holds the
/// file's lock does (the file layer says when), and nothing else does.
///
/// What it blocks: whatever the entry guard answers (platform/guard/
/// entry_guard.h). On POSIX every signal is blocked on the calling thread,
/// fault signals sent by kill included, but SIGXFSZ, which is ignored, so
/// that a file-size limit fails the update instead of ending the process;
/// a real fault still ends the process at once, which lets go of the
/// file's lock. On Windows it holds the
/// guard's lock, on which the console handler, the exception filter and the
/// write-back at the process's end wait. An interruption that arrives
/// meanwhile is answered once the scope ends, so the file is never left
/// half-updated by the guard and the guard's write-back never runs at the
/// same time as the update.
///
/// For how long: from construction to destruction. On POSIX that is from
/// the moment the file's lock is held through the reading, the planning of
/// every edit of the change, the commit and every sync, until the lock is
/// let go; the wait for the lock (at most kLockWaitSeconds, once per
/// change) is outside it, so that an interrupt ends the wait at once and
/// leaves the file untouched. On Windows it is the whole platform call.
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
