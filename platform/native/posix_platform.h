#pragma once

#include <optional>
#include <string>

#include "platform/guard/update_in_progress.h"
#include "platform/platform.h"
#include "platform/profile/disk_interface_posix.h"
#include "platform/profile/profile_file_posix.h"

namespace quillpost {

/// The platform where Windows is absent: the system directory named by
/// QUILLPOST_SYSTEM_DIR, our profile-file engine on |disk|, and libraries
/// loaded with dlopen from beside the program or the system directory, only
/// when no other user could have changed them.
class PosixPlatform : public Platform, private ProfileFile::LockObserver {
 public:
  explicit PosixPlatform(DiskInterface& disk) : disk_(disk), profile_(disk, record_) {
    profile_.SetLockObserver(this);
  }

  unsigned SystemDirectory(char* buffer, unsigned capacity) override;
  bool ArgumentsAsGiven(int, const char* const*) override { return true; }
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* file) override;
  bool DeleteKey(const char* section, const char* key, const char* file) override;
  bool DeleteSection(const char* section, const char* file) override;
  bool DeleteEveryKey(const char* section, const char* key, const char* file) override;
  void BeginChange() override { profile_.BeginChange(); }
  bool CommitChange() override { return profile_.CommitChange(); }
  void AbandonChange() override { profile_.AbandonChange(); }
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
  Located LocateSubsystemFile(void*, char*, unsigned) override { return Located::kNone; }
  Failure LastFailure() const override { return record_.Get(); }

 private:
  // Signals wait from the moment the file's lock is held to the commit; the
  // wait for the lock stays open to them, so an interrupt ends it at once.
  void Held() override { update_.emplace(); }
  void Released() override { update_.reset(); }

  /// Records why the library |path| is not loaded.
  void NotLoaded(const std::string& path, const std::string& why);

  DiskInterface& disk_;
  FailureRecord record_;
  ProfileFile profile_;
  std::optional<UpdateInProgress> update_;
  // The plan of the entry held out; a guardian forked after the plan holds
  // its own copy.
  ProfileFile::HeldOut held_;
  bool planned_ = false;
};

}  // namespace quillpost
