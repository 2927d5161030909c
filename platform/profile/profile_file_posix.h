#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"
#include "platform/profile/disk_interface_posix.h"
#include "platform/profile/profile_engine.h"
#include "platform/profile/safe_path_posix.h"

namespace quillpost {

/// Private profile-string operations on files of a POSIX disk: only
/// regular files, links followed only as SafePath allows, an flock on every
/// read and change, a change made by renaming a synced copy over the file
/// wherever that keeps all of it (else in place), private temporaries that
/// dead writers' successors sweep. The rules: docs/profile-format.md.
///
/// Every operation leaves its record in the FailureRecord it was given.
class ProfileFile {
 public:
  ProfileFile(DiskInterface& disk, FailureRecord& record) : disk_(disk), record_(record) {}

  /// Told when an update holds the file's lock and when it has let go of
  /// it, so that the caller can keep signals out of that stretch only and
  /// leave the wait for the lock open to them.
  class LockObserver {
   public:
    virtual ~LockObserver() = default;
    virtual void Held() = 0;
    virtual void Released() = 0;
  };
  void SetLockObserver(LockObserver* observer) { observer_ = observer; }

  /// Opens a change: from here until CommitChange or AbandonChange, Write,
  /// Delete, DeleteEveryKey and DeleteSection only record what they are to
  /// do (and return true), all on one file. CommitChange then makes all of
  /// it as one update: one lock, every edit planned in order over the same
  /// text, one commit. Either all of it lands or none of it does.
  void BeginChange();
  /// Makes the recorded change. Returns true when the file holds all of it
  /// (nothing recorded included); false when it was refused or the disk
  /// failed, the file then as it was. Ends the change either way.
  bool CommitChange();
  /// Ends the change without touching the file.
  void AbandonChange();

  /// Stores the value of |key| in |section| of |path| (or |default_value|
  /// when the file, section or key is missing, or when the file could not
  /// be read: not a readable regular file, a lock held, or a text the engine
  /// refuses, which the record then says), cut to |capacity| - 1 characters
  /// and null-terminated, in |buffer|. Returns the number of characters
  /// stored.
  unsigned Read(const char* path, std::string_view section, std::string_view key,
                std::string_view default_value, char* buffer, unsigned capacity);

  /// Stores in |*entries| every key line of |section| of |path| as
  /// ListSectionEntries gives it; empty when the file or section is
  /// missing or cannot be read.
  void ReadSection(const char* path, std::string_view section, std::string* entries);

  /// Sets |key| of |section| to |value|, creating what is missing. Returns
  /// true when the file holds the value afterwards (a read-only file that
  /// already holds it included); false when the input or the file was
  /// refused or the disk failed (the file then unchanged, unless putting the
  /// old bytes back after a failed in-place update failed too).
  bool Write(const char* path, std::string_view section, std::string_view key,
             std::string_view value);

  /// Removes |key| from |section|. Returns true when the key is absent
  /// afterwards (a missing file is neither created nor an error); false as
  /// for Write.
  bool Delete(const char* path, std::string_view section, std::string_view key);

  /// Removes every key line of |key| (with or without '=') in every section
  /// named |section|. Returns as Delete.
  bool DeleteEveryKey(const char* path, std::string_view section, std::string_view key);

  /// Removes every section named |section|, each from its header line up to
  /// the next header. Returns true when no such section is left afterwards
  /// (a missing file is neither created nor an error); false when refused or
  /// the disk failed (the file then unchanged).
  bool DeleteSection(const char* path, std::string_view section);

  /// What holding a key line out of a file keeps, so that the line's own
  /// bytes can go back exactly where they were (docs/profile-format.md).
  struct HeldOut {
    HeldLine line;
    std::string before;  // the whole file as the plan found it
    std::string after;   // the whole file just after the delete
  };

  /// Plans holding |key| of |section| out of |path|: reads the file and
  /// stores in |*held| the delete and the put-back. Returns true when the
  /// line can be taken out and put back exactly; else false, the record
  /// saying why not.
  bool PlanHoldOut(const char* path, std::string_view section, std::string_view key, HeldOut* held);

  /// Takes the planned line out, when the file still holds the bytes the
  /// plan found; false (the file unchanged) otherwise, or as for Delete.
  bool HoldOut(const char* path, const HeldOut& held);

  /// Puts the held line back: where it was when the file still holds the
  /// bytes just after the delete; by PlanPutBack's positions when it has
  /// changed since; and as an ordinary Write of |value| only when its
  /// encoding changed. Returns false as for Write (kind kLockHeld when
  /// another holder kept the file's lock).
  bool PutBack(const char* path, std::string_view section, std::string_view key,
               std::string_view value, const HeldOut& held);

