// Our profile engine against the platform's own profile functions. Every
// operation (a write, a key delete or a section delete) starts from the same
// bytes on both sides: our engine plans its edit, the platform's
// WritePrivateProfileStringA (through our Windows platform layer, for a
// section delete: every copy of the section) makes the change in a copy,
// and both results are read through the platform's reader
// (GetPrivateProfileSectionNamesA, GetPrivateProfileStringA): they must mean
// the same. Our own reader must read our result as the platform's does.
//
// Start files are hand-edited ones and random ones: lines of headers, keys,
// comments and junk, names in mixed case decorated with every kind of blank
// and control byte, NUL, quotes, brackets, '=', ';', bytes of 0x80 and above,
// with every line end (CR LF, LF, lone CR, CR CR LF, LF CR, none), as 8-bit
// text, UTF-8 with a byte-order mark (valid and invalid sequences) and UTF-16
// either way round (odd lengths included, which the engine refuses).
//
// QUILLPOST_DIFF_SEED and QUILLPOST_DIFF_SEQUENCES choose another run; the
// counts printed at the end are the figures quoted in the README.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/ascii_case.h"
#include "platform/platform.h"
#include "platform/profile/profile_engine.h"
#include "tests/support/temp_dir.h"

namespace quillpost {
namespace {

using namespace std::string_literals;

const char* const kSections[] = {"Services", "VRQPN", "vrqpn_ab", "Other Section", "S"};
const char* const kKeys[] = {"MSPST AB", "VRQPN", "Key", "PR_DISPLAY_NAME", "k2", "E"};
// Values as the programs hand them to the platform's 8-bit functions, in
// the process's code page (1252).
const char* const kValues[] = {"",
                               "plain",
                               "two words",
                               "\"quoted\"",
                               "'single'",
                               "  padded ",
                               "a=b",
                               "x;y",
                               "\"odd'",
                               "[not]",
                               "C:\\QP\\vrqpn.dll",
                               "\vvt\x1a",
                               "caf\xe9",
                               "\x81\x8d\x90\xa0\xff"};

const std::string kHandEdited[] = {
    "",
    "[Services]\r\nMSPST AB=Personal Address Book\r\n",
    "; hand edited\r\n[Services]\r\n  MSPST AB = Personal Address Book  \r\nVRQPN=\"Varnholt "
    "Quillpost\"\r\n\r\n; comment\r\n[VRQPN]\r\nPR_DISPLAY_NAME=Old\r\n[Other Section]\r\nk2=v\r\n",
    "[services]\nKey=lf file\n[Services]\nKey=second section of that name\n",
    // A lone CR ends a line, also among CR LF lines.
    "[Services]\r\nMSPST AB=Personal Address Book\r[VRQPN]\r\nPR_DISPLAY_NAME=Old\r\n",
    "[Services]\rVRQPN=Old\r\r\n[VRQPN]\r\r\nPR_DISPLAY_NAME=Old",
    // Other blanks around names and values.
    "\v[Services]\x1a\r\n\fVRQPN\v=\vOld\x1a\r\n[\tVRQPN\f]\r\n\x1aPR_DISPLAY_NAME = Old\r\n",
    "[Services]\r\n\xa0VRQPN=Old\r\n[VRQPN\xa0]\r\nPR_DISPLAY_NAME=Old\r\n",
    // NUL, keys without '=', headers without ']' or with two.
    "[Services\0junk]\r\nVRQPN\0x=1\r\nMSPST AB=a\0b\r\n[VRQPN]\0]\r\nE\r\nE=v\r\n"s,
    "[Services]\r\nVRQPN\r\nVRQPN=Old\r\n[VRQPN\r\nKey=1\r\n[S]x]\r\nk2=2\r\n",
    // UTF-8 and UTF-16 with byte-order marks.
    "\xef\xbb\xbf[Services]\r\nMSPST AB=Pers\xc3\xb6nliches Adressbuch\r\n",
    "\xff\xfe[\0S\0e\0r\0v\0i\0c\0e\0s\0]\0\r\0\n\0V\0R\0Q\0P\0N\0=\0O\0l\0d\0\r\0\n\0"s,
    "\xfe\xff\0[\0S\0]\0\r\0\n\0E\0=\0\xe9\0\r\0\n"s,
};

/// A random start file, and the random names of the operations on it.
class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  unsigned Below(unsigned n) { return static_cast<unsigned>(random_() % n); }
  bool OneIn(unsigned n) { return Below(n) == 0; }

