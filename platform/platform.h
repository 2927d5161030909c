#pragma once

#include "platform/failure.h"

namespace quillpost {

/// The programs' whole contact with the platform: the system directory, the
/// private profile-string operations on the service configuration file, and
/// run-time library loading. Two adapters (platform/native/): on Windows the
/// platform's own 8-bit functions, with the checks and the undo that
/// docs/windows.md describes; on POSIX our crash-safe file layer
/// (platform/profile/), the system directory named by QUILLPOST_SYSTEM_DIR
/// and dlopen. Tests substitute fakes. The entry guard that wiztest holds
/// beside it is platform/guard/entry_guard.h.
///
/// Every profile and library operation that can fail leaves one record of
/// why, read through LastFailure: kind kNone after an operation that did
/// not fail.
class Platform {
 public:
  virtual ~Platform() = default;

  /// Stores the system directory, null-terminated, in |buffer| of |capacity|
  /// characters (terminating null included). Returns the length stored when
  /// it is below |capacity|; a value of |capacity| or more when the directory
  /// does not fit (nothing usable is stored); 0 when there is none. On POSIX
  /// a relative one is taken against the current directory at the time of
  /// the query, so that the path formed from it names one file for the run.
  /// Leaves a record: with 0, the reason there is none when the platform
  /// knows one (on POSIX, a current directory that cannot be named).
  virtual unsigned SystemDirectory(char* buffer, unsigned capacity) = 0;

  /// Returns false when the command line |argv| of |argc| parameters does
  /// not say exactly what the program was given: on Windows, an argument
  /// that the system's code page cannot hold (it reaches the 8-bit
  /// arguments as '?' or a look-alike). Elsewhere always true.
  virtual bool ArgumentsAsGiven(int argc, const char* const* argv) = 0;

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
  /// DeleteKey.
  virtual bool DeleteEveryKey(const char* section, const char* key, const char* file) = 0;

  /// Opens one change of one file: the writes and deletes above, until
  /// CommitChange or AbandonChange, make one change, all of it or none of
  /// it. They return true unless refused at once. On POSIX they are
  /// recorded and made as one update at the commit; on Windows each is made
  /// at once and undone should a later one fail, or the change be abandoned
  /// (docs/windows.md).
  virtual void BeginChange() = 0;
  /// Makes the change opened by BeginChange. Returns false when it failed,
  /// the file then as it was.
  virtual bool CommitChange() = 0;
  /// Ends the change opened by BeginChange, leaving the file as it was.
  virtual void AbandonChange() = 0;

  /// Stores the value of |key| in |section| of |file|, or |default_value|
  /// when the file, section or key is missing, in |buffer| of |capacity|
  /// characters, cut to |capacity| - 1 and null-terminated. Returns the
  /// number of characters stored, the terminating null not counted. A file
  /// that could not be read reads as missing, and leaves a record.
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
  /// delete, returns true when |key| of |section| can be taken out of |file|
  /// and put back exactly as the file spells it (else the record says why
  /// not); HoldOut then deletes it (a failure with a record's |remains|
  /// means the file may have lost it all the same) and PutBack writes it
  /// back. On Windows the platform's write chooses the entry's place; the
  /// POSIX platform puts the line's own bytes back where they were
  /// (docs/profile-format.md).
  virtual bool PlanHoldOut(const char* section, const char* key, const char* file) = 0;
  virtual bool HoldOut(const char* section, const char* key, const char* file) = 0;
  virtual bool PutBack(const char* section, const char* key, const char* value,
                       const char* file) = 0;

  /// Loads the library file |name| from the places the platform trusts for
  /// it, never from the current directory. Returns a handle, or nullptr
  /// (kind kLibraryRefused when it was found but not loaded).
  virtual void* OpenLibrary(const char* name) = 0;

  /// Returns the address of the entry point |entry| of |library|, or nullptr.
  virtual void* FindEntry(void* library, const char* entry) = 0;

  /// Releases a library that OpenLibrary returned.
  virtual void CloseLibrary(void* library) = 0;

  /// What LocateSubsystemFile found.
  enum class Located {
    kNone,     ///< no file of the messaging subsystem's own to take the definition
    kMissing,  ///< its place, where no file is
    kPresent,  ///< its file, there
    kTooLong,  ///< its place, whose path does not fit |capacity| (none is stored)
  };
  /// Stores in |buffer| of |capacity| characters the path of the
  /// Mapisvc.inf that the installed messaging subsystem itself reads, beside
  /// its private MAPI library (docs/windows.md), when there is one and it
  /// is another file than the system directory's. |library| is the
  /// messaging library to ask, or null for the MAPI stub of the system
  /// directory, loaded by its full path for this query alone. Elsewhere than
  /// on Windows, and where nothing answers, kNone.
  virtual Located LocateSubsystemFile(void* library, char* buffer, unsigned capacity) = 0;

  /// The record of the last operation above.
  virtual Failure LastFailure() const = 0;
};

/// Returns the platform the program runs on.
Platform& NativePlatform();

}  // namespace quillpost
