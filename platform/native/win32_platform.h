#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/guard/update_in_progress.h"
#include "platform/platform.h"

namespace quillpost {

/// The writes of the platform's profile functions that the Windows adapter
/// makes, so that a test can make one fail for real (another program holding
/// the file open, say) at the moment it chooses; and the clock of the
/// adapter's waits for a held file, so that a test can spend them at once.
class ProfileCalls {
 public:
  virtual ~ProfileCalls() = default;
  /// Milliseconds, from any start.
  virtual DWORD Now() { return GetTickCount(); }
  virtual void Pause(DWORD ms) { Sleep(ms); }
  /// WritePrivateProfileStringA: a value, a key deleted (|value| null) or a
  /// section deleted (|key| null).
  virtual BOOL Write(const char* section, const char* key, const char* value, const char* file) {
    return WritePrivateProfileStringA(section, key, value, file);
  }
  /// WritePrivateProfileSectionA: the section's lines replaced by |entries|.
  virtual BOOL WriteSection(const char* section, const char* entries, const char* file) {
    return WritePrivateProfileSectionA(section, entries, file);
  }
  /// Ends the process, with |code|, once a change that a console event
  /// interrupted has been undone (InterruptChange).
  virtual void End(UINT code) { ExitProcess(code); }
};

/// A console event (Ctrl+C, Ctrl+Break, a closed console, logoff,
/// shutdown) that arrives during a change of provreg or provunreg: marks
/// the change interrupted and returns true; false when none is open. The
/// change then waits no more for a held file, is undone at its commit, and
/// the process ends by ProfileCalls::End with the event's status
/// (docs/windows.md). The console handler that the first change sets up
/// calls it, and then waits for the change to end; tests call it where no
/// console can raise an event.
bool InterruptChange();

/// The platform's own 8-bit functions. A change (BeginChange to
/// CommitChange) makes each call at once, but first records what the call
/// will change, and undoes the change's calls in reverse order when one of
/// them fails or the change is abandoned (docs/windows.md). A call that
/// meets the file held by another program without sharing is made again
/// until the operation's wait is spent.
class Win32Platform : public Platform {
 public:
  /// How long one operation (a change, the undo of a change, a read or a
  /// write outside a change) waits, in all, for a file that another
  /// program holds open without sharing it.
  static constexpr unsigned long kWaitMs = 20000;

  explicit Win32Platform(ProfileCalls& calls, unsigned long wait_ms = kWaitMs)
      : calls_(calls), wait_ms_(wait_ms) {}
  ~Win32Platform() override {
    if (turn_ != nullptr) CloseHandle(turn_);
  }
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  unsigned SystemDirectory(char* buffer, unsigned capacity) override;
  bool ArgumentsAsGiven(int argc, const char* const* argv) override;
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* file) override;
  bool DeleteKey(const char* section, const char* key, const char* file) override;
  bool DeleteSection(const char* section, const char* file) override;
  bool DeleteEveryKey(const char* section, const char* key, const char* file) override;
  void BeginChange() override { Begin(true); }
  bool CommitChange() override;
  void AbandonChange() override;
  unsigned ReadString(const char* section, const char* key, const char* default_value, char* buffer,
                      unsigned capacity, const char* file) override;
  unsigned ReadSection(const char* section, char* buffer, unsigned capacity,
                       const char* file) override;
  bool PlanHoldOut(const char* section, const char* key, const char* file) override;
  bool HoldOut(const char* section, const char* key, const char* file) override;
  bool PutBack(const char* section, const char* key, const char* value, const char* file) override;
  void* OpenLibrary(const char* name) override;
  void* FindEntry(void* library, const char* entry) override;
  void CloseLibrary(void* library) override;
  Located LocateSubsystemFile(void* library, char* buffer, unsigned capacity) override;
  Failure LastFailure() const override { return record_.Get(); }

 private:
  /// What undoes one call of a change.
  struct Undo {
    enum Kind {
      kKey,         // |key| back to |value|, or deleted when it was not there
      kNewSection,  // a section that was not there, deleted whole
      kSection,     // a section deleted, written back with |entries|
    } kind;
    std::string file, section, key;
    bool existed = false;
    std::string value;
    std::string entries;  // "key=value" each ended by a null, then a null
    /// A call it undoes was saved; one failed, and its change may be in the
    /// platform's cache of the file; the undo was made.
    bool saved = false, pending = false, undone = false;
    /// The copies of the section the file held: the platform's listing
    /// gives the first one's lines alone.
    int copies = 1;
  };

