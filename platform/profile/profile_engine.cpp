#include "platform/profile/profile_engine.h"

#include <vector>

#include "platform/ascii_case.h"
#include "platform/listing.h"

namespace quillpost {
namespace {

constexpr char kOddUtf16[] =
    "the file starts with a UTF-16 byte-order mark but has an odd number of bytes";
constexpr char kBadSection[] =
    "the section name is empty, holds a line break, NUL or ']', or starts or ends with a blank";
constexpr char kBadKey[] =
    "the key is empty, holds a line break, NUL or '=', starts with '[' or ';', or starts or "
    "ends with a blank";
constexpr char kBadValue[] = "the value holds a line break or NUL";
constexpr char kNotUtf8[] = "the file is UTF-8 and the text to write is not valid UTF-8";
constexpr char kNotAsciiNames[] =
    "the file is UTF-16 and the section name or key is not plain ASCII";
constexpr char kValueNotUtf8[] = "the file is UTF-16 and the value to write is not valid UTF-8";

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

/// A name or value as the reader keeps it: trimmed, then ended at a NUL.
std::string_view Trimmed(std::string_view s) {
  s = TrimProfileBlanks(s);
  return s.substr(0, s.find('\0'));
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool HasOuterBlank(std::string_view s) {
  return !s.empty() && (IsProfileBlank(s.front()) || IsProfileBlank(s.back()));
}

bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

/// Decodes the UTF-8 sequence at |*pos| of |s| and moves past it. Returns
/// the code point, or -1 (moving one byte) for an invalid sequence: a stray
/// byte, an overlong form, a surrogate or a value beyond U+10FFFF.
long DecodeUtf8(std::string_view s, size_t* pos) {
  const unsigned char lead = static_cast<unsigned char>(s[*pos]);
  size_t length;
  long cp;
  long min;
  if (lead < 0x80) {
    ++*pos;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    ++*pos;
    return -1;
  }
  if (*pos + length > s.size()) {
    ++*pos;
    return -1;
  }
  for (size_t i = 1; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[*pos + i]);
    if ((c & 0xC0) != 0x80) {
      ++*pos;
      return -1;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++*pos;
    return -1;
  }
  *pos += length;
  return cp;
}

bool IsValidUtf8(std::string_view s) {
  for (size_t pos = 0; pos < s.size();) {
    if (DecodeUtf8(s, &pos) < 0) return false;
  }
  return true;
}

void AppendUtf8(long cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

enum class Encoding { k8Bit, kUtf8, kUtf16Le, kUtf16Be };

/// A file's text as the reader sees its characters, one byte each: the
/// bytes themselves for 8-bit and UTF-8 text (a byte of 0x80 or above is
/// never part of a line's shape), and for UTF-16 each code unit below 0x80
/// as itself and every other one as 0x80. Positions in |chars| are
/// character positions; Offset turns them into byte offsets of the file.
class FileText {
 public:
  explicit FileText(std::string_view bytes) : bytes_(bytes) {
    const auto starts = [&](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
    if (starts("\xEF\xBB\xBF")) {
      encoding_ = Encoding::kUtf8;
      body = 3;
    } else if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
      encoding_ = bytes[0] == '\xFF' ? Encoding::kUtf16Le : Encoding::kUtf16Be;
      if (bytes.size() % 2 != 0) {
        refusal = kOddUtf16;
        return;
      }
      body = 1;
    }
    Narrow();
  }

  /// A part of a file's text that starts at a line, read in |encoding|.
  FileText(std::string_view bytes, Encoding encoding) : bytes_(bytes), encoding_(encoding) {
    Narrow();
  }

  /// Returns nullptr when |text| may be written into this file as a name
  /// (|name| true) or a value; else why not.
  const char* CheckText(std::string_view text, bool name) const {
    switch (encoding_) {
      case Encoding::k8Bit:
        return nullptr;
      case Encoding::kUtf8:
        return IsValidUtf8(text) ? nullptr : kNotUtf8;
      case Encoding::kUtf16Le:
      case Encoding::kUtf16Be:
        if (name) return IsAscii(text) ? nullptr : kNotAsciiNames;
        return IsValidUtf8(text) ? nullptr : kValueNotUtf8;
    }
    return nullptr;
  }

  size_t Offset(size_t pos) const { return Wide() ? pos * 2 : pos; }

  /// Returns |text| (8-bit, or UTF-8 for a UTF-16 file) as the file's bytes.
  std::string Encode(std::string_view text) const {
    if (!Wide()) return std::string(text);
    std::string out;
    out.reserve(text.size() * 2);
    for (size_t pos = 0; pos < text.size();) {
      const long decoded = DecodeUtf8(text, &pos);
      const unsigned cp = decoded < 0 ? 0xFFFD : static_cast<unsigned>(decoded);
      if (cp >= 0x10000) {
        PutUnit(0xD800 + ((cp - 0x10000) >> 10), &out);
        PutUnit(0xDC00 + ((cp - 0x10000) & 0x3FF), &out);
      } else {
        PutUnit(cp, &out);
      }
    }
    return out;
  }

  /// Returns the characters [begin, end) as 8-bit text: the bytes
  /// themselves, or for UTF-16 their UTF-8 form (a lone surrogate as U+FFFD).
  std::string Decode(size_t begin, size_t end) const {
    if (!Wide()) return std::string(bytes_.substr(begin, end - begin));
    std::string out;
    for (size_t i = begin; i < end; ++i) {
      long cp = Unit(i);
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < end && Unit(i + 1) >= 0xDC00 &&
          Unit(i + 1) <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (Unit(i + 1) - 0xDC00);
        ++i;
      } else if (cp >= 0xD800 && cp <= 0xDFFF) {
        cp = 0xFFFD;
      }
      AppendUtf8(cp, &out);
    }
    return out;
  }

  Encoding encoding() const { return encoding_; }

  /// The file's bytes of the characters [begin, end).
  std::string_view Bytes(size_t begin, size_t end) const {
    return bytes_.substr(Offset(begin), Offset(end) - Offset(begin));
  }

  std::string_view bytes() const { return bytes_; }

  std::string_view chars;
  size_t body = 0;  // the first character after the byte-order mark
  const char* refusal = nullptr;

 private:
  void Narrow() {
    if (!Wide()) {
      chars = bytes_;
      return;
    }
    narrowed_.resize(bytes_.size() / 2);
    for (size_t i = 0; i < narrowed_.size(); ++i) {
      const unsigned unit = Unit(i);
      narrowed_[i] = static_cast<char>(unit < 0x80 ? unit : 0x80);
    }
    chars = narrowed_;
  }

  bool Wide() const { return encoding_ == Encoding::kUtf16Le || encoding_ == Encoding::kUtf16Be; }

  unsigned Unit(size_t i) const {
    const unsigned a = static_cast<unsigned char>(bytes_[2 * i]);
    const unsigned b = static_cast<unsigned char>(bytes_[2 * i + 1]);
    return encoding_ == Encoding::kUtf16Le ? (b << 8 | a) : (a << 8 | b);
  }

  void PutUnit(unsigned unit, std::string* out) const {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    if (encoding_ == Encoding::kUtf16Le) {
      out->push_back(low);
      out->push_back(high);
    } else {
      out->push_back(high);
      out->push_back(low);
    }
  }

  std::string_view bytes_;
  Encoding encoding_ = Encoding::k8Bit;
  std::string narrowed_;
};

/// Returns the length of the line end at the start of |s|: CR CR LF (a
/// lone CR and an empty line, to the reader) and CR LF are taken whole.
size_t LineEndLength(std::string_view s) {
  if (s.substr(0, 3) == "\r\r\n") return 3;
  if (s.substr(0, 2) == "\r\n") return 2;
  return 1;
}

/// One line of the text: [begin, content_end) is its content, [content_end,
/// end) its line end (empty on a last line without one).
struct Line {
  size_t begin;
  size_t content_end;
  size_t end;
  bool HasLineEnd() const { return end > content_end; }
};

enum class LineKind { kOther, kHeader, kKey };

/// Returns true when |content| is a header line, and sets |*name| to its name.
bool IsHeader(std::string_view content, std::string_view* name) {
  size_t i = 0;
  while (i < content.size() && IsProfileBlank(content[i])) ++i;
  if (i == content.size() || content[i] != '[') return false;
  const size_t close = content.rfind(']');
  if (close == std::string_view::npos || close <= i) return false;
  *name = Trimmed(content.substr(i + 1, close - i - 1));
  return true;
}

/// What one line holds.
struct Classified {
  LineKind kind = LineKind::kOther;
  std::string_view name;   // of the header or key, as the reader keeps it
  bool has_value = false;  // a key line with '='
  std::string_view value;  // trimmed, ended at a NUL, quotes kept
};

Classified Classify(std::string_view content) {
  Classified line;
  if (IsHeader(content, &line.name)) {
    line.kind = LineKind::kHeader;
    return line;
  }
  const std::string_view s = TrimProfileBlanks(content);
  if (s.empty() || s.front() == ';') return line;
  line.kind = LineKind::kKey;
  const size_t eq = s.find('=');
  if (eq == std::string_view::npos) {
    line.name = Trimmed(s);
    return line;
  }
  line.name = Trimmed(s.substr(0, eq));
  line.has_value = true;
  line.value = Trimmed(s.substr(eq + 1));
  return line;
}

/// Walks the lines of a profile text from |pos|, the start of a line.
class LineReader {
 public:
  LineReader(std::string_view text, size_t pos) : text_(text), pos_(pos) {}

  /// Returns false at the end of the text.
  bool Next(Line* line) {
    if (pos_ >= text_.size()) return false;
    line->begin = pos_;
    size_t i = pos_;
    while (i < text_.size() && !IsLineEnd(text_[i])) ++i;
    line->content_end = i;
    if (i < text_.size()) i += LineEndLength(text_.substr(i));
    line->end = pos_ = i;
    return true;
  }

  std::string_view Content(const Line& line) const {
    return text_.substr(line.begin, line.content_end - line.begin);
  }

 private:
  std::string_view text_;
  size_t pos_;
};

/// What the text holds of one key in one section.
struct Lookup {
  bool section_found = false;
  Line header{};
  bool any_key_line = false;
  Line last_key_line{};  // of the section, when any_key_line
  bool key_found = false;
  Line key_line{};
  std::string_view key_name;  // as the file spells it
  bool has_value = false;
  std::string_view value;  // trimmed, quotes kept
};

/// Returns the line of the first header named |section|, searching from
/// '[' to '[' rather than line by line: headers are rare in a long file.
bool FindHeader(std::string_view text, size_t start, std::string_view section, Line* header) {
  for (size_t bracket = text.find('[', start); bracket != std::string_view::npos;
       bracket = text.find('[', bracket + 1)) {
    size_t begin = bracket;
    while (begin > start && IsProfileBlank(text[begin - 1])) --begin;
    if (begin > start && !IsLineEnd(text[begin - 1])) continue;  // '[' inside a line
    // Most headers name another section: tell from the first character.
    size_t first = bracket + 1;
    while (first < text.size() && IsProfileBlank(text[first])) ++first;
    if (!section.empty() && first < text.size() &&
        AsciiToLower(text[first]) != AsciiToLower(section.front())) {
      continue;
    }
    LineReader reader(text, begin);
    reader.Next(header);
    std::string_view name;
    if (IsHeader(reader.Content(*header), &name) && AsciiCaseEqual(name, section)) return true;
  }
  return false;
}

Lookup Find(const FileText& file, std::string_view section, std::string_view key) {
  Lookup found;
  found.section_found = FindHeader(file.chars, file.body, section, &found.header);
  if (!found.section_found) return found;
  LineReader reader(file.chars, found.header.end);
  Line line;
  while (reader.Next(&line)) {
    const Classified c = Classify(reader.Content(line));
    if (c.kind == LineKind::kHeader) break;  // the first matching section ends here
    if (c.kind != LineKind::kKey) continue;
    found.any_key_line = true;
    found.last_key_line = line;
    if (!found.key_found && AsciiCaseEqual(c.name, key)) {
      found.key_found = true;
      found.key_line = line;
      found.key_name = c.name;
      found.has_value = c.has_value;
      found.value = c.value;
    }
  }
  return found;
}

/// The line end the engine gives the lines it adds: that of the text's first
/// line, or CR LF when the text has no line end yet.
std::string_view LineEndOf(const FileText& file) {
  LineReader reader(file.chars, file.body);
  Line first;
  if (!reader.Next(&first) || !first.HasLineEnd()) return "\r\n";
  return file.chars.substr(first.content_end, first.end - first.content_end);
}

std::string KeyLine(std::string_view key, std::string_view value) {
  std::string line;
  line.reserve(key.size() + 1 + value.size());
  line.append(key).append("=").append(value);
  return line;
}

PlanResult Refuse(ProfileEdit* edit, const char* reason) {
  edit->reason = reason;
  return PlanResult::kRefused;
}

/// Returns nullptr when |section| and |key| may be looked up to change
/// |file|, else why not.
const char* CheckNames(const FileText& file, std::string_view section, std::string_view key) {
  if (!IsWritableSection(section)) return kBadSection;
  if (!IsWritableKey(key)) return kBadKey;
  if (file.refusal) return file.refusal;
  if (const char* why = file.CheckText(section, true)) return why;
  return file.CheckText(key, true);
}

}  // namespace

bool IsWritableSection(std::string_view section) {
  return !section.empty() && !HasLineBreakOrNul(section) &&
         section.find(']') == std::string_view::npos && !HasOuterBlank(section);
}

bool IsWritableKey(std::string_view key) {
  return !key.empty() && !HasLineBreakOrNul(key) && key.find('=') == std::string_view::npos &&
         key.front() != '[' && key.front() != ';' && !HasOuterBlank(key);
}

bool IsWritableValue(std::string_view value) { return !HasLineBreakOrNul(value); }

const char* ProfileTextRefusal(std::string_view text) { return FileText(text).refusal; }

void ListSectionEntries(std::string_view text, std::string_view section, std::string* entries) {
  const FileText file(text);
  if (file.refusal) return;
  Line header;
  if (!FindHeader(file.chars, file.body, section, &header)) return;
  LineReader reader(file.chars, header.end);
  Line line;
  const auto append_raw = [&](std::string_view part) {
    const size_t begin = static_cast<size_t>(part.data() - file.chars.data());
    for (char c : file.Decode(begin, begin + part.size())) entries->push_back(c ? c : '\x7f');
  };
  while (reader.Next(&line)) {
    const Classified c = Classify(reader.Content(line));
    if (c.kind == LineKind::kHeader) break;
    if (c.kind != LineKind::kKey) continue;
    // Names and values as the line spells them, trimmed but not ended at a
    // NUL: a NUL is listed as DEL, so that an entry whose read would be cut
    // there never looks whole. A key line without '=' is its bare name.
    const std::string_view s = TrimProfileBlanks(reader.Content(line));
    const size_t eq = s.find('=');
    append_raw(TrimProfileBlanks(s.substr(0, eq)));
    if (eq != std::string_view::npos) {
      entries->push_back('=');
      append_raw(TrimProfileBlanks(s.substr(eq + 1)));
    }
    entries->push_back('\0');
  }
}

bool ReadProfileValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string* value) {
  // The platform's reader trims the names it is asked for, and reads an
  // empty section name as the lines before the first header: such names
  // find nothing here rather than something else.
  if (section.empty() || key.empty() || HasOuterBlank(section) || HasOuterBlank(key)) return false;
  const FileText file(text);
  if (file.refusal) return false;
  const Lookup found = Find(file, section, key);
  if (!found.key_found || !found.has_value) return false;
  std::string_view v = found.value;
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  const size_t begin = static_cast<size_t>(v.data() - file.chars.data());
  *value = file.Decode(begin, begin + v.size());
  return true;
}

namespace {

// The plans of one edit, over |file| (a whole text, or one section of it
// with the whole text's line end |eol|).

PlanResult WriteIn(const FileText& file, std::string_view eol, std::string_view section,
                   std::string_view key, std::string_view value, ProfileEdit* edit) {
  const std::string_view text = file.bytes();
  if (const char* why = CheckNames(file, section, key)) return Refuse(edit, why);
  if (!IsWritableValue(value)) return Refuse(edit, kBadValue);
  if (const char* why = file.CheckText(value, false)) return Refuse(edit, why);
  const Lookup found = Find(file, section, key);

  if (found.key_found) {
    const Line& old = found.key_line;
    std::string line = file.Encode(KeyLine(found.key_name, value));
    const size_t begin = file.Offset(old.begin), end = file.Offset(old.content_end);
    if (text.substr(begin, end - begin) == line) return PlanResult::kNoChange;
    *edit = ProfileEdit{begin, end, std::move(line)};
    return PlanResult::kChange;
  }

  if (found.section_found) {
    const Line& anchor = found.any_key_line ? found.last_key_line : found.header;
    std::string added;
    if (!anchor.HasLineEnd()) added.append(eol);
    added.append(KeyLine(key, value)).append(eol);
    const size_t at = file.Offset(anchor.end);
    *edit = ProfileEdit{at, at, file.Encode(added)};
    return PlanResult::kChange;
  }

  std::string added;
  const std::string_view chars = file.chars;
  if (chars.size() > file.body && !IsLineEnd(chars.back())) added.append(eol);
  added.append("[").append(section).append("]").append(eol);
  added.append(KeyLine(key, value)).append(eol);
  *edit = ProfileEdit{text.size(), text.size(), file.Encode(added)};
  return PlanResult::kChange;
}

PlanResult DeleteIn(const FileText& file, std::string_view section, std::string_view key,
                    ProfileEdit* edit) {
  if (const char* why = CheckNames(file, section, key)) return Refuse(edit, why);
  const Lookup found = Find(file, section, key);
  if (!found.key_found) return PlanResult::kNoChange;
  *edit = ProfileEdit{file.Offset(found.key_line.begin), file.Offset(found.key_line.end),
                      std::string()};
  return PlanResult::kChange;
}

PlanResult DeleteSectionIn(const FileText& file, std::string_view section, ProfileEdit* edit) {
  const std::string_view text = file.bytes();
  if (!IsWritableSection(section)) return Refuse(edit, kBadSection);
  if (file.refusal) return Refuse(edit, file.refusal);
  if (const char* why = file.CheckText(section, true)) return Refuse(edit, why);
  bool found = false;
  size_t first = 0, last = 0;  // characters [first, last) go, but for |kept|
  std::string kept;            // what lies between the sections that go
  Line header;
  for (size_t from = file.body; FindHeader(file.chars, from, section, &header);) {
    // The section runs up to the next header line, whatever its name.
    size_t section_end = file.chars.size();
    LineReader reader(file.chars, header.end);
    Line line;
    while (reader.Next(&line)) {
      if (Classify(reader.Content(line)).kind == LineKind::kHeader) {
        section_end = line.begin;
        break;
      }
    }
    if (!found) {
      first = header.begin;
      found = true;
    } else {
      kept.append(text.substr(file.Offset(last), file.Offset(header.begin) - file.Offset(last)));
    }
    last = section_end;
    from = section_end;
  }
  if (!found) return PlanResult::kNoChange;
  *edit = ProfileEdit{file.Offset(first), file.Offset(last), std::move(kept)};
  return PlanResult::kChange;
}

PlanResult DeleteEveryKeyIn(const FileText& file, std::string_view section, std::string_view key,
                            ProfileEdit* edit) {
  const std::string_view text = file.bytes();
  if (const char* why = CheckNames(file, section, key)) return Refuse(edit, why);
  bool found = false;
  size_t first = 0, last = 0;  // characters [first, last) go, but for |kept|
  std::string kept;            // what lies between the lines that go
  Line header;
  for (size_t from = file.body; FindHeader(file.chars, from, section, &header);) {
    LineReader reader(file.chars, header.end);
    Line line;
    from = file.chars.size();
    while (reader.Next(&line)) {
      const Classified c = Classify(reader.Content(line));
      if (c.kind == LineKind::kHeader) {
        from = line.begin;  // the next section of the name may start here
        break;
      }
      if (c.kind != LineKind::kKey || !AsciiCaseEqual(c.name, key)) continue;
      if (!found) {
        first = line.begin;
        found = true;
      } else {
        kept.append(text.substr(file.Offset(last), file.Offset(line.begin) - file.Offset(last)));
      }
      last = line.end;
    }
  }
  if (!found) return PlanResult::kNoChange;
  *edit = ProfileEdit{file.Offset(first), file.Offset(last), std::move(kept)};
  return PlanResult::kChange;
}

}  // namespace

PlanResult PlanWrite(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value, ProfileEdit* edit) {
  const FileText file(text);
  return WriteIn(file, LineEndOf(file), section, key, value, edit);
}

PlanResult PlanDelete(std::string_view text, std::string_view section, std::string_view key,
                      ProfileEdit* edit) {
  return DeleteIn(FileText(text), section, key, edit);
}

PlanResult PlanDeleteSection(std::string_view text, std::string_view section, ProfileEdit* edit) {
  return DeleteSectionIn(FileText(text), section, edit);
}

PlanResult PlanDeleteEveryKey(std::string_view text, std::string_view section, std::string_view key,
                              ProfileEdit* edit) {
  return DeleteEveryKeyIn(FileText(text), section, key, edit);
}

PlanResult PlanHoldOut(std::string_view text, std::string_view section, std::string_view key,
                       HeldLine* held, ProfileEdit* edit) {
  const FileText file(text);
  if (const char* why = CheckNames(file, section, key)) return Refuse(edit, why);
  const Lookup found = Find(file, section, key);
  if (!found.key_found) return PlanResult::kNoChange;
  const Line& line = found.key_line;
  *held = HeldLine();
  held->at = file.Offset(line.begin);
  held->content = std::string(file.Bytes(line.begin, line.content_end));
  held->line_end = std::string(file.Bytes(line.content_end, line.end));
  // The lines of the section, header first, up to the next header.
  std::vector<Line> lines{found.header};
  LineReader reader(file.chars, found.header.end);
  for (Line l; reader.Next(&l) && Classify(reader.Content(l)).kind != LineKind::kHeader;) {
    lines.push_back(l);
  }
  const auto bytes_of = [&](const Line& l) { return file.Bytes(l.begin, l.content_end); };
  size_t at = 1;
  while (lines[at].begin != line.begin) ++at;
  // Which of the lines spelled alike the neighbour at |i| is.
  const auto rank = [&](size_t i) {
    size_t alike = 0;
    for (size_t j = 0; j < i; ++j) alike += bytes_of(lines[j]) == bytes_of(lines[i]);
    return alike;
  };
  held->previous = std::string(bytes_of(lines[at - 1]));
  held->previous_rank = rank(at - 1);
  if (at + 1 < lines.size()) {
    held->has_next = true;
    held->next = std::string(bytes_of(lines[at + 1]));
    held->next_rank = rank(at + 1) - (bytes_of(lines[at]) == bytes_of(lines[at + 1]) ? 1 : 0);
  }
  *edit = ProfileEdit{held->at, file.Offset(line.end), std::string()};
  return PlanResult::kChange;
}

PlanResult PlanPutBack(std::string_view text, std::string_view section, std::string_view key,
                       const HeldLine& held, ProfileEdit* edit) {
  const FileText file(text);
  if (const char* why = CheckNames(file, section, key)) return Refuse(edit, why);
  const Lookup found = Find(file, section, key);
  const std::string eol = file.Encode(LineEndOf(file));
  const std::string& own_end = held.line_end.empty() ? eol : held.line_end;
  if (found.key_found) {  // written again meanwhile: its line takes our bytes
    const Line& l = found.key_line;
    // Already our own bytes (put back by another of the run's processes):
    // the file is not written at all.
    if (file.Bytes(l.begin, l.content_end) == held.content) return PlanResult::kNoChange;
    *edit = ProfileEdit{file.Offset(l.begin), file.Offset(l.content_end), held.content};
    return PlanResult::kChange;
  }
  if (!found.section_found) {
    std::string added;
    if (file.chars.size() > file.body && !IsLineEnd(file.chars.back())) added.append(eol);
    added.append(file.Encode("[" + std::string(section) + "]")).append(eol);
    added.append(held.content).append(held.line_end);
    *edit = ProfileEdit{text.size(), text.size(), std::move(added)};
    return PlanResult::kChange;
  }
  // The lines of the section, header first, up to the next header.
  std::vector<Line> lines{found.header};
  LineReader reader(file.chars, found.header.end);
  for (Line l; reader.Next(&l) && Classify(reader.Content(l)).kind != LineKind::kHeader;) {
    lines.push_back(l);
  }
  const auto bytes_of = [&](const Line& l) { return file.Bytes(l.begin, l.content_end); };
  const auto after = [&](const Line& l) {
    std::string added = l.HasLineEnd() ? "" : eol;
    // Where more follows, the line needs a line end even if it had none.
    const bool more = file.Offset(l.end) < text.size();
    added.append(held.content).append(more ? own_end : held.line_end);
    *edit = ProfileEdit{file.Offset(l.end), file.Offset(l.end), std::move(added)};
    return PlanResult::kChange;
  };
  // Of the lines spelled as |spelled| (from |first| on), the one of |rank|,
  // else the last; of those that also |fit|, the one nearest |rank|.
  const auto pick = [&](const std::string& spelled, size_t first, size_t rank,
                        auto fit) -> const Line* {
    std::vector<size_t> alike, fitting;
    for (size_t i = first; i < lines.size(); ++i) {
      if (bytes_of(lines[i]) != spelled) continue;
      if (fit(i)) fitting.push_back(alike.size());
      alike.push_back(i);
    }
    if (alike.empty()) return nullptr;
    if (!fitting.empty()) {
      size_t best = fitting.front();
      for (const size_t f : fitting) {
        const auto distance = [rank](size_t r) { return r > rank ? r - rank : rank - r; };
        if (distance(f) < distance(best)) best = f;
      }
      return &lines[alike[best]];
    }
    return &lines[alike[std::min(rank, alike.size() - 1)]];
  };
  // Between its two neighbours, where they still stand together.
  const auto between = [&](size_t i) {
    if (!held.has_next) return i + 1 == lines.size();
    return i + 1 < lines.size() && bytes_of(lines[i + 1]) == held.next;
  };
  if (const Line* l = pick(held.previous, 0, held.previous_rank, between)) return after(*l);
  if (held.has_next) {
    const auto any = [](size_t) { return false; };
    if (const Line* l = pick(held.next, 1, held.next_rank, any)) {
      *edit = ProfileEdit{file.Offset(l->begin), file.Offset(l->begin), held.content + own_end};
      return PlanResult::kChange;
    }
  }
  return after(found.any_key_line ? found.last_key_line : found.header);
}

bool SameProfileEncoding(std::string_view a, std::string_view b) {
  return FileText(a).encoding() == FileText(b).encoding();
}

std::string ApplyEdit(std::string_view text, const ProfileEdit& edit) {
  std::string out;
  out.reserve(text.size() - (edit.end - edit.begin) + edit.text.size());
  out.append(text.substr(0, edit.begin)).append(edit.text).append(text.substr(edit.end));
  return out;
}

PlanResult PlanStep(std::string_view text, const ProfileStep& step, ProfileEdit* edit) {
  switch (step.kind) {
    case ProfileStep::kWrite:
      return PlanWrite(text, step.section, step.key, step.value, edit);
    case ProfileStep::kDelete:
      return PlanDelete(text, step.section, step.key, edit);
    case ProfileStep::kDeleteEveryKey:
      return PlanDeleteEveryKey(text, step.section, step.key, edit);
    case ProfileStep::kDeleteSection:
      return PlanDeleteSection(text, step.section, edit);
  }
  return PlanResult::kNoChange;
}

namespace {

/// One stretch of the text while a change is planned: a section that a
/// step names, from its header line up to the next header line, or the
/// text between such sections. Every stretch starts at a line, and all but
/// the last end with a line end, so that a step planned over its section
/// alone plans what it would over the whole text.
struct Stretch {
  size_t begin = 0, end = 0;  // the characters of the text it stands for
  bool named = false;         // a section (|name|), not the text between
  std::string_view name;
  bool added = false;    // a section the change appends: no characters of the text
  bool changed = false;  // |bytes| hold it now
  bool removed = false;
  std::string bytes;
};

/// Plans the steps of a change over the stretches of the text: one pass
/// finds the sections the steps name, and each step is planned over those
/// alone, with the whole text's line end.
class ChangePlanner {
 public:
  ChangePlanner(const FileText& file, const std::vector<ProfileStep>& steps)
      : file_(file), steps_(steps), eol_(LineEndOf(file)) {
    // Headers are many and the steps' sections few: each header is matched
    // against the distinct names alone, most by their first characters.
    for (const ProfileStep& step : steps) {
      if (!step.section.empty() && !NamedByAStep(step.section)) sections_.push_back(step.section);
    }
  }