  template <size_t N>
  std::string Pick(const char* const (&options)[N]) {
    return options[Below(N)];
  }

  /// A name of |options| with its letters' case changed at random.
  template <size_t N>
  std::string Name(const char* const (&options)[N]) {
    std::string name = Pick(options);
    for (char& c : name) {
      if (OneIn(3)) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
      if (OneIn(3)) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    return name;
  }

  char AnyByte() {
    static const char kStructural[] = "\"'[]=; \t\v\f\x1a\r\nAEIOUaeiouSsKk";
    switch (Below(4)) {
      case 0:
        return static_cast<char>(Below(0x20));  // each control byte, NUL included
      case 1:
        return static_cast<char>(0x80 + Below(0x80));
      case 2:
        return OneIn(8) ? '\x7f' : static_cast<char>(0x20 + Below(0x5f));
      default:
        return kStructural[Below(sizeof kStructural - 1)];
    }
  }

  /// Nothing half the time; else blanks, or bytes that look blank but are
  /// not (in a Unicode file, those of 0x80 and above become wide characters).
  std::string Decor() {
    static const char kBlanks[] = " \t\v\f\x1a";
    static const char kLookalikes[] = {'\xa0', '\x85', '\x80', '\xff',
                                       '\x1c', '\0',   '\x01', '\x7f'};
    std::string out;
    if (OneIn(2)) return out;
    for (unsigned n = 1 + Below(2); n > 0; --n) {
      out.push_back(OneIn(2) ? kLookalikes[Below(sizeof kLookalikes)]
                             : kBlanks[Below(sizeof kBlanks - 1)]);
    }
    return out;
  }

  /// |name| with, now and then, a stray byte inside or a NUL and junk after.
  std::string Spoil(std::string name) {
    if (OneIn(6)) name.insert(Below(static_cast<unsigned>(name.size()) + 1), 1, AnyByte());
    if (OneIn(8)) name += '\0' + Decor() + Junk(3);
    return name;
  }

  std::string Junk(unsigned max) {
    std::string out;
    for (unsigned n = Below(max + 1); n > 0; --n) out.push_back(AnyByte());
    return out;
  }

  std::string Value() {
    static const char* const kPieces[] = {"v", "\"q\"", "'s'", "\"odd'", "a=b", "[x]", "x;y", ""};
    std::string value = Pick(kPieces);
    if (OneIn(3)) value += Junk(4);
    return value;
  }

  std::string Line() {
    switch (Below(10)) {
      case 0:
      case 1:
        return Decor() + "[" + Decor() + Spoil(Name(kSections)) + Decor() + "]" +
               (OneIn(4) ? Junk(3) : "");
      case 2:
      case 3:
      case 4:
        return Decor() + Spoil(Name(kKeys)) + Decor() + "=" + Decor() + Value() + Decor();
      case 5:
        return Decor() + Spoil(Name(kKeys)) + Decor();
      case 6:
        return Decor() + ";" + Name(kKeys) + "=" + Value();
      case 7:
        return "";
      default:
        return Junk(10);
    }
  }

  std::string LineEnd() {
    static const char* const kEnds[] = {"\r\n", "\r\n",   "\r\n", "\n", "\n",  "\r",
                                        "\r",   "\r\r\n", "\n\r", "",   "\r\n"};
    return Pick(kEnds);
  }

  /// A random file: 8-bit text, UTF-8 with a mark, or UTF-16 with a mark.
  std::string File() {
    std::string text;
    for (unsigned n = 1 + Below(12); n > 0; --n) text += Line() + LineEnd();
    const unsigned kind = Below(20);
    if (kind < 10) return text;
    if (kind < 14) return Utf8(text);
    return Utf16(text, kind % 2 == 0, kind == 19 && OneIn(2));
  }

 private:
  // Characters beyond ASCII: blanks and line breaks to other readers, ones
  // that fold to ASCII letters elsewhere, lone surrogates, a pair, and ones
  // whose bytes alone would be a bracket, '=', a line break or NUL.
  // Each written out in UTF-8 (surrogates encoded as they are: invalid)
  // and in UTF-16 code units.
  struct Wide {
    const char* utf8;
    unsigned units[2];  // the second 0 unless a pair
  };
  static constexpr Wide kWide[] = {
      {"\xc3\xa9", {0x00E9, 0}},     {"\xc2\xa0", {0x00A0, 0}},
      {"\xe3\x80\x80", {0x3000, 0}}, {"\xe2\x80\xa8", {0x2028, 0}},
      {"\xc2\x85", {0x0085, 0}},     {"\xef\xbb\xbf", {0xFEFF, 0}},
      {"\xc4\xb0", {0x0130, 0}},     {"\xe2\x84\xaa", {0x212A, 0}},
      {"\xe4\xb8\x80", {0x4E00, 0}}, {"\xed\xa0\x80", {0xD800, 0}},
      {"\xed\xb0\x80", {0xDC00, 0}}, {"\xf0\x9f\x98\x80", {0xD83D, 0xDE00}},
      {"\xc5\x9b", {0x015B, 0}},     {"\xe5\xb4\x80", {0x5D00, 0}},
      {"\xc4\xbd", {0x013D, 0}},     {"\xc4\x8a", {0x010A, 0}},
      {"\xe0\xb4\x80", {0x0D00, 0}}, {"\xc4\x80", {0x0100, 0}},
  };

  /// |text| behind a UTF-8 mark, most bytes of 0x80 and above made into a
  /// character (surrogates encoded as they are: invalid), the rest left as
  /// stray bytes; now and then an overlong line break.
  std::string Utf8(const std::string& text) {
    std::string out = "\xef\xbb\xbf";
    for (char c : text) {
      if (static_cast<unsigned char>(c) < 0x80) {
        out.push_back(c);
      } else if (OneIn(4)) {
        out += OneIn(2) ? std::string(1, c) : "\xc0\x8a";
      } else {
        out += kWide[Below(sizeof kWide / sizeof kWide[0])].utf8;
      }
    }
    return out;
  }

  /// |text| in UTF-16 behind its mark, each byte of 0x80 and above made
  /// into a character beyond ASCII (lone surrogates among them).
  std::string Utf16(const std::string& text, bool big_endian, bool odd) {
    std::string out = big_endian ? "\xfe\xff" : "\xff\xfe";
    const auto put = [&](unsigned unit) {
      const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
      out.push_back(big_endian ? high : low);
      out.push_back(big_endian ? low : high);
    };
    for (char c : text) {
      const unsigned byte = static_cast<unsigned char>(c);
      if (byte < 0x80) {
        put(byte);
        continue;
      }
      const Wide& wide = kWide[Below(sizeof kWide / sizeof kWide[0])];
      put(wide.units[0]);
      if (wide.units[1] != 0) put(wide.units[1]);
    }
    if (odd) out.push_back(AnyByte());
    return out;
  }

  std::mt19937 random_;
};

enum class Encoding { k8Bit, kUtf8, kUtf16 };

Encoding EncodingOf(const std::string& text) {
  if (text.compare(0, 3, "\xef\xbb\xbf") == 0) return Encoding::kUtf8;
  if (text.compare(0, 2, "\xff\xfe") == 0 || text.compare(0, 2, "\xfe\xff") == 0) {
    return Encoding::kUtf16;
  }
  return Encoding::k8Bit;
}

std::string Convert(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return text;
  const int n = static_cast<int>(text.size());
  std::wstring wide(static_cast<size_t>(n) * 2, L'\0');
  wide.resize(
      static_cast<size_t>(MultiByteToWideChar(from, 0, text.data(), n, wide.data(), n * 2)));
  std::string out(wide.size() * 4, '\0');
  out.resize(static_cast<size_t>(
      WideCharToMultiByte(to, 0, wide.data(), static_cast<int>(wide.size()), out.data(),
                          static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

/// Our reader's value as the platform's 8-bit reader would hand it over:
/// from a UTF-8 or UTF-16 file our reader gives UTF-8, the platform's the
/// process's code page.
std::string EngineRead(const std::string& text, const std::string& section,
                       const std::string& key) {
  std::string value;
  if (!ReadProfileValue(text, section, key, &value)) return "<default>";
  if (EncodingOf(text) != Encoding::k8Bit) value = Convert(value, CP_UTF8, CP_ACP);
  return value.substr(0, 255);
}

std::string PlatformRead(const std::string& file, const std::string& section,
                         const std::string& key) {
  char buffer[256];
  GetPrivateProfileStringA(section.c_str(), key.c_str(), "<default>", buffer, sizeof buffer,
                           file.c_str());
  return buffer;
}

std::vector<std::string> PlatformSectionNames(const std::string& file) {
  static char buffer[1 << 16];
  const DWORD n = GetPrivateProfileSectionNamesA(buffer, sizeof buffer, file.c_str());
  std::vector<std::string> names;
  for (const char* name = buffer; name < buffer + n && *name; name += strlen(name) + 1) {
    names.push_back(name);
  }
  return names;
}

constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
// A section the operations never name, for a write that makes the platform
// rewrite a file.
constexpr char kProbeSection[] = "Zz Rewrite Probe";

/// What a file means to the platform's reader: the value of every key of
/// the lists in every section of the lists, and its section names.
struct Meaning {
  std::vector<std::string> values;
  std::vector<std::string> sections;
  bool operator==(const Meaning& other) const {
    return values == other.values && sections == other.sections;
  }
};

Meaning MeaningOf(const std::string& file) {
  Meaning meaning;
  for (const char* s : kSections) {
    for (const char* k : kKeys) meaning.values.push_back(PlatformRead(file, s, k));
  }
  for (std::string& name : PlatformSectionNames(file)) {
    if (name != kProbeSection) meaning.sections.push_back(std::move(name));
  }
  return meaning;
}

bool EndsInBlank(const std::string& name) {
  return !name.empty() && std::strchr(" \t\v\f\x1a", name.back()) != nullptr;
}

/// Returns true when a section or key name of |file|, as the platform's
/// reader keeps it, ends in a blank: that can only come from a blank before
/// a NUL, and the platform's writer drops the NUL and what follows, so that
/// its rewrite of the file reads the name without the blank.
bool HasNameEndingInBlank(const std::string& file) {
  static char entries[1 << 16];
  for (const std::string& section : PlatformSectionNames(file)) {
    if (EndsInBlank(section)) return true;
    const DWORD n =
        GetPrivateProfileSectionA(section.c_str(), entries, sizeof entries, file.c_str());
    for (const char* entry = entries; entry < entries + n && *entry; entry += strlen(entry) + 1) {
      const std::string line = entry;
      if (EndsInBlank(line.substr(0, line.find('=')))) return true;
    }
  }
  return false;
}

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char hex[8];
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
      if (c == '\n') out += "\n";
    }
  }
  return out;
}

unsigned EnvOr(const char* name, unsigned fallback) {
  const char* value = std::getenv(name);
  return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

struct Counts {
  unsigned operations = 0, section_deletes = 0, refused = 0, reads = 0, engine_reads = 0,
           refused_file_reads = 0, rewritten_starts = 0;
};

TEST(ProfileDifferential, EngineOutputReadsLikeThePlatformsOwn) {
  // The 8-bit functions convert through the process's code page; the test
  // environment pins it (LC_ALL=C gives 1252 under Wine).
  ASSERT_EQ(GetACP(), 1252u) << "run with LC_ALL=C so that the code page is 1252";
  const unsigned seed = EnvOr("QUILLPOST_DIFF_SEED", 20261208);
  const unsigned sequences = EnvOr("QUILLPOST_DIFF_SEQUENCES", 64);
  constexpr unsigned kOperations = 12;

  test::TempDir dir;
  unsigned serial = 0;
  // Each file gets a name of its own: the platform caches files it has read
  // and may miss a rewrite within its clock's granularity.
  const auto fresh_file = [&](const std::string& bytes) {
    const std::string path = dir.Join("f" + std::to_string(++serial) + ".ini");
    test::WriteFileBytes(path, bytes);
    return path;
  };

  // How the platform's reader gives a value back once its writer stored it.
  const auto clean_read = [&](const std::string& value) {
    const std::string file = fresh_file("");
    WritePrivateProfileStringA("S", "K", value.c_str(), file.c_str());
    const std::string read = PlatformRead(file, "S", "K");
    DeleteFileA(file.c_str());
    return read;
  };

  Generator random(seed);
  Counts counts;
  for (unsigned sequence = 0; sequence < sequences; ++sequence) {
    const size_t hand_edited = sizeof kHandEdited / sizeof kHandEdited[0];
    std::string ours =
        sequence % 4 == 0 ? kHandEdited[(sequence / 4) % hand_edited] : random.File();
    const std::string first = ours;
    for (unsigned op = 0; op < kOperations; ++op) {
      const std::string start = ours;
      const Encoding encoding = EncodingOf(start);
      const std::string section = random.Name(kSections), key = random.Name(kKeys);
      const unsigned kind = random.Below(8);
      const bool write = kind >= 2, delete_section = kind == 0;
      const std::string value = random.Pick(kValues);
      // The same text reaches our engine in UTF-8 where the file is Unicode.
      const std::string our_value =
          encoding == Encoding::k8Bit ? value : Convert(value, CP_ACP, CP_UTF8);
      const std::string where = "seed " + std::to_string(seed) + " sequence " +
                                std::to_string(sequence) + " op " + std::to_string(op) + ": " +
                                (write            ? "write ["
                                 : delete_section ? "delete section ["
                                                  : "delete [") +
                                section + "] " + (delete_section ? "" : key) +
                                (write ? " = " + Escaped(value) : "") + "\nstart file:\n" +
                                Escaped(start) + "\nfirst file of the sequence:\n" + Escaped(first);
      ++counts.operations;

      ProfileEdit edit;
      const PlanResult planned = write            ? PlanWrite(start, section, key, our_value, &edit)
                                 : delete_section ? PlanDeleteSection(start, section, &edit)
                                                  : PlanDelete(start, section, key, &edit);
      if (planned == PlanResult::kRefused) {
        // The file stays byte-identical; the platform's change is not made.
        ASSERT_NE(edit.reason, nullptr) << where;
        ++counts.refused;
        // A file the engine refuses reads as missing everywhere.
        if (ProfileTextRefusal(start) != nullptr) {
          for (const char* s : kSections) {
            for (const char* k : kKeys) {
              ASSERT_EQ(EngineRead(start, s, k), "<default>") << where;
              ++counts.refused_file_reads;
            }
          }
        }
        continue;
      }
      if (planned == PlanResult::kChange) ours = ApplyEdit(start, edit);

      const std::string our_file = fresh_file(ours);
      const std::string platform_file = fresh_file(start);
      if (delete_section) {
        ++counts.section_deletes;
        NativePlatform().DeleteSection(section.c_str(), platform_file.c_str());
      } else {
        WritePrivateProfileStringA(section.c_str(), key.c_str(), write ? value.c_str() : nullptr,
                                   platform_file.c_str());
      }
      const Meaning mine = MeaningOf(our_file);
      const Meaning theirs = MeaningOf(platform_file);
      counts.reads += static_cast<unsigned>(mine.values.size()) + 1;
      const auto failure = [&](const Meaning& expected, const char* expected_name) {
        std::string out = where + "\nour file:\n" + Escaped(ours) + "\nplatform's file:\n" +
                          Escaped(test::ReadFileBytes(platform_file)) + "\n";
        for (size_t i = 0; i < mine.values.size(); ++i) {
          if (mine.values[i] == expected.values[i]) continue;
          out += "[" + std::string(kSections[i / kKeyCount]) + "] " + kKeys[i % kKeyCount] +
                 ": ours reads '" + Escaped(mine.values[i]) + "', " + expected_name + " '" +
                 Escaped(expected.values[i]) + "'\n";
        }
        if (mine.sections != expected.sections) out += "the section names differ\n";
        return out;
      };
      if (!(mine == theirs)) {
        // The platform rewrites the whole file in its own layout, and that
        // alone can change what an entry means (a name or value that ends in
        // a blank before a NUL comes back without the blank, and may then
        // hide the key written); our engine leaves that entry's bytes alone.
        // Only such a start file may differ, and then ours must mean the
        // start's reading with just the operation's change.
        const std::string start_file = fresh_file(start);
        const std::string rewritten_file = fresh_file(start);
        WritePrivateProfileStringA(kProbeSection, "k", "v", rewritten_file.c_str());
        const Meaning before = MeaningOf(start_file);
        const bool unstable =
            !(before == MeaningOf(rewritten_file)) || HasNameEndingInBlank(start_file);
        DeleteFileA(start_file.c_str());
        DeleteFileA(rewritten_file.c_str());
        ASSERT_TRUE(unstable) << failure(theirs, "the platform's result");
        Meaning expected = before;
        for (size_t i = 0; i < expected.values.size(); ++i) {
          if (!AsciiCaseEqual(kSections[i / kKeyCount], section) ||
              (!delete_section && !AsciiCaseEqual(kKeys[i % kKeyCount], key))) {
            continue;
          }
          expected.values[i] = write ? clean_read(value) : mine.values[i];
        }
        bool present = false;
        for (const std::string& name : expected.sections) {
          present = present || AsciiCaseEqual(name, section);
        }
        if (write && !present) expected.sections.push_back(section);
        if (delete_section) {
          std::vector<std::string> kept;
          for (const std::string& name : expected.sections) {
            if (!AsciiCaseEqual(name, section)) kept.push_back(name);
          }
          expected.sections = kept;
        }
        ASSERT_TRUE(mine == expected) << failure(expected, "expected");
        ++counts.rewritten_starts;
      }
      for (size_t i = 0; i < mine.values.size(); ++i) {
        const char* s = kSections[i / kKeyCount];
        const char* k = kKeys[i % kKeyCount];
        ASSERT_EQ(EngineRead(ours, s, k), mine.values[i])
            << where << "\n[" << s << "] " << k << " in our file:\n"
            << Escaped(ours);
        ++counts.engine_reads;
      }
      DeleteFileA(our_file.c_str());
      DeleteFileA(platform_file.c_str());
    }
  }
  std::printf(
      "seed %u: %u sequences, %u operations (%u section deletes, %u refused), %u reads of both "
      "results compared "
      "through the platform's reader, %u reads by our reader compared, %u reads by our reader of "
      "refused files (all missing), %u operations on files whose meaning the platform's own "
      "rewrite changes, "
      "0 differences\n",
      seed, sequences, counts.operations, counts.section_deletes, counts.refused, counts.reads,
      counts.engine_reads, counts.refused_file_reads, counts.rewritten_starts);
}

}  // namespace
}  // namespace quillpost
