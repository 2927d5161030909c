#pragma once

#include <string_view>

// The text of a profile file as the platform's readers give it: blanks, and
// the listings of section names and of a section's entries. Templates, so
// that the 8-bit and the wide listings are read by the same code.

namespace quillpost {

/// The blanks the platform's reader trims around names and values.
template <typename Char>
constexpr bool IsProfileBlank(Char c) {
  return c == Char(' ') || c == Char('\t') || c == Char('\v') || c == Char('\f') ||
         c == Char('\x1a');
}

/// Returns |s| without the blanks at either end.
template <typename Char>
constexpr std::basic_string_view<Char> TrimProfileBlanks(std::basic_string_view<Char> s) {
  while (!s.empty() && IsProfileBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsProfileBlank(s.back())) s.remove_suffix(1);
  return s;
}

/// One entry of a section's listing, "key=value" or a bare key: its name and
/// value, blanks trimmed.
template <typename Char>
struct ListedEntry {
  std::basic_string_view<Char> name;
  std::basic_string_view<Char> value;
  bool has_value = false;
};

template <typename Char>
ListedEntry<Char> SplitListedEntry(std::basic_string_view<Char> entry) {
  const size_t equals = entry.find(Char('='));
  ListedEntry<Char> split;
  split.name = TrimProfileBlanks(entry.substr(0, equals));
  if (equals != std::basic_string_view<Char>::npos) {
    split.value = TrimProfileBlanks(entry.substr(equals + 1));
    split.has_value = true;
  }
  return split;
}

/// Calls |visit| with each item of |listing| in order: items each followed
/// by a null, the last by a second null, as GetPrivateProfileSection and
/// GetPrivateProfileSectionNames give them.
template <typename Char, typename Visit>
void ForEachListed(const Char* listing, Visit&& visit) {
  for (const Char* item = listing; *item != Char(0);) {
    const std::basic_string_view<Char> view(item);
    visit(view);
    item += view.size() + 1;
  }
}

}  // namespace quillpost
