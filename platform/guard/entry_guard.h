#pragma once

namespace quillpost {

class Platform;

/// Keeps an entry that the program takes out of the service configuration
/// file safe while it is out. wiztest's run receives one beside its
/// Platform; tests hand it fakes.
class EntryGuard {
 public:
  virtual ~EntryGuard() = default;

  /// Keeps an entry about to be taken out of |file| safe until Release:
  /// should the process be interrupted, fault or end before then, |key| =
  /// |value| is written back into |section| first (printing
  /// |failure_message| if that fails), and the process then ends as it
  /// would have. Returns true when the guard stands; false when it could
  /// not be set up (the entry must then stay where it is).
  virtual bool Hold(const char* section, const char* key, const char* value, const char* file,
                    const char* failure_message) = 0;

  /// Ends the guard of Hold; the caller has written the entry back itself.
  /// Nothing writes it again, even after the wizard changed the process's
  /// user (on POSIX, unless it also closed every descriptor), so a line of
  /// the key written from now on stands.
  virtual void Release() = 0;

  /// After a false Hold: one line that says why the guard could not stand,
  /// or nullptr when it gives no reason of its own.
  virtual const char* WhyNotHeld() const { return nullptr; }

  /// What became of a write-back handed over.
  enum class HandedOver {
    kNo,           ///< nobody wrote it back or said so: the caller tells the user
    kWrittenBack,  ///< the entry is back
    kWaiting,      ///< it waits for the file's lock, and writes the entry back once it goes
    kAtEnd,        ///< it cannot be asked now, and writes the entry back once this process ends
    kFailed,       ///< it could not write it either, and printed the failure message
  };

  /// Ends the caller's part when its own write-back failed, whatever the
  /// wizard left behind in this process (descriptors used up, a lowered
  /// limit, another user, a lock of its own): the guard writes the entry
  /// back with what it set aside for that at Hold, waiting for another
  /// holder's lock on the file for as long as it is held (a lock held by
  /// this process goes when it ends). Waits a few seconds for the outcome.
  virtual HandedOver HandOver() { return HandedOver::kNo; }

  /// Called once the wizard has returned. A process that the wizard forked
  /// and that returned from it too is not the one guarded: it ends here at
  /// once, with status 0, writing and printing nothing. The program's own
  /// process goes on.
  virtual void EndIfForked() {}
};

/// The guard of the running process: from Hold until Release, anything that
/// would end the process (a signal whose default action ends it, exit(), a
/// fault, the platform's console events, an unhandled exception) first has
/// the entry written back through |platform|, and then lets the process end
/// as it would have. Where a process can end without running any code of
/// its own (SIGKILL, _exit()), a guardian process writes the entry back
/// once it has ended. The guard copies every string it is given. One entry
/// at a time per process: a second Hold before Release fails.
class ProcessEntryGuard : public EntryGuard {
 public:
  /// Guards the process that makes it: after the wizard, any other process
  /// (one the wizard forked) ends (EndIfForked).
  explicit ProcessEntryGuard(Platform& platform);

  bool Hold(const char* section, const char* key, const char* value, const char* file,
            const char* failure_message) override;
  void Release() override;
  const char* WhyNotHeld() const override;
  HandedOver HandOver() override;
  void EndIfForked() override;

 private:
  Platform& platform_;
  long owner_;  // the id of the process that made the guard
};

}  // namespace quillpost
