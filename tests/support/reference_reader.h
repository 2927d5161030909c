#pragma once

// The tests' own reader of the service configuration file, written from the
// file rules the README gives, apart from the engine under test, so that a
// fault in the engine's text rules cannot move a test's expectation along
// with its result.

#include <optional>
#include <string>
#include <string_view>

namespace quillpost::test {

/// Looks |key| up in |section| of a profile file's |text|, as the platform's
/// reader reads it: lines end at CR LF, LF or a lone CR; a UTF-8 byte-order
/// mark is skipped; a line whose first non-blank byte is '[' and that holds
/// a ']' is a header; a line with '=' that is not a ';' comment is
/// "key=value"; names and values are trimmed of space, tab, VT, FF and
/// Ctrl-Z; names match ignoring A-Z case; the first matching section, and in
/// it the first matching key, count; one pair of matching quotes (" or ')
/// around the value is dropped. Returns the value, or nothing when the key
/// is not there.
std::optional<std::string> ReferenceValue(std::string_view text, std::string_view section,
                                          std::string_view key);

/// Reads |key| of |section| from the file at |path|: on Windows through the
/// platform's own reader, elsewhere with ReferenceValue. Returns the value,
/// or |missing| when the key (or the file) is not there.
std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& missing);

}  // namespace quillpost::test