  PlanResult Plan(ProfileChange* change) {
    Index();
    for (const ProfileStep& step : steps_) {
      const PlanResult planned = PlanOne(step);
      if (planned == PlanResult::kRefused) {
        change->reason = reason_;
        return planned;
      }
      if (planned == PlanResult::kChange) FindLineEnd();
    }
    return Collect(change);
  }

 private:
  bool NamedByAStep(std::string_view name) const {
    for (const std::string_view section : sections_) {
      if (name.size() == section.size() && AsciiCaseEqual(name, section)) return true;
    }
    return false;
  }

  /// Returns true when the characters at |at| of |chars| may begin a
  /// header name of one of the steps' sections: one of them is spelled
  /// there, A to Z case ignored.
  bool MayNameASection(std::string_view chars, size_t at) const {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (const std::string_view section : sections_) {
      if (chars.size() - at < section.size()) continue;
      size_t i = 0;
      while (i < section.size() && lower(chars[at + i]) == lower(section[i])) ++i;
      if (i == section.size()) return true;
    }
    return false;
  }

  /// Splits the text into stretches, jumping from '[' to '[' as FindHeader
  /// does.
  void Index() {
    const std::string_view chars = file_.chars;
    size_t between = file_.body;  // where the text since the last section begins
    for (size_t bracket = chars.find('[', between); bracket != std::string_view::npos;
         bracket = chars.find('[', bracket + 1)) {
      size_t begin = bracket;
      while (begin > file_.body && IsProfileBlank(chars[begin - 1])) --begin;
      if (begin > file_.body && !IsLineEnd(chars[begin - 1])) continue;  // '[' inside a line
      size_t first = bracket + 1;
      while (first < chars.size() && IsProfileBlank(chars[first])) ++first;
      if (!MayNameASection(chars, first)) continue;
      LineReader reader(chars, begin);
      Line header{};
      reader.Next(&header);
      std::string_view name;
      if (!IsHeader(reader.Content(header), &name) || !NamedByAStep(name)) continue;
      size_t end = chars.size();
      for (Line line; reader.Next(&line);) {
        if (Classify(reader.Content(line)).kind == LineKind::kHeader) {
          end = line.begin;
          break;
        }
      }
      if (begin > between) Add(between, begin, false, {});
      Add(begin, end, true, name);
      between = end;
      bracket = end - 1;  // the next search starts at the next header
    }
    if (chars.size() > between) Add(between, chars.size(), false, {});
  }

