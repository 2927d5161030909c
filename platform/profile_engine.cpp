#include "platform/profile_engine.h"

#include "platform/ascii_case.h"

namespace quillpost {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool HasOuterBlank(std::string_view s) {
  return !s.empty() && (IsBlank(s.front()) || IsBlank(s.back()));
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
  while (i < content.size() && IsBlank(content[i])) ++i;
  if (i == content.size() || content[i] != '[') return false;
  const size_t close = content.find(']', i + 1);
  if (close == std::string_view::npos) return false;
  *name = TrimBlanks(content.substr(i + 1, close - i - 1));
  return true;
}

/// Classifies |content|; sets |*name| to the header's or key's name.
LineKind Classify(std::string_view content, std::string_view* name,
                  std::string_view* value = nullptr) {
  if (IsHeader(content, name)) return LineKind::kHeader;
  const std::string_view s = TrimBlanks(content);
  if (s.empty() || s.front() == ';') return LineKind::kOther;
  const size_t eq = s.find('=');
  if (eq == std::string_view::npos) return LineKind::kOther;
  *name = TrimBlanks(s.substr(0, eq));
  if (value) *value = TrimBlanks(s.substr(eq + 1));
  return LineKind::kKey;
}

/// Walks the lines of a profile text from |pos|, the start of a line.
class LineReader {
 public:
  LineReader(std::string_view text, size_t pos) : text_(text), pos_(pos) {}

