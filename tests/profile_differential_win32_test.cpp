// Our profile engine against the platform's own GetPrivateProfileStringA and
// WritePrivateProfileStringA: the same random writes, deletes, section
// deletes and reads from the same hand-edited files must read back the same.
// The platform rewrites the whole file in its own layout, so meaning is
// compared, not bytes.

#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/ascii_case.h"
#include "platform/platform.h"
#include "platform/profile_engine.h"
#include "tests/support/temp_dir.h"

namespace quillpost {
namespace {

const char* const kSections[] = {"Services", "SERVICES", "VRQPN", "vrqpn_ab", "Other Section"};
const char* const kKeys[] = {"MSPST AB", "mspst ab", "VRQPN", "Key", "PR_DISPLAY_NAME", "k2"};
const char* const kValues[] = {"",          "plain", "two words", "\"quoted\"", "'single'",
                               "  padded ", "a=b",   "x;y",       "\"odd'",     "[not]"};
const char* const kStartFiles[] = {
    "",
    "[Services]\r\nMSPST AB=Personal Address Book\r\n",
    "; hand edited\r\n[Services]\r\n  MSPST AB = Personal Address Book  \r\nVRQPN=\"Varnholt "
    "Quillpost\"\r\n\r\n; comment\r\n[VRQPN]\r\nPR_DISPLAY_NAME=Old\r\n[Other Section]\r\nk2=v\r\n",
    "[services]\nKey=lf file\n[Services]\nKey=second section of that name\n",
};

std::string EngineRead(const std::string& text, const std::string& section,
                       const std::string& key) {
  std::string_view value;
  if (!FindProfileValue(text, section, key, &value)) return "<default>";
  return std::string(StripQuotes(value)).substr(0, 255);
}

std::string PlatformRead(const std::string& file, const std::string& section,
                         const std::string& key) {
  char buffer[256];
  GetPrivateProfileStringA(section.c_str(), key.c_str(), "<default>", buffer, sizeof buffer,
                           file.c_str());
  return buffer;
}

TEST(ProfileDifferential, RandomSequencesReadTheSame) {
  test::TempDir dir;
  const std::string file = dir.Join("Mapisvc.inf");
  std::mt19937 random(20261208);
  auto pick = [&](const auto& options) {
    return std::string(options[random() % (sizeof options / sizeof options[0])]);
  };
  constexpr int kSequences = 300;
  constexpr int kOperations = 40;
  int reads_compared = 0;
  int sections_deleted = 0;
  for (int sequence = 0; sequence < kSequences; ++sequence) {
    std::string text = kStartFiles[sequence % 4];
    test::WriteFileBytes(file, text);
    for (int op = 0; op < kOperations; ++op) {
      const std::string section = pick(kSections), key = pick(kKeys);
      const unsigned kind = random() % 10;
      ProfileEdit edit;
      if (kind < 6) {
        const std::string value = pick(kValues);
        ASSERT_EQ(PlanWrite(text, section, key, value, &edit) == PlanResult::kRefused, false);
        if (PlanWrite(text, section, key, value, &edit) == PlanResult::kChange) {
          text = ApplyEdit(text, edit);
        }
        WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str());
      } else if (kind < 8) {
        if (PlanDelete(text, section, key, &edit) == PlanResult::kChange) {
          text = ApplyEdit(text, edit);
        }
        WritePrivateProfileStringA(section.c_str(), key.c_str(), nullptr, file.c_str());
      } else if (kind == 8) {
        // The platform layer's section delete, which removes every copy.
        if (PlanDeleteSection(text, section, &edit) == PlanResult::kChange) {
          text = ApplyEdit(text, edit);
          ++sections_deleted;
        }
        ASSERT_TRUE(NativePlatform().DeleteSection(section.c_str(), file.c_str()));
      }
      // Every read of the key just used; of everything after a section
      // delete and at the end.
      const bool all = kind == 8 || op == kOperations - 1;
      for (const char* s : kSections) {
        for (const char* k : kKeys) {
          if (!all && !AsciiCaseEqual(k, key)) continue;
          ASSERT_EQ(EngineRead(text, s, k), PlatformRead(file, s, k))
              << "sequence " << sequence << " op " << op << " [" << s << "] " << k
              << "\nengine text:\n"
              << text << "\nplatform file:\n"
              << test::ReadFileBytes(file);
          ++reads_compared;
        }
      }
    }
  }
  std::printf("%d sequences, %d operations, %d sections deleted, %d reads compared\n", kSequences,
              kSequences * kOperations, sections_deleted, reads_compared);
}

}  // namespace
}  // namespace quillpost