  /// This program's turn at the file among our programs on the machine,
  /// with the guard's lock (UpdateInProgress) held first, as the guard's
  /// write-back takes them.
  class Turn {
   public:
    explicit Turn(Win32Platform* platform) : platform_(platform), taken_(platform->TakeTurn()) {}
    ~Turn() {
      if (taken_) platform_->EndTurn();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    bool taken() const { return taken_; }

   private:
    const UpdateInProgress update_;
    Win32Platform* platform_;
    bool taken_;
  };
  /// Opens a change; one |interruptible| is open to console events.
  void Begin(bool interruptible);
  /// Ends the open change, made or undone: lets go of its turn and its
  /// records, and closes it to console events.
  void EndChange();
  /// Waits for the turn, within the operation's wait. Returns false, with
  /// the record, when the wait was spent. Turns nest.
  bool TakeTurn();
  void EndTurn();
  /// Makes |op|, a write outside a change, in a turn and a wait of its own;
  /// inside a change, as it is.
  template <typename Op>
  bool OneOperation(Op op);
  bool RemoveSection(const char* section, const char* file);
  bool RemoveEveryKey(const char* section, const char* key, const char* file);

  /// Opens the change to console events, which then interrupt it, and
  /// closes it, ending the process when one did.
  void OpenToEvents();
  void CloseToEvents();
  /// Returns true when a console event interrupted the open change, whose
  /// waits then stop; its undo's go on.
  bool Interrupted() const;
  /// Starts an operation's wait for a held file.
  void StartWait() { wait_started_ = calls_.Now(); }
  /// Makes |call|, a call of the platform's on the file, again while the
  /// file is held, until the operation's wait is spent. Returns what the
  /// last try returned, its last error kept.
  template <typename Attempt>
  auto Waited(Attempt call) -> decltype(call());
  /// The whole seconds the operation has waited.
  int WaitedSeconds() const;
  /// Stores in |*listing| the names of |file|'s sections, or the lines of
  /// |section|, as the 8-bit functions (or the wide ones) list them.
  /// Returns ERROR_SUCCESS or the error that kept the file from being read.
  DWORD ListSectionNames(const char* file, std::vector<char>* listing);
  DWORD ListSectionNames(const char* file, std::vector<wchar_t>* listing);
  DWORD ListSection(const char* section, const char* file, std::vector<char>* listing);
  DWORD ListSection(const char* section, const char* file, std::vector<wchar_t>* listing);
  /// Counts the sections of |file| named |section|, or the lines of |key| in
  /// them: -1 when the file could not be read (|*error| says why).
  int CountSections(const char* section, const char* file, DWORD* error);
  int CountKeyLines(const char* section, const char* key, const char* file, DWORD* error);

  /// Records, before the change's first call on |section| (and |key|, when
  /// given) of |file|, what undoes it, and notes which undos the call about
  /// to be made touches. Returns false, the change failed, when the file
  /// could not be read or what the call changes could not be written back
  /// exactly.
  bool Journal(const char* section, const char* key, bool whole_section, const char* file);
  /// Makes one write of the platform's; inside a change, first journaled.
  bool Call(const char* section, const char* key, const char* value, const char* file);
  /// Ends a call of the change that returned |written|, marking the undos
  /// it touches as saved or pending. Returns whether the call made its
  /// change.
  bool Made(BOOL written, bool section_delete);
  /// Records the failure of a write on |file| by |error|, and fails the
  /// open change, undoing it.
  bool Failed(DWORD error, const char* file);
  /// Records that the change was refused before a call on |file|: |line|.
  bool Refused(std::string line, const char* file);
  /// Fails the open change, if any, with the record of the last call, and
  /// undoes it.
  void FailChange();
  /// Undoes the journal, last call first; records what could not be undone.
  void UndoChange();
  /// Removes the |copies| headers of |section| of |file|, checking that none
  /// is left.
  bool RemoveHeaders(const char* section, const char* file, int copies);
  /// Records a read that gave nothing because the file could not be read.
  void NotedRead(const char* file);
  /// Records a library call that failed, by its error code.
  void NotedCall(bool done, const char* call);
  bool NotHeld(const char* why);

  ProfileCalls& calls_;
  unsigned long wait_ms_;
  DWORD wait_started_ = 0;
  HANDLE turn_ = nullptr;  // the machine's mutex of our programs' turns
  int turns_ = 0;
  bool owns_turn_ = false;
  bool change_has_turn_ = false;
  FailureRecord record_;
  FailureRecord change_failure_;  // the failure that ended the open change
  bool changing_ = false;
  bool change_failed_ = false;
  bool open_to_events_ = false;
  bool undoing_ = false;
  std::vector<Undo> journal_;
  // The journal's undos that the call being made touches.
  std::vector<size_t> call_undos_;
  // The sections the open change emptied, whose headers go at its commit.
  std::vector<std::pair<std::string, std::string>> emptied_;
  // For each file of the change, the names of its sections at its first call.
  std::vector<std::pair<std::string, std::vector<std::string>>> sections_before_;
  // For each file of the change, the sections whose names the code page
  // lacks, as the 8-bit functions list them.
  std::vector<std::pair<std::string, std::string>> lossy_sections_;
};

}  // namespace quillpost