  /// Returns false at the end of the text.
  bool Next(Line* line) {
    if (pos_ >= text_.size()) return false;
    line->begin = pos_;
    const size_t lf = text_.find('\n', pos_);
    if (lf == std::string_view::npos) {
      line->content_end = line->end = text_.size();
    } else {
      line->end = lf + 1;
      line->content_end = (lf > pos_ && text_[lf - 1] == '\r') ? lf - 1 : lf;
    }
    pos_ = line->end;
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
  std::string_view key_name;  // as spelled in the file
  std::string_view value;     // trimmed, quotes kept
};

/// Returns the line of the first header named |section|, searching from
/// '[' to '[' rather than line by line: headers are rare in a long file.
bool FindHeader(std::string_view text, size_t start, std::string_view section, Line* header) {
  for (size_t bracket = text.find('[', start); bracket != std::string_view::npos;
       bracket = text.find('[', bracket + 1)) {
    size_t begin = bracket;
    while (begin > start && IsBlank(text[begin - 1])) --begin;
    if (begin > start && text[begin - 1] != '\n') continue;  // '[' inside a line
    // Most headers name another section: tell from the first character.
    size_t first = bracket + 1;
    while (first < text.size() && IsBlank(text[first])) ++first;
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

Lookup Find(std::string_view text, std::string_view section, std::string_view key) {
  Lookup found;
  const size_t start =
      text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
  found.section_found = FindHeader(text, start, section, &found.header);
  if (!found.section_found) return found;
  LineReader reader(text, found.header.end);
  Line line;
  while (reader.Next(&line)) {
    std::string_view name, value;
    const LineKind kind = Classify(reader.Content(line), &name, &value);
    if (kind == LineKind::kHeader) break;  // the first matching section ends here
    if (kind != LineKind::kKey) continue;
    found.any_key_line = true;
    found.last_key_line = line;
    if (!found.key_found && AsciiCaseEqual(name, key)) {
      found.key_found = true;
      found.key_line = line;
      found.key_name = name;
      found.value = value;
    }
  }
  return found;
}

/// The line end the engine gives the lines it adds: that of the text's first
/// line, or CRLF when the text has no line end yet.
std::string_view LineEndOf(std::string_view text) {
  const size_t lf = text.find('\n');
  if (lf == std::string_view::npos) return "\r\n";
  return (lf > 0 && text[lf - 1] == '\r') ? "\r\n" : "\n";
}

std::string KeyLine(std::string_view key, std::string_view value) {
  std::string line;
  line.reserve(key.size() + 1 + value.size());
  line.append(key).append("=").append(value);
  return line;
}

}  // namespace

bool IsWritableSection(std::string_view section) {
  return !HasLineBreakOrNul(section) && section.find(']') == std::string_view::npos &&
         !HasOuterBlank(section);
}

bool IsWritableKey(std::string_view key) {
  return !key.empty() && !HasLineBreakOrNul(key) && key.find('=') == std::string_view::npos &&
         key.front() != '[' && key.front() != ';' && !HasOuterBlank(key);
}

bool IsWritableValue(std::string_view value) { return !HasLineBreakOrNul(value); }

bool FindProfileValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view* value) {
  const Lookup found = Find(text, section, key);
  if (!found.key_found) return false;
  *value = found.value;
  return true;
}

void ListSectionEntries(std::string_view text, std::string_view section, std::string* entries) {
  const size_t start =
      text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
  Line header;
  if (!FindHeader(text, start, section, &header)) return;
  LineReader reader(text, header.end);
  Line line;
  while (reader.Next(&line)) {
    std::string_view name, value;
    const LineKind kind = Classify(reader.Content(line), &name, &value);
    if (kind == LineKind::kHeader) break;
    if (kind != LineKind::kKey) continue;
    entries->append(name).append("=").append(value).push_back('\0');
  }
}

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

PlanResult PlanWrite(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value, ProfileEdit* edit) {
  if (!IsWritableSection(section) || !IsWritableKey(key) || !IsWritableValue(value)) {
    return PlanResult::kRefused;
  }
  const Lookup found = Find(text, section, key);
  const std::string_view eol = LineEndOf(text);

  if (found.key_found) {
    std::string line = KeyLine(found.key_name, value);
    const Line& old = found.key_line;
    if (text.substr(old.begin, old.content_end - old.begin) == line) return PlanResult::kNoChange;
    *edit = ProfileEdit{old.begin, old.content_end, std::move(line)};
    return PlanResult::kChange;
  }

  if (found.section_found) {
    const Line& anchor = found.any_key_line ? found.last_key_line : found.header;
    std::string added;
    if (!anchor.HasLineEnd()) added.append(eol);
    added.append(KeyLine(key, value)).append(eol);
    *edit = ProfileEdit{anchor.end, anchor.end, std::move(added)};
    return PlanResult::kChange;
  }

  std::string added;
  const bool only_mark = text == kByteOrderMark;
  if (!text.empty() && text.back() != '\n' && !only_mark) added.append(eol);
  added.append("[").append(section).append("]").append(eol);
  added.append(KeyLine(key, value)).append(eol);
  *edit = ProfileEdit{text.size(), text.size(), std::move(added)};
  return PlanResult::kChange;
}

PlanResult PlanDelete(std::string_view text, std::string_view section, std::string_view key,
                      ProfileEdit* edit) {
  if (!IsWritableSection(section) || !IsWritableKey(key)) return PlanResult::kRefused;
  const Lookup found = Find(text, section, key);
  if (!found.key_found) return PlanResult::kNoChange;
  *edit = ProfileEdit{found.key_line.begin, found.key_line.end, std::string()};
  return PlanResult::kChange;
}

PlanResult PlanDeleteSection(std::string_view text, std::string_view section, ProfileEdit* edit) {
  if (!IsWritableSection(section)) return PlanResult::kRefused;
  const size_t start =
      text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
  bool found = false;
  std::string kept;  // what lies between the sections that go
  Line header;
  for (size_t from = start; FindHeader(text, from, section, &header);) {
    // The section runs up to the next header line, whatever its name.
    size_t section_end = text.size();
    LineReader reader(text, header.end);
    Line line;
    while (reader.Next(&line)) {
      std::string_view name;
      if (IsHeader(reader.Content(line), &name)) {
        section_end = line.begin;
        break;
      }
    }
    if (!found) {
      edit->begin = header.begin;
      found = true;
    } else {
      kept.append(text.substr(edit->end, header.begin - edit->end));
    }
    edit->end = section_end;
    from = section_end;
  }
  if (!found) return PlanResult::kNoChange;
  edit->text = std::move(kept);
  return PlanResult::kChange;
}

std::string ApplyEdit(std::string_view text, const ProfileEdit& edit) {
  std::string out;
  out.reserve(text.size() - (edit.end - edit.begin) + edit.text.size());
  out.append(text.substr(0, edit.begin)).append(edit.text).append(text.substr(edit.end));
  return out;
}

}  // namespace quillpost