  void Add(size_t begin, size_t end, bool named, std::string_view name) {
    Stretch stretch;
    stretch.begin = begin;
    stretch.end = end;
    stretch.named = named;
    stretch.name = name;
    stretches_.push_back(std::move(stretch));
  }

  std::string_view Bytes(const Stretch& s) const {
    if (s.changed) return s.bytes;
    const size_t begin = file_.Offset(s.begin);
    return file_.bytes().substr(begin, file_.Offset(s.end) - begin);
  }

  std::vector<Stretch*> Sections(std::string_view name) {
    std::vector<Stretch*> found;
    for (Stretch& s : stretches_) {
      if (s.named && !s.removed && AsciiCaseEqual(s.name, name)) found.push_back(&s);
    }
    return found;
  }

  /// Plans |plan| over |s| alone and makes it there.
  template <typename Plan>
  PlanResult PlanIn(Stretch* s, Plan plan) {
    const std::string_view bytes = Bytes(*s);
    const FileText part(bytes, file_.encoding());
    ProfileEdit edit;
    const PlanResult planned = plan(part, &edit);
    if (planned == PlanResult::kRefused) reason_ = edit.reason;
    if (planned != PlanResult::kChange) return planned;
    s->bytes = ApplyEdit(bytes, edit);
    s->changed = true;
    return planned;
  }

