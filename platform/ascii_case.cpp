#include "platform/ascii_case.h"

namespace quillpost {

char AsciiToLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int AsciiCaseCompare(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned char ca = static_cast<unsigned char>(AsciiToLower(*a));
    const unsigned char cb = static_cast<unsigned char>(AsciiToLower(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

bool AsciiCaseEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

}  // namespace quillpost
