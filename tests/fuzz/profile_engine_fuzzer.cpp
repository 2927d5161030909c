// libFuzzer target for the profile-file engine: arbitrary file bytes and a
// sequence of writes, deletes and reads. Besides crashes and undefined
// behaviour it checks the engine's promises:
// - a refused input is exactly one the validity checks reject, and changes nothing;
// - an edit covers whole lines, so every line it does not touch stays byte-identical;
// - after a write, a read returns the value written;
// - a delete removes exactly one line;
// - a section delete leaves no section of the name, and keeps the bytes
//   between the copies it removes.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/profile_engine.h"

namespace {

using quillpost::PlanResult;
using quillpost::ProfileEdit;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

size_t Skip(std::string_view text) { return text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0; }

bool AtLineStart(std::string_view text, size_t pos) {
  return pos == Skip(text) || pos == text.size() || (pos > 0 && text[pos - 1] == '\n');
}

bool AtLineEnd(std::string_view text, size_t pos) {
  return pos == text.size() || text[pos] == '\n' ||
         (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ||
         (pos > 0 && text[pos - 1] == '\n');
}

std::string Read(std::string_view text, std::string_view section, std::string_view key) {
  std::string_view value;
  if (!quillpost::FindProfileValue(text, section, key, &value)) return "<none>";
  return std::string(quillpost::StripQuotes(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::string text = input.ConsumeRandomLengthString(4096);
  for (int op = 0; op < 8 && input.remaining_bytes() > 0; ++op) {
    const int kind = input.ConsumeIntegralInRange(0, 3);
    const std::string section = input.ConsumeRandomLengthString(12);
    const std::string key = input.ConsumeRandomLengthString(12);
    ProfileEdit edit;
    if (kind == 0) {
      const std::string value = input.ConsumeRandomLengthString(24);
      const PlanResult r = quillpost::PlanWrite(text, section, key, value, &edit);
      const bool valid = quillpost::IsWritableSection(section) && quillpost::IsWritableKey(key) &&
                         quillpost::IsWritableValue(value);
      Check((r == PlanResult::kRefused) == !valid);
      if (r == PlanResult::kRefused) continue;
      if (r == PlanResult::kChange) {
        Check(edit.begin <= edit.end && edit.end <= text.size());
        Check(AtLineStart(text, edit.begin) && AtLineEnd(text, edit.end));
        text = quillpost::ApplyEdit(text, edit);
      }
      Check(Read(text, section, key) == std::string(quillpost::StripQuotes(Trim(value))));
    } else if (kind == 1) {
      const PlanResult r = quillpost::PlanDelete(text, section, key, &edit);
      Check((r == PlanResult::kRefused) ==
            !(quillpost::IsWritableSection(section) && quillpost::IsWritableKey(key)));
      if (r != PlanResult::kChange) continue;
      // Exactly one whole line: from a line start through its line end.
      Check(AtLineStart(text, edit.begin) && edit.text.empty() && edit.end > edit.begin);
      const std::string_view removed =
          std::string_view(text).substr(edit.begin, edit.end - edit.begin);
      const size_t lf = removed.find('\n');
      Check(lf == std::string_view::npos ? edit.end == text.size() : lf == removed.size() - 1);
      text = quillpost::ApplyEdit(text, edit);
    } else if (kind == 2) {
      const PlanResult r = quillpost::PlanDeleteSection(text, section, &edit);
      Check((r == PlanResult::kRefused) == !quillpost::IsWritableSection(section));
      if (r != PlanResult::kChange) continue;
      Check(edit.begin < edit.end && edit.end <= text.size());
      Check(AtLineStart(text, edit.begin) && AtLineStart(text, edit.end));
      Check(edit.text.size() < edit.end - edit.begin);
      text = quillpost::ApplyEdit(text, edit);
      Check(quillpost::PlanDeleteSection(text, section, &edit) == PlanResult::kNoChange);
      Check(Read(text, section, key) == "<none>");
    } else {
      Read(text, section, key);
    }
  }
  return 0;
}