  /// Plans |plan| over every section |name|, or, where there is none, over
  /// no text at all (which can only refuse it or find nothing to do).
  template <typename Plan>
  PlanResult PlanInEach(std::string_view name, bool first_only, Plan plan) {
    const std::vector<Stretch*> sections = Sections(name);
    if (sections.empty()) {
      Stretch none;
      none.changed = true;
      return PlanIn(&none, plan);
    }
    PlanResult result = PlanResult::kNoChange;
    for (Stretch* s : sections) {
      const PlanResult planned = PlanIn(s, plan);
      if (planned == PlanResult::kRefused) return planned;
      if (planned == PlanResult::kChange) result = planned;
      if (first_only) break;
    }
    return result;
  }

  PlanResult PlanOne(const ProfileStep& step) {
    const std::string_view section = step.section, key = step.key, value = step.value;
    switch (step.kind) {
      case ProfileStep::kWrite: {
        if (!Sections(section).empty()) {
          return PlanInEach(section, true, [&](const FileText& part, ProfileEdit* edit) {
            return WriteIn(part, eol_, section, key, value, edit);
          });
        }
        // A new section at the end, after a line end for the last line.
        ProfileEdit added;
        const PlanResult planned =
            WriteIn(FileText("", file_.encoding()), eol_, section, key, value, &added);
        if (planned == PlanResult::kRefused) {
          reason_ = added.reason;
          return planned;
        }
        EndLastLine();
        Add(file_.chars.size(), file_.chars.size(), true, section);
        stretches_.back().added = stretches_.back().changed = true;
        stretches_.back().bytes = std::move(added.text);
        return planned;
      }
      case ProfileStep::kDelete:
        return PlanInEach(section, true, [&](const FileText& part, ProfileEdit* edit) {
          return DeleteIn(part, section, key, edit);
        });
      case ProfileStep::kDeleteEveryKey:
        return PlanInEach(section, false, [&](const FileText& part, ProfileEdit* edit) {
          return DeleteEveryKeyIn(part, section, key, edit);
        });
      case ProfileStep::kDeleteSection: {
        ProfileEdit none;
        if (DeleteSectionIn(FileText("", file_.encoding()), section, &none) ==
            PlanResult::kRefused) {
          reason_ = none.reason;
          return PlanResult::kRefused;
        }
        const std::vector<Stretch*> sections = Sections(section);
        for (Stretch* s : sections) s->removed = true;
        return sections.empty() ? PlanResult::kNoChange : PlanResult::kChange;
      }
    }
    return PlanResult::kNoChange;
  }

