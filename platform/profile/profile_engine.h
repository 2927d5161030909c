#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The profile-file engine: the text rules of a private profile file
// ("[Section]" headers and "key=value" lines), as pure functions over the
// file's bytes, read the way the platform's own reader reads them. It plans
// each change as edits of byte ranges, so that every byte outside them
// stays exactly as it was. The rules it keeps are
// stated once, in docs/profile-format.md.

namespace quillpost {

/// Replace the bytes [begin, end) of a file's text with |text|.
struct ProfileEdit {
  size_t begin = 0;
  size_t end = 0;
  std::string text;
  /// When the plan was refused: one line that says why.
  const char* reason = nullptr;
};

enum class PlanResult {
  kChange,    ///< |edit| holds the change to make.
  kNoChange,  ///< The file already says what was asked: leave it alone.
  kRefused,   ///< The input or the file cannot be edited safely: |edit.reason| says why.
};

/// Returns true when |section| may be written: not empty, no CR, LF, NUL
/// or ']', and no leading or trailing blank.
bool IsWritableSection(std::string_view section);

/// Returns true when |key| may be written: not empty, no CR, LF, NUL or '=',
/// not starting with '[' or ';', and no leading or trailing blank.
bool IsWritableKey(std::string_view key);

/// Returns true when |value| may be written: no CR, LF or NUL.
bool IsWritableValue(std::string_view value);

/// Returns nullptr when the engine reads and edits |text| as the platform's
/// reader reads it; otherwise one line that says why it leaves the file
/// alone (every read of it then finds nothing, every change is refused).
const char* ProfileTextRefusal(std::string_view text);

/// Appends to |*entries| every key line of the first section named
/// |section| in |text|, in file order, as "key=value" (both trimmed of
/// blanks but not ended at a NUL, which is listed as DEL (0x7F); quotes and
/// duplicates kept; a line without '=' as its bare key), each followed by a
/// null. A file the engine refuses lists nothing.
void ListSectionEntries(std::string_view text, std::string_view section, std::string* entries);

/// Looks |key| up in |section| of |text|. Returns true and stores in
/// |*value| the value as the platform's reader gives it (trimmed, ended at a
/// NUL, one pair of quotes removed; from a UTF-16 file, in UTF-8). Returns
/// false when the section or key is missing, the key line has no '=', the
/// text is one the engine refuses, or a name is empty or has an outer blank.
bool ReadProfileValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string* value);

/// Plans setting |key| of |section| to |value|: an existing key line becomes
/// "key=value" (the key spelled as in the file); a missing key goes right
/// after the last key line of the section (after the header when it has
/// none); a missing section is appended at the end of the text. Into a
/// UTF-8 file only valid UTF-8 is written; into a UTF-16 file, ASCII names
/// and a value in valid UTF-8, converted to UTF-16.
PlanResult PlanWrite(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value, ProfileEdit* edit);

/// Plans removing the key line of |key| in |section|, line end included.
/// A missing section or key is kNoChange.
PlanResult PlanDelete(std::string_view text, std::string_view section, std::string_view key,
                      ProfileEdit* edit);

/// Plans removing every key line of |key|, with or without '=', in every
/// section named |section|, line ends included. None is kNoChange.
PlanResult PlanDeleteEveryKey(std::string_view text, std::string_view section, std::string_view key,
                              ProfileEdit* edit);

/// Plans removing every section named |section|: each header line and every
/// line after it up to the next header (or the end of the text). The bytes
/// between two such sections are kept, so one edit spans the first to the
/// last. A missing section is kNoChange.
PlanResult PlanDeleteSection(std::string_view text, std::string_view section, ProfileEdit* edit);

/// A key line taken out of a file, kept so that its own bytes can go back.
/// Every field is the file's bytes (UTF-16 ones for a UTF-16 file).
struct HeldLine {
  size_t at = 0;         ///< where the line began
  std::string content;   ///< the line as it was spelled, line end excluded
  std::string line_end;  ///< its own line end; empty on a last line without one
  std::string previous;  ///< the line before it (the header, when it was first)
  bool has_next = false;
  std::string next;  ///< the line after it, when that one was in the section
  /// How many lines of the section spelled as |previous|, and as |next|,
  /// came before that one: which of several alike it was.
  size_t previous_rank = 0, next_rank = 0;
};

/// Plans taking the key line of |key| in |section| out of |text| whole, and
/// stores in |*held| what it takes to put it back. kNoChange when it is
/// missing.
PlanResult PlanHoldOut(std::string_view text, std::string_view section, std::string_view key,
                       HeldLine* held, ProfileEdit* edit);

/// Plans putting |held| back into |text|, a file that changed since the line
/// was taken out (see docs/profile-format.md): its own bytes go over a line
/// of |key| that is there again (kNoChange when that line holds them
/// already), else between its two neighbours, else
/// after the line that preceded it, else before the one that followed it
/// (of several lines alike, the one of the same rank), else after the last
/// key line of |section|, else into a new section at the end.
PlanResult PlanPutBack(std::string_view text, std::string_view section, std::string_view key,
                       const HeldLine& held, ProfileEdit* edit);

/// Returns true when |a| and |b| are read in the same encoding (8-bit,
/// UTF-8 with its mark, UTF-16 LE or BE).
bool SameProfileEncoding(std::string_view a, std::string_view b);

/// Returns |text| with |edit| applied.
std::string ApplyEdit(std::string_view text, const ProfileEdit& edit);

/// One edit that a change asks for.
struct ProfileStep {
  enum Kind { kWrite, kDelete, kDeleteEveryKey, kDeleteSection } kind;
  std::string section, key, value;
};

/// Plans |step| over |text| with PlanWrite, PlanDelete, PlanDeleteEveryKey
/// or PlanDeleteSection.
PlanResult PlanStep(std::string_view text, const ProfileStep& step, ProfileEdit* edit);

/// A change of a text: edits of disjoint byte ranges, in order.
struct ProfileChange {
  std::vector<ProfileEdit> edits;
  const char* reason = nullptr;  ///< when refused: why
};

/// Plans |steps| as one change of |text|: the text that planning and
/// applying each step in turn (PlanStep) would leave, or that one's first
/// refusal. The text is read once, for the sections that the steps name;
/// each step then costs what those sections hold, not what the text does.
PlanResult PlanChange(std::string_view text, const std::vector<ProfileStep>& steps,
                      ProfileChange* change);

/// Returns |text| with |change| applied.
std::string ApplyChange(std::string_view text, const ProfileChange& change);

}  // namespace quillpost
