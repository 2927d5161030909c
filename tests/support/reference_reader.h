#pragma once

// The tests' own reader of the service configuration file, written from
// docs/profile-format.md apart from the engine under test, so that a fault
// in the engine's text rules cannot move a test's expectation along with
// its result.

#include <optional>
#include <string>
#include <string_view>

namespace quillpost::test {

/// Looks |key| up in |section| of a profile file's |text| as
/// docs/profile-format.md says the file is read. Returns the value, or
/// nothing when the key is not there (or a line without '=' hides it).
std::optional<std::string> ReferenceValue(std::string_view text, std::string_view section,
                                          std::string_view key);

/// Reads |key| of |section| from the file at |path|: on Windows through the
/// platform's own reader, elsewhere with ReferenceValue. Returns the value,
/// or |missing| when the key (or the file) is not there.
std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& missing);

}  // namespace quillpost::test