  /// Gives the text's last line a line end, if it has none.
  void EndLastLine() {
    for (auto s = stretches_.rbegin(); s != stretches_.rend(); ++s) {
      if (s->removed || Bytes(*s).empty()) continue;
      const char last =
          s->changed ? FileText(s->bytes, file_.encoding()).chars.back() : file_.chars[s->end - 1];
      if (IsLineEnd(last)) return;
      const std::string eol = FileText("", file_.encoding()).Encode(eol_);
      if (s->named) {
        s->bytes = std::string(Bytes(*s)) + eol;
        s->changed = true;
      } else {
        Add(file_.chars.size(), file_.chars.size(), false, {});
        stretches_.back().added = stretches_.back().changed = true;
        stretches_.back().bytes = eol;
      }
      return;
    }
  }

  /// The line end of the text's first line, as LineEndOf gives it. A line
  /// spans two stretches only where EndLastLine gave it its line end.
  void FindLineEnd() {
    bool in_first_line = false;  // its content seen, its line end not yet
    for (const Stretch& s : stretches_) {
      if (s.removed || Bytes(s).empty()) continue;
      const FileText changed(s.changed ? std::string_view(s.bytes) : std::string_view(),
                             file_.encoding());
      const std::string_view chars = s.changed ? changed.chars : file_.chars;
      LineReader reader(chars, s.changed ? 0 : s.begin);
      Line first{};
      reader.Next(&first);
      if (in_first_line && first.content_end != first.begin) break;
      if (first.HasLineEnd()) {
        eol_ = chars.substr(first.content_end, first.end - first.content_end);
        return;
      }
      in_first_line = true;
    }
    eol_ = "\r\n";
  }

