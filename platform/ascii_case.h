#pragma once

#include <string_view>

namespace quillpost {

/// Folds the ASCII letters A to Z to lower case; every other byte is
/// returned unchanged (no locale, no UTF-8 folding).
char AsciiToLower(char c);

/// Compares two null-terminated strings with only A to Z folded to lower
/// case. Returns 0 when they are equal, a negative or positive value when
/// |a| sorts before or after |b|.
int AsciiCaseCompare(const char* a, const char* b);

/// Returns true when |a| and |b| are equal with only A to Z folded.
bool AsciiCaseEqual(std::string_view a, std::string_view b);

}  // namespace quillpost
