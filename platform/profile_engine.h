#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The profile-file engine: the text rules of a private profile file
// ("[Section]" headers and "key=value" lines), as pure functions over the
// file's bytes. It plans one change at a time as an edit of a byte range, so
// that every byte outside that range stays exactly as it was.
//
// - Lines end with LF or CRLF; a UTF-8 byte-order mark at the start is kept
//   and ignored; any other bytes, NUL included, are carried through.
// - A header is a line whose first non-blank character is '[' and that has a
//   ']'; its name is the text between them, trimmed of blanks (space, tab).
// - Inside a section, a line that is not a header, does not start with ';'
//   after blanks and holds '=' is a key line: the key is the text before the
//   first '=', the value the text after it, both trimmed of blanks.
// - Names match ignoring ASCII case; the first matching section and, within
//   it, the first matching key are the ones used.

namespace quillpost {

/// Replace the bytes [begin, end) of a file's text with |text|.
struct ProfileEdit {
  size_t begin = 0;
  size_t end = 0;
  std::string text;
};

enum class PlanResult {
  kChange,    ///< |edit| holds the change to make.
  kNoChange,  ///< The file already says what was asked: leave it alone.
  kRefused,   ///< The names or value could inject or lose lines.
};

/// Returns true when |section| may be written: no CR, LF, NUL or ']', and no
/// leading or trailing blank.
bool IsWritableSection(std::string_view section);

/// Returns true when |key| may be written: not empty, no CR, LF, NUL or '=',
/// not starting with '[' or ';', and no leading or trailing blank.
bool IsWritableKey(std::string_view key);

/// Returns true when |value| may be written: no CR, LF or NUL.
bool IsWritableValue(std::string_view value);

/// Looks |key| up in |section| of |text|. Returns true and points |*value|
/// at the value as the file spells it (trimmed, quotes kept) when found.
bool FindProfileValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view* value);

/// Appends to |*entries| every key line of the first section named
/// |section| in |text|, in file order, as "key=value" (both trimmed of
/// blanks, quotes kept, duplicates kept), each followed by a null.
void ListSectionEntries(std::string_view text, std::string_view section, std::string* entries);

/// Returns |value| without one pair of matching surrounding quotes (" or ').
std::string_view StripQuotes(std::string_view value);

/// Plans setting |key| of |section| to |value|: an existing key line becomes
/// "key=value" (the key spelled as in the file); a missing key goes right
/// after the last key line of the section (after the header when it has
/// none); a missing section is appended at the end of the text.
PlanResult PlanWrite(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value, ProfileEdit* edit);

/// Plans removing the key line of |key| in |section|, line end included.
/// A missing section or key is kNoChange.
PlanResult PlanDelete(std::string_view text, std::string_view section, std::string_view key,
                      ProfileEdit* edit);

/// Plans removing every section named |section|: each header line and every
/// line after it up to the next header (or the end of the text). The bytes
/// between two such sections are kept, so one edit spans the first to the
/// last. A missing section is kNoChange.
PlanResult PlanDeleteSection(std::string_view text, std::string_view section, ProfileEdit* edit);

/// Returns |text| with |edit| applied.
std::string ApplyEdit(std::string_view text, const ProfileEdit& edit);

}  // namespace quillpost
