// libFuzzer target for the profile-file engine: arbitrary file bytes and a
// sequence of writes, deletes and reads. Besides crashes and undefined
// behaviour it checks the engine's promises:
// - invalid input is refused, and a refusal always says why; valid ASCII
//   input is refused only for a file the engine refuses as a whole;
// - an edit covers whole lines (line ends: CR LF, LF, lone CR, CR CR LF), so
//   every line it does not touch stays byte-identical; in a UTF-16 file it
//   falls on whole code units;
// - after a write, a read returns the value written (trimmed, one pair of
//   quotes removed);
// - a delete removes exactly one line;
// - a write or delete changes what no other key of the file reads.
// - a section delete leaves no section of the name and covers whole lines;
// - the steps planned as one change (PlanChange) give the text that
//   planning and applying them one by one gave, or refuse as that did.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/ascii_case.h"
#include "platform/profile/profile_engine.h"

namespace {

using quillpost::PlanResult;
using quillpost::ProfileEdit;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view StripQuotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

bool IsUtf16(std::string_view text) {
  return text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF";
}

bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

/// The lines of an 8-bit or UTF-8 text, split independently of the engine:
/// where each line starts, and where its content ends.
struct Lines {
  std::set<size_t> starts, content_ends;
  explicit Lines(std::string_view text) {
    size_t i = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    while (i < text.size()) {
      starts.insert(i);
      while (i < text.size() && text[i] != '\r' && text[i] != '\n') ++i;
      content_ends.insert(i);
      if (text.substr(i, 3) == "\r\r\n") {
        i += 3;
      } else if (text.substr(i, 2) == "\r\n") {
        i += 2;
      } else if (i < text.size()) {
        ++i;
      }
    }
    starts.insert(text.size());
    content_ends.insert(text.size());
  }
  /// The start of the line after the one that starts at |start|.
  size_t Next(size_t start) const { return *starts.upper_bound(start); }
};

std::string Read(std::string_view text, std::string_view section, std::string_view key) {
  std::string value;
  if (!quillpost::ReadProfileValue(text, section, key, &value)) return "<none>";
  return value;
}

/// The steps since the start text, as one change, until one is refused.
struct OneChange {
  std::string start;
  std::vector<quillpost::ProfileStep> steps;
  bool open = true;

  /// Adds |step|, which planned alone gave |result| (and |edit|).
  void Add(quillpost::ProfileStep step, PlanResult result, const ProfileEdit& edit) {
    if (!open) return;
    steps.push_back(std::move(step));
    if (result != PlanResult::kRefused) return;
    quillpost::ProfileChange change;
    Check(quillpost::PlanChange(start, steps, &change) == PlanResult::kRefused);
    Check(change.reason == edit.reason);
    open = false;
  }

  void Finish(const std::string& text) const {
    if (!open) return;
    quillpost::ProfileChange change;
    const PlanResult r = quillpost::PlanChange(start, steps, &change);
    Check(r != PlanResult::kRefused);
    Check((r == PlanResult::kChange) == (text != start));
    Check(quillpost::ApplyChange(start, change) == text);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string text = input.ConsumeRandomLengthString(4096);
  const bool refused_file = quillpost::ProfileTextRefusal(text) != nullptr;
  OneChange change{text, {}};
  std::vector<std::pair<std::string, std::string>> names;  // every name used so far
  for (int op = 0; op < 8 && input.remaining_bytes() > 0; ++op) {
    const int kind = input.ConsumeIntegralInRange(0, 4);
    // Now and then a name used before, so that steps meet each other's sections.
    const bool again = !names.empty() && input.ConsumeBool();
    const std::string section = again ? names.back().first : input.ConsumeRandomLengthString(12);
    const std::string key = input.ConsumeRandomLengthString(12);
    names.emplace_back(section, key);
    if (kind == 2) {
      Read(text, section, key);
      continue;
    }
    if (kind == 4) {
      ProfileEdit edit;
      const PlanResult r = quillpost::PlanDeleteEveryKey(text, section, key, &edit);
      change.Add({quillpost::ProfileStep::kDeleteEveryKey, section, key, ""}, r, edit);
      if (r == PlanResult::kChange) text = quillpost::ApplyEdit(text, edit);
      continue;
    }
    if (kind == 3) {
      ProfileEdit edit;
      const PlanResult r = quillpost::PlanDeleteSection(text, section, &edit);
      change.Add({quillpost::ProfileStep::kDeleteSection, section, "", ""}, r, edit);
      if (!quillpost::IsWritableSection(section)) Check(r == PlanResult::kRefused);
      if (r == PlanResult::kRefused) {
        Check(edit.reason != nullptr);
        continue;
      }
      if (r == PlanResult::kChange) {
        Check(edit.begin < edit.end && edit.end <= text.size());
        Check(edit.text.size() < edit.end - edit.begin);
        if (!IsUtf16(text)) {
          const Lines lines(text);
          Check(lines.starts.count(edit.begin) == 1);
          Check(edit.end == text.size() || lines.starts.count(edit.end) == 1);
        }
        text = quillpost::ApplyEdit(text, edit);
        Check(quillpost::PlanDeleteSection(text, section, &edit) == PlanResult::kNoChange);
      }
      Check(Read(text, section, key) == "<none>");
      continue;
    }
    const std::string value = kind == 0 ? input.ConsumeRandomLengthString(24) : "";
    ProfileEdit edit;
    const PlanResult r = kind == 0 ? quillpost::PlanWrite(text, section, key, value, &edit)
                                   : quillpost::PlanDelete(text, section, key, &edit);
    change.Add({kind == 0 ? quillpost::ProfileStep::kWrite : quillpost::ProfileStep::kDelete,
                section, key, value},
               r, edit);
    const bool valid = quillpost::IsWritableSection(section) && quillpost::IsWritableKey(key) &&
                       (kind == 1 || quillpost::IsWritableValue(value));
    if (!valid) Check(r == PlanResult::kRefused);
    if (valid && !refused_file && IsAscii(section) && IsAscii(key) && IsAscii(value)) {
      Check(r != PlanResult::kRefused);
    }
    if (r == PlanResult::kRefused) {
      Check(edit.reason != nullptr);
      continue;
    }

    std::vector<std::string> before;
    for (const auto& [s, k] : names) before.push_back(Read(text, s, k));
    if (r == PlanResult::kChange) {
      Check(edit.begin <= edit.end && edit.end <= text.size());
      if (IsUtf16(text)) {
        Check(edit.begin % 2 == 0 && edit.end % 2 == 0 && edit.text.size() % 2 == 0);
      } else {
        const Lines lines(text);
        Check(lines.starts.count(edit.begin) == 1);
        if (kind == 1) {
          // Exactly one whole line, its line end included.
          Check(edit.text.empty() && edit.end == lines.Next(edit.begin));
        } else if (edit.begin != edit.end) {
          Check(lines.content_ends.count(edit.end) == 1);
        }
      }
      text = quillpost::ApplyEdit(text, edit);
    }
    if (kind == 0) Check(Read(text, section, key) == std::string(StripQuotes(Trim(value))));
    // What any other key reads is unchanged.
    for (size_t i = 0; i < names.size(); ++i) {
      const auto& [s, k] = names[i];
      const bool same = quillpost::AsciiCaseEqual(s, section) && quillpost::AsciiCaseEqual(k, key);
      if (!same) Check(Read(text, s, k) == before[i]);
    }
  }
  change.Finish(text);
  return 0;
}
