#include "platform/platform.h"

#include <cstring>
#include <vector>

#include "platform/ascii_case.h"

namespace quillpost {
namespace {

/// Counts the lines of |key| in the listing of |section| of |file| (each
/// entry "key=value" or a bare key). Returns -1 when the listing is cut.
int CountKeyLines(Platform& platform, const char* section, const char* key, const char* file) {
  std::vector<char> entries(1 << 16);
  for (;;) {
    const unsigned size = static_cast<unsigned>(entries.size());
    const unsigned length = platform.ReadSection(section, entries.data(), size, file);
    if (length + 2 < size) break;
    if (size >= (64u << 20)) return -1;
    entries.resize(entries.size() * 2);
  }
  const size_t key_length = std::strlen(key);
  int count = 0;
  for (const char* entry = entries.data(); *entry != '\0'; entry += std::strlen(entry) + 1) {
    const char* equals = std::strchr(entry, '=');
    const size_t name_length = equals ? static_cast<size_t>(equals - entry) : std::strlen(entry);
    if (name_length != key_length) continue;
    count += AsciiCaseEqual(std::string_view(entry, name_length), key);
  }
  return count;
}

}  // namespace

bool Platform::DeleteEveryKey(const char* section, const char* key, const char* file) {
  // Each delete takes one line; a line that a delete cannot take would
  // otherwise keep the loop going, so it runs at most once per line listed.
  int lines = CountKeyLines(*this, section, key, file);
  for (int i = 0; lines > 0 && i < lines; ++i) {
    if (!DeleteKey(section, key, file)) return false;
  }
  return lines >= 0 && CountKeyLines(*this, section, key, file) == 0;
}

}  // namespace quillpost
