#pragma once

namespace quillpost {

/// The programs' whole contact with the platform: the system directory, the
/// private profile-string operations on the service configuration file, and
/// run-time library loading. The adapters live in platform/native/; the
/// entry guard that wiztest holds beside it is platform/guard/entry_guard.h.
/// On Windows each is a thin call of the platform's 8-bit function; on POSIX
/// the system directory comes from QUILLPOST_SYSTEM_DIR (a relative one taken
/// against the current directory at the time of the query, so that the path
/// formed from it names one file for the whole run) and the profile
/// operations from our own crash-safe engine. Tests substitute fakes.
class Platform {
 public:
  virtual ~Platform() = default;

  /// Stores the system directory, null-terminated, in |buffer| of |capacity|
  /// characters (terminating null included). Returns the length stored when
  /// it is below |capacity|; a value of |capacity| or more when the directory
  /// does not fit (nothing usable is stored); 0 when there is none.
  virtual unsigned SystemDirectory(char* buffer, unsigned capacity) = 0;

  /// Sets |key| of |section| in |file| to |value|, creating the file, the
  /// section and the key where missing. Returns true when the file holds the
  /// value afterwards, false when the write failed or was refused (the file
  /// is then as it was).
  virtual bool WriteString(const char* section, const char* key, const char* value,
                           const char* file) = 0;

  /// Removes |key| from |section| of |file|. Returns true when the key is
  /// absent afterwards (a missing file, section or key is no change), false
  /// when the delete failed or was refused (the file is then as it was).
  virtual bool DeleteKey(const char* section, const char* key, const char* file) = 0;

  /// Removes |section| of |file| with all its lines, every section of that
  /// name should the file hold it more than once. Returns true when no such
  /// section is left afterwards (a missing file or section is no change and
  /// creates nothing), false when the delete failed or was refused.
  virtual bool DeleteSection(const char* section, const char* file) = 0;

  /// Removes every line of |key| (with or without '=') from every section
  /// |section| of |file| that the platform's operations reach. Returns as
  /// DeleteKey. This default deletes the key until a listing of the
  /// section no longer names it, at most once for each line listed.
  virtual bool DeleteEveryKey(const char* section, const char* key, const char* file);

  /// Opens one change of the file: until CommitChange or AbandonChange, the
  /// writes and deletes above are recorded rather than made, all on one
  /// file, and return true unless refused at once. On POSIX the change is
  /// then made as one update, all of it or none; on Windows, which has no
  /// such update, each call is made at once and these do nothing.
  virtual void BeginChange() {}
  /// Makes the change opened by BeginChange. Returns false when it failed
  /// (FailureCause says why), the file then as it was.
  virtual bool CommitChange() { return true; }
  /// Ends the change opened by BeginChange, leaving the file alone.
  virtual void AbandonChange() {}

  /// Returns one line that says why the last failed change of the file
  /// failed (refused input, permission, read-only file, not a regular file,
  /// no space, file too large, lock), or "" when the platform cannot tell.
  /// The lines are those of the manual pages' DIAGNOSTICS.
  virtual const char* FailureCause() { return ""; }

  /// Returns false when the command line |argv| of |argc| parameters does
  /// not say exactly what the program was given: on Windows, an argument
  /// that the system's code page cannot hold (it reaches the 8-bit
  /// arguments as '?' or a look-alike). Elsewhere always true.
  virtual bool ArgumentsAsGiven(int argc, const char* const* argv) {
    (void)argc;
    (void)argv;
    return true;
  }

  /// Returns one line that says why the last WriteString, DeleteKey or DeleteSection left
  /// the file alone on purpose (a file or input it refuses to edit), or why
  /// the last read found nothing to read (a link it does not follow), or ""
  /// when it was not refused or the platform gives no reason.
  virtual const char* RefusalReason() { return ""; }

  /// Stores the value of |key| in |section| of |file|, or |default_value|
  /// when the file, section or key is missing, in |buffer| of |capacity|
  /// characters, cut to |capacity| - 1 and null-terminated. Returns the
  /// number of characters stored, the terminating null not counted.
  virtual unsigned ReadString(const char* section, const char* key, const char* default_value,
                              char* buffer, unsigned capacity, const char* file) = 0;

  /// Stores the entries of |section| of |file| as the file spells them, one
  /// "key=value" each (names and values trimmed, quotes kept), each followed
  /// by a null and the last by a second null, in |buffer| of |capacity|
  /// characters. Returns the number of characters stored, the final null
  /// not counted: 0 when the file or section is missing, |capacity| - 2 when
  /// the entries do not all fit.
  virtual unsigned ReadSection(const char* section, char* buffer, unsigned capacity,
                               const char* file) = 0;

  /// The exact hold-out of one entry, for wiztest: PlanHoldOut, before the
  /// delete, returns nullptr when |key| of |section| can be taken out of
  /// |file| and put back exactly as the file spells it, else why not;
  /// HoldOut then deletes it and PutBack writes it back. Where the platform
  /// has nothing better these are a plain DeleteKey and WriteString, and the
  /// platform chooses the entry's place; the POSIX platform puts the line's
  /// own bytes back where they were (docs/profile-format.md).
  virtual const char* PlanHoldOut(const char* /*section*/, const char* /*key*/,
                                  const char* /*file*/) {
    return nullptr;
  }
  virtual bool HoldOut(const char* section, const char* key, const char* file) {
    return DeleteKey(section, key, file);
  }
  virtual bool PutBack(const char* section, const char* key, const char* value, const char* file) {
    return WriteString(section, key, value, file);
  }
  /// Returns true when the last PutBack failed only because another holder
  /// kept the file's lock for the whole of the lock wait.
  virtual bool PutBackWaitedOutALock() { return false; }

  /// Loads the library file |name| from the places the platform trusts for
  /// it, never from the current directory. Returns a handle, or nullptr.
  virtual void* OpenLibrary(const char* name) = 0;

  /// Returns one line that says why the last OpenLibrary found the library
  /// but would not load it (a file others could have changed), or "" when
  /// it did not refuse it or the platform gives no reason. On Windows the
  /// system directory's permissions do this work: always "".
  virtual const char* WhyNotLoaded() { return ""; }

  /// Returns the address of the entry point |entry| of |library|, or nullptr.
  virtual void* FindEntry(void* library, const char* entry) = 0;

  /// Releases a library that OpenLibrary returned.
  virtual void CloseLibrary(void* library) = 0;
};

/// Returns the platform the program runs on.
Platform& NativePlatform();

}  // namespace quillpost
