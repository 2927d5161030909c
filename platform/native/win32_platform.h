#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/platform.h"

namespace quillpost {

/// The writes of the platform's profile functions that the Windows adapter
/// makes, so that a test can make one fail for real (another program holding
/// the file open, say) at the moment it chooses.
class ProfileCalls {
 public:
  virtual ~ProfileCalls() = default;
  /// WritePrivateProfileStringA: a value, a key deleted (|value| null) or a
  /// section deleted (|key| null).
  virtual BOOL Write(const char* section, const char* key, const char* value, const char* file) {
    return WritePrivateProfileStringA(section, key, value, file);
  }
  /// WritePrivateProfileSectionA: the section's lines replaced by |entries|.
  virtual BOOL WriteSection(const char* section, const char* entries, const char* file) {
    return WritePrivateProfileSectionA(section, entries, file);
  }
};

/// The platform's own 8-bit functions. A change (BeginChange to
/// CommitChange) makes each call at once, but first records what the call
/// will change, and undoes the change's calls in reverse order when one of
/// them fails or the change is abandoned (docs/windows.md).
class Win32Platform : public Platform {
 public:
  /// How long the undo of a failed change waits, in all, for another
  /// program that holds the file a moment.
  static constexpr unsigned long kUndoWaitMs = 20000;

  explicit Win32Platform(ProfileCalls& calls, unsigned long undo_wait_ms = kUndoWaitMs)
      : calls_(calls), undo_wait_ms_(undo_wait_ms) {}

  unsigned SystemDirectory(char* buffer, unsigned capacity) override;
  bool ArgumentsAsGiven(int argc, const char* const* argv) override;
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* file) override;
  bool DeleteKey(const char* section, const char* key, const char* file) override;
  bool DeleteSection(const char* section, const char* file) override;
  bool DeleteEveryKey(const char* section, const char* key, const char* file) override;
  void BeginChange() override;
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
  };

  /// Records, before the change's first call on |section| (and |key|, when
  /// given) of |file|, what undoes it. Returns false, the change failed,
  /// when the file could not be read.
  bool Journal(const char* section, const char* key, bool whole_section, const char* file);
  /// Makes one write of the platform's; inside a change, first journaled.
  bool Call(const char* section, const char* key, const char* value, const char* file);
  /// Records the failure of a write on |file| by the last error, and fails
  /// the open change, undoing it.
  bool Failed(DWORD error, const char* file);
  /// Undoes the journal, last call first; records what could not be undone.
  void UndoChange();
  /// Removes the |copies| headers of |section| of |file|, checking that none
  /// is left.
  bool RemoveHeaders(const char* section, const char* file, int copies);
  /// Records a read that gave nothing because the file could not be read.
  void NotedRead();
  /// Records a library call that failed, by its error code.
  void NotedCall(bool done, const char* call);
  bool NotHeld(const char* why);

  ProfileCalls& calls_;
  unsigned long undo_wait_ms_;
  FailureRecord record_;
  FailureRecord change_failure_;  // the failure that ended the open change
  bool changing_ = false;
  bool change_failed_ = false;
  std::vector<Undo> journal_;
  // The sections the open change emptied, whose headers go at its commit.
  std::vector<std::pair<std::string, std::string>> emptied_;
  // For each file of the change, the names of its sections at its first call.
  std::vector<std::pair<std::string, std::vector<std::string>>> sections_before_;
};

}  // namespace quillpost