  /// Gives the stretches that changed as edits of the text.
  PlanResult Collect(ProfileChange* change) {
    const std::string_view text = file_.bytes();
    for (const Stretch& s : stretches_) {
      const size_t begin = s.added ? text.size() : file_.Offset(s.begin);
      const size_t end = s.added ? text.size() : file_.Offset(s.end);
      if (s.removed && !s.added) {
        change->edits.push_back(ProfileEdit{begin, end, std::string()});
      } else if (!s.removed && s.changed && s.bytes != text.substr(begin, end - begin)) {
        change->edits.push_back(ProfileEdit{begin, end, s.bytes});
      }
    }
    if (change->edits.empty() || Unchanged(*change)) {
      change->edits.clear();
      return PlanResult::kNoChange;
    }
    return PlanResult::kChange;
  }

  /// Returns true when |change| leaves the text as it is: every byte of the
  /// result, the text's own between the edits included, is the text's.
  bool Unchanged(const ProfileChange& change) const {
    const std::string_view text = file_.bytes();
    size_t size = text.size();
    for (const ProfileEdit& e : change.edits) size = size - (e.end - e.begin) + e.text.size();
    if (size != text.size()) return false;
    size_t at = 0, from = 0;  // where the result, and the text it copies, are
    const auto same = [&](std::string_view part) {
      const bool equal = text.substr(at, part.size()) == part;
      at += part.size();
      return equal;
    };
    for (const ProfileEdit& e : change.edits) {
      if (!same(text.substr(from, e.begin - from)) || !same(e.text)) return false;
      from = e.end;
    }
    return same(text.substr(from));
  }

  const FileText& file_;
  const std::vector<ProfileStep>& steps_;
  std::vector<std::string_view> sections_;  // the distinct names of the steps' sections
  std::string eol_;                         // of the text's first line, in characters
  std::vector<Stretch> stretches_;
  const char* reason_ = nullptr;
};

}  // namespace

PlanResult PlanChange(std::string_view text, const std::vector<ProfileStep>& steps,
                      ProfileChange* change) {
  *change = ProfileChange();
  const FileText file(text);
  // A file refused as a whole refuses the first step, whatever it is.
  if (file.refusal != nullptr && !steps.empty()) {
    ProfileEdit edit;
    PlanStep(text, steps.front(), &edit);
    change->reason = edit.reason;
    return PlanResult::kRefused;
  }
  return ChangePlanner(file, steps).Plan(change);
}

std::string ApplyChange(std::string_view text, const ProfileChange& change) {
  std::string out;
  size_t from = 0;
  for (const ProfileEdit& e : change.edits) {
    out.append(text.substr(from, e.begin - from)).append(e.text);
    from = e.end;
  }
  out.append(text.substr(from));
  return out;
}

}  // namespace quillpost
