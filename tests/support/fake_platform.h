#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "platform/guard/entry_guard.h"
#include "platform/platform.h"

namespace quillpost::test {

/// The path of the service configuration file in the fake's system
/// directory, written out: a backslash on Windows, a slash elsewhere.
#ifdef _WIN32
inline const std::string kFakeConfigPath = "C:\\WINDOWS\\system32\\Mapisvc.inf";
#else
inline const std::string kFakeConfigPath = "C:\\WINDOWS\\system32/Mapisvc.inf";
#endif

/// A platform that records every profile operation instead of making it,
/// and an entry guard that records its calls in the same list.
class FakePlatform : public Platform, public EntryGuard {
 public:
  struct Call {
    std::string op;  // "write", "delete", "delete section", "read", "section", ...
    std::string section, key, value, file;
  };

  std::string system_dir = "C:\\WINDOWS\\system32";
  void* library = nullptr;  // what OpenLibrary returns
  void* wizard = nullptr;   // what FindEntry returns
  std::string read_value;   // what ReadString finds ("" for the default)
  // When 0 or more: how many copies of the key read_value belongs to are
  // left; a read finds it while one is, each DeleteKey that succeeds takes
  // one away.
  int copies_left = -1;
  // What ReadSection lists ("key=value" each followed by a null); by
  // default the one entry "MSPST AB=" read_value.
  std::string section_entries = "<from read_value>";
  bool have_system_dir = true;
  bool guard_stands = true;   // what Hold returns
  bool delete_fails = false;  // every DeleteKey fails
  int fail_write_at = -1;     // index among the writes, -1 for none
  int fail_delete_at = -1;    // index among key and section deletes, -1 for none
  std::vector<Call> calls;

  unsigned SystemDirectory(char* buffer, unsigned capacity) override {
    if (!have_system_dir) return 0;
    if (system_dir.size() >= capacity) return static_cast<unsigned>(system_dir.size() + 1);
    system_dir.copy(buffer, system_dir.size());
    buffer[system_dir.size()] = '\0';
    return static_cast<unsigned>(system_dir.size());
  }

  bool ArgumentsAsGiven(int, const char* const*) override { return true; }

  bool WriteString(const char* section, const char* key, const char* value,
                   const char* file) override {
    const int index = writes++;
    calls.push_back({"write", section, key, value, file});
    return Noted(index != fail_write_at,
                 write_locked_out ? FailureKind::kLockHeld : FailureKind::kNoSpace);
  }

  bool DeleteKey(const char* section, const char* key, const char* file) override {
    calls.push_back({"delete", section, key, "", file});
    const bool ok = deletes++ != fail_delete_at && !delete_fails;
    if (ok && copies_left > 0) --copies_left;
    return Noted(ok, FailureKind::kReadOnly);
  }

  bool DeleteEveryKey(const char* section, const char* key, const char* file) override {
    calls.push_back({"delete every", section, key, "", file});
    return Noted(deletes++ != fail_delete_at, FailureKind::kReadOnly);
  }

  bool DeleteSection(const char* section, const char* file) override {
    calls.push_back({"delete section", section, "", "", file});
    return Noted(deletes++ != fail_delete_at, FailureKind::kReadOnly);
  }

  // A change fails at its commit when one of its calls failed, with that
  // call's record.
  void BeginChange() override { change_failure_.Clear(); }
  bool CommitChange() override {
    if (!change_failure_.failed()) return true;
    record_ = change_failure_;
    return false;
  }
  void AbandonChange() override { abandoned = true; }
  bool abandoned = false;  // a change was abandoned

  bool PlanHoldOut(const char*, const char*, const char*) override {
    record_.Clear();
    return true;
  }
  bool HoldOut(const char* section, const char* key, const char* file) override {
    return DeleteKey(section, key, file);
  }
  bool PutBack(const char* section, const char* key, const char* value, const char* file) override {
    return WriteString(section, key, value, file);
  }
  Located LocateSubsystemFile(void* library_asked, char* buffer, unsigned capacity) override {
    asked_library = library_asked != nullptr;
    subsystem_file.copy(buffer, capacity - 1);
    buffer[std::min<size_t>(subsystem_file.size(), capacity - 1)] = '\0';
    return located;
  }
  Located located = Located::kNone;  // what LocateSubsystemFile answers
  std::string subsystem_file;        // and the path it gives
  bool asked_library = false;        // the last LocateSubsystemFile asked a library
  Failure LastFailure() const override { return record_.Get(); }

  unsigned ReadString(const char* section, const char* key, const char* default_value, char* buffer,
                      unsigned capacity, const char* file) override {
    calls.push_back({"read", section, key, "", file});
    record_.Clear();
    std::string value = copies_left > 0      ? read_value
                        : copies_left == 0   ? std::string(default_value)
                        : read_value.empty() ? default_value
                                             : read_value;
    value = value.substr(0, capacity - 1);
    value.copy(buffer, value.size());
    buffer[value.size()] = '\0';
    return static_cast<unsigned>(value.size());
  }

  unsigned ReadSection(const char* section, char* buffer, unsigned capacity,
                       const char* file) override {
    calls.push_back({"section", section, "", "", file});
    record_.Clear();
    std::string entries = section_entries;
    if (entries == "<from read_value>") entries = "MSPST AB=" + read_value + std::string(1, '\0');
    if (entries.size() + 1 > capacity) entries.resize(capacity - 2);
    entries.copy(buffer, entries.size());
    buffer[entries.size()] = buffer[entries.size() + 1] = '\0';
    return static_cast<unsigned>(entries.size());
  }

  void* OpenLibrary(const char* name) override {
    calls.push_back({"open", "", name, "", ""});
    record_.Clear();
    return library;
  }
  void* FindEntry(void*, const char* entry) override {
    calls.push_back({"find", "", entry, "", ""});
    return wizard;
  }
  void CloseLibrary(void*) override { calls.push_back({"close", "", "", "", ""}); }
  bool Hold(const char* section, const char* key, const char* value, const char* file,
            const char* failure_message) override {
    calls.push_back({"guard", section, key, value, file});
    guard_message = failure_message;
    return guard_stands;
  }
  void Release() override { calls.push_back({"release", "", "", "", ""}); }
  HandedOver HandOver() override {
    calls.push_back({"hand over", "", "", "", ""});
    return handed_over;
  }
  HandedOver handed_over = HandedOver::kWaiting;  // what HandOver answers

  bool write_locked_out = false;  // a failed write waited out a lock

  std::string guard_message;

 private:
  bool Noted(bool ok, FailureKind kind) {
    if (ok) {
      record_.Clear();
    } else {
      record_.Set(kind);
      if (kind == FailureKind::kLockHeld) record_.Set(kind, LockHeldLine(20));
      if (!change_failure_.failed()) change_failure_ = record_;
    }
    return ok;
  }

  FailureRecord record_;
  FailureRecord change_failure_;  // the first failure of the open change
  int writes = 0;
  int deletes = 0;
};

}  // namespace quillpost::test