 private:
  enum class Outcome { kDone, kFailed, kRetry };
  /// What became of replacing the file by renaming a copy over it.
  enum class Replacement { kDone, kFailed, kInPlace };

  /// Plans a change of the file's current text.
  using Planner = PlanResult (*)(std::string_view text, const void* args, ProfileChange* change);

  /// Makes the edit |plan| gives of |path|'s text, leaving the record.
  bool Update(const char* path, bool create_missing, Planner plan, const void* args);
  /// Records the failure of an update, as its refusal or |error| says.
  void NoteFailure(int error);
  /// Records |step| of the open change on |path|, or runs it at once when
  /// no change is open.
  bool Record(const char* path, ProfileStep step);
  Outcome UpdateOnce(const std::string& target, bool create_missing, Planner plan,
                     const void* args);
  /// Plans and makes the edit on |fd|, the open file |target|, locking it
  /// first (exclusively, unless |write_error| says why it could not be
  /// opened for writing).
  Outcome EditLocked(int fd, int write_error, const std::string& target, Planner plan,
                     const void* args);
  /// Gives the missing file |target| the content |text|, unless another
  /// writer creates it first (kRetry then).
  Outcome Create(const std::string& target, std::string_view text);
  /// Resolves |path| with |*resolved|, storing the name to use in |*target|.
  /// Returns false when the disk failed, or when a link was refused
  /// (|refused_link_| then names it).
  bool ResolveLinks(const char* path, SafePath* resolved, std::string* target);
  /// Opens |path| with |flags| when it is a regular file, without waiting on
  /// anything else of the name, and stores its status in |*st|. Returns the
  /// descriptor; -1 on failure (errno ENOENT when missing, EISDIR or EINVAL
  /// when it is not a regular file).
  int OpenRegular(const char* path, int flags, struct stat* st);
  /// A file's whole content, read without first zero-filling the buffer.
  struct Content {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
    std::string_view view() const { return std::string_view(bytes.get(), size); }
  };
  /// Reads the whole open file, expected to hold about |size_hint| bytes.
  /// Returns false on a read error.
  bool ReadAll(int fd, off_t size_hint, Content* content);
  /// Returns true when the engine reads |text|; else false, recording why.
  bool Readable(std::string_view text);
  /// Reads the whole of the regular file |path| under a shared lock.
  /// Returns false when it is missing (no failure), or when it could not be
  /// read (recorded).
  bool ReadWhole(const char* path, Content* text);
  /// Write all of |bytes| at the file position / at |offset|. Return false
  /// on failure (some of the bytes may be written).
  bool WriteAll(int fd, std::string_view bytes);
  bool WriteAllAt(int fd, std::string_view bytes, size_t offset);
  /// Creates a new temporary file beside |target| with |mode| and locks it.
  /// Returns its descriptor and stores its name in |*temp_path|; -1 (nothing
  /// left behind) on failure.
  int CreateTemporary(const std::string& target, mode_t mode, std::string* temp_path);
  /// Replaces |target| (whose status is |held|) by a copy holding |parts|,
  /// where a rename keeps everything of the file. Returns kDone, kFailed
  /// (the file unchanged), or kInPlace when it is to be updated in place.
  Replacement ReplaceByRename(const std::string& target, const struct stat& held,
                              const std::string_view* parts, int count);
  /// Turns the content of |fd| from |old_text| into |new_text|, which equal
  /// each other up to |first_change| at least. Returns true once synced;
  /// false after a failure, with the old bytes put back as far as the disk
  /// allows.
  bool UpdateInPlace(int fd, std::string_view old_text, std::string_view new_text,
                     size_t first_change);
  /// Removes the temporary files beside |target| that writers left when they
  /// died: ours by name, locked by nobody, and the caller's or |file_owner|'s.
  /// At every change: one may have died during the run.
  void SweepStaleTemporaries(const std::string& target, uid_t file_owner);
  /// Syncs the directory that holds |target|, as far as it can.
  void SyncDirectoryOf(const std::string& target);

  DiskInterface& disk_;
  FailureRecord& record_;
  const char* refusal_ = nullptr;  // the engine's reason, when it refused the update
  std::string refused_link_;       // the line of a link not followed
  LockObserver* observer_ = nullptr;
  bool locked_ = false;     // the observer was told Held and not yet Released
  bool read_only_ = false;  // the last update met a file without write bits
  bool changing_ = false;
  bool two_files_ = false;  // a step of the open change named another file
  std::string change_path_;
  std::vector<ProfileStep> steps_;
};

}  // namespace quillpost
