#include "tests/support/reference_reader.h"

namespace quillpost::test {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

/// A name or value as it reads: trimmed, then ended at a NUL.
std::string_view Name(std::string_view s) {
  s = Trim(s);
  return s.substr(0, s.find('\0'));
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

void PutUtf8(unsigned long cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

/// The text of a UTF-16 file after its mark, in UTF-8; nothing for an odd
/// number of bytes, a file that reads as missing.
std::optional<std::string> FromUtf16(std::string_view bytes, bool little_endian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::string out;
  const auto unit = [&](size_t i) -> unsigned long {
    const unsigned long a = static_cast<unsigned char>(bytes[2 * i]);
    const unsigned long b = static_cast<unsigned char>(bytes[2 * i + 1]);
    return little_endian ? (b << 8 | a) : (a << 8 | b);
  };
  const size_t units = bytes.size() / 2;
  for (size_t i = 1; i < units; ++i) {
    unsigned long cp = unit(i);
    const bool high = cp >= 0xD800 && cp <= 0xDBFF;
    if (high && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(++i) - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    PutUtf8(cp, &out);
  }
  return out;
}

}  // namespace

std::optional<std::string> ReferenceValue(std::string_view bytes, std::string_view section,
                                          std::string_view key) {
  // A name that is empty or has an outer blank is never asked for: it finds nothing.
  if (section.empty() || key.empty() || Trim(section) != section || Trim(key) != key) {
    return std::nullopt;
  }
  std::string decoded;
  std::string_view text = bytes;
  if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
    const std::optional<std::string> utf8 = FromUtf16(bytes, bytes[0] == '\xFF');
    if (!utf8) return std::nullopt;
    decoded = *utf8;
    text = decoded;
  } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }
  bool inside = false;  // in the first section named |section|
  while (!text.empty()) {
    // CR LF reads as a line end followed by an empty line, which says nothing.
    const size_t end = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::string_view trimmed = Trim(line);
    const size_t close = trimmed.rfind(']');
    if (!trimmed.empty() && trimmed.front() == '[' && close != std::string_view::npos &&
        close > 0) {
      if (inside) return std::nullopt;
      inside = SameName(Name(trimmed.substr(1, close - 1)), section);
      continue;
    }
    if (!inside || trimmed.empty() || trimmed.front() == ';') continue;
    const size_t eq = trimmed.find('=');
    // A key line without '=' reads as missing and hides the later lines of its key.
    if (eq == std::string_view::npos) {
      if (SameName(Name(trimmed), key)) return std::nullopt;
      continue;
    }
    if (!SameName(Name(trimmed.substr(0, eq)), key)) continue;
    std::string_view value = Name(trimmed.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return std::nullopt;
}

}  // namespace quillpost::test
