#include "platform/profile/profile_engine.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/reference_reader.h"

namespace quillpost {
namespace {

using namespace std::string_view_literals;

// Applies a write to |text| the way the file layer does; returns the result,
// or |text| itself when the engine planned no change.
std::string Written(std::string_view text, std::string_view section, std::string_view key,
                    std::string_view value) {
  ProfileEdit edit;
  const PlanResult r = PlanWrite(text, section, key, value, &edit);
  EXPECT_NE(r, PlanResult::kRefused);
  return r == PlanResult::kChange ? ApplyEdit(text, edit) : std::string(text);
}

std::string Deleted(std::string_view text, std::string_view section, std::string_view key) {
  ProfileEdit edit;
  const PlanResult r = PlanDelete(text, section, key, &edit);
  EXPECT_NE(r, PlanResult::kRefused);
  return r == PlanResult::kChange ? ApplyEdit(text, edit) : std::string(text);
}

std::string SectionDeleted(std::string_view text, std::string_view section) {
  ProfileEdit edit;
  const PlanResult r = PlanDeleteSection(text, section, &edit);
  EXPECT_NE(r, PlanResult::kRefused);
  return r == PlanResult::kChange ? ApplyEdit(text, edit) : std::string(text);
}

std::string Value(std::string_view text, std::string_view section, std::string_view key) {
  std::string v;
  return ReadProfileValue(text, section, key, &v) ? v : "<none>";
}

TEST(ProfileEngine, ReadsFollowTheLineRules) {
  const std::string text =
      "; comment=not a key\r\n"
      "orphan=before any section\r\n"
      "  [ Services ]  trailing text\r\n"
      "  Alpha  =  one two  \r\n"
      ";Beta=commented out\r\n"
      "no equals sign here\r\n"
      "[broken header=x\r\n"
      "Quoted=\"  spaced  \"\r\n"
      "Single='q'\r\n"
      "Mismatched=\"q'\r\n"
      "Empty=\"\"\r\n"
      "alpha=second, ignored\r\n"
      "[services]\r\n"
      "Gamma=in a later section of the same name\r\n";
  EXPECT_EQ(Value(text, "SERVICES", "ALPHA"), "one two");
  EXPECT_EQ(Value(text, "Services", "Beta"), "<none>");
  EXPECT_EQ(Value(text, "Services", "[broken header"), "x");
  EXPECT_EQ(Value(text, "Services", "Quoted"), "  spaced  ");
  EXPECT_EQ(Value(text, "Services", "Single"), "q");
  EXPECT_EQ(Value(text, "Services", "Mismatched"), "\"q'");
  EXPECT_EQ(Value(text, "Services", "Empty"), "");
  EXPECT_EQ(Value(text, "Services", "Gamma"), "<none>");  // only the first section counts
  EXPECT_EQ(Value(text, "Services", "orphan"), "<none>");
  EXPECT_EQ(Value(text, "Other", "Alpha"), "<none>");
  // The section as a list: every key line of the first section, as spelled.
  std::string entries;
  ListSectionEntries(text, "services", &entries);
  EXPECT_EQ(
      entries,
      std::string("Alpha=one two\0no equals sign here\0[broken header=x\0Quoted=\"  spaced  \"\0"
                  "Single='q'\0Mismatched=\"q'\0Empty=\"\"\0alpha=second, ignored\0",
                  128));
}

// |s| in UTF-16 with its byte-order mark, each char16_t of |s| one code unit.
std::string Utf16(std::u16string_view s, bool big_endian = false) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : s) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    out.push_back(big_endian ? high : low);
    out.push_back(big_endian ? low : high);
  }
  return out;
}

// How the platform's reader reads hostile files, as measured against it:
// each row is a file, a section and key, and the value read (or <none>).
// The tests' own reader, which the black-box tests trust, must read each
// row the same.
struct ReadCase {
  std::string text;
  const char* section;
  const char* key;
  std::string expected;
};

TEST(ProfileEngine, ReadsAsThePlatformsReaderDoes) {
  using namespace std::string_literals;
  const ReadCase cases[] = {
      // Line ends: CR LF, LF and a lone CR; CR CR LF is a line and an empty one.
      {"[S]\r\nA=1\rB=2\r\nC=3\r\n", "S", "B", "2"},
      {"[S]\nA=x\ry=2\n", "S", "A", "x"},
      {"[S]\nA=1\r[T]\nB=2\n", "T", "B", "2"},
      {"[S]\nA=1\r[T]\nB=2\n", "S", "B", "<none>"},
      {"[S]\r\r\nA=1\r\r\nB=2\r\r\n", "S", "B", "2"},
      {"[S]\r\nA=1\r", "S", "A", "1"},
      // Blanks: space, tab, VT, FF and Ctrl-Z; not 0xA0 nor other controls.
      {"\v[\vT\f]\x1a\r\n\t\vA\f=\x1a v\v\r\n", "T", "A", "v"},
      {"[S]\r\n\xa0"
       "A=1\r\nB=\xa0v\xa0\r\n",
       "S", "A", "<none>"},
      {"[S]\r\n\xa0"
       "A=1\r\nB=\xa0v\xa0\r\n",
       "S", "B", "\xa0v\xa0"},
      {"[S]\r\n\x1c\x01"
       "A=1\x1c\r\n",
       "S",
       "\x1c\x01"
       "A",
       "1\x1c"},
      {"[S]\r\nA=1\x1a"
       "2\r\n",
       "S", "A",
       "1\x1a"
       "2"},
      // Headers: '[' first, the name up to the line's last ']'.
      {"  [ Services ]  trailing text\r\nA=1\r\n", "SERVICES", "a", "1"},
      {"[T]x]y\r\nB=2\r\n", "T]x", "B", "2"},
      {"[T]x]y\r\nB=2\r\n", "T", "B", "<none>"},
      {"[[W]]\r\nG=7\r\n", "[W]", "G", "7"},
      {"[S\r\nA=1\r\n", "S", "A", "<none>"},
      {"[S]\r\n[broken header=x\r\n", "S", "[broken header", "x"},
      {"x[S]\r\nA=1\r\n", "S", "A", "<none>"},
      // Keys: ';' comments, lines without '=', the first of a name.
      {"[S]\r\n;A=1\r\n  ;B=2\r\n#C=3\r\n", "S", "A", "<none>"},
      {"[S]\r\n;A=1\r\n  ;B=2\r\n#C=3\r\n", "S", "#C", "3"},
      {"[S]\r\nE\r\nE=v\r\n", "S", "E", "<none>"},
      {"[S]\r\nD=a=b\r\n", "S", "D", "a=b"},
      {"orphan=1\r\n[S]\r\n", "S", "orphan", "<none>"},
      {"[S]\r\nA=1\r\nA=2\r\n[s]\r\nC=3\r\n", "s", "A", "1"},
      {"[S]\r\nA=1\r\nA=2\r\n[s]\r\nC=3\r\n", "S", "C", "<none>"},
      // Names asked for that the platform would trim, or read as the lines
      // before the first header, find nothing.
      {"A=0\r\n[S ]\r\n[]\r\nB=1\r\n[S \0]\r\nA=1\r\n"s, "", "A", "<none>"},
      {"A=0\r\n[S ]\r\n[]\r\nB=1\r\n[S \0]\r\nA=1\r\n"s, "", "B", "<none>"},
      {"A=0\r\n[S ]\r\n[]\r\nB=1\r\n[S \0]\r\nA=1\r\n"s, "S ", "A", "<none>"},
      {"A=0\r\n[S ]\r\n[]\r\nB=1\r\n[S \0]\r\nA=1\r\n"s, "S", "A", "<none>"},
      // NUL ends a name or a value, after trimming.
      {"[Se\0x]\r\nA\0b=1\r\n"s, "Se", "A", "1"},
      {"[S]\r\nB=x\0y\r\n"s, "S", "B", "x"},
      {"[S]\r\nC=\" q \0 \"\r\n"s, "S", "C", "\" q "},
      {"[S]\r\n D \0 = 5\r\n"s, "S", "D", "<none>"},
      {"[S]\0]\r\nA=1\r\n"s, "S]", "A", "1"},
      {"[ S \0 ]\r\nA=1\r\n"s, "S", "A", "<none>"},
      {"[S]\r\nA=1\0B=2\r\n"s, "S", "B", "<none>"},
      // One pair of matching quotes goes.
      {"[S]\r\nA= \"x\" \r\nB='y'\r\nC=\"z'\r\nD=\"\r\nE=\"\"\r\nG=\"a\"b\"\r\n", "S", "A", "x"},
      {"[S]\r\nB='y'\r\n", "S", "B", "y"},
      {"[S]\r\nC=\"z'\r\n", "S", "C", "\"z'"},
      {"[S]\r\nD=\"\r\n", "S", "D", "\""},
      {"[S]\r\nE=\"\"\r\n", "S", "E", ""},
      {"[S]\r\nG=\"a\"b\"\r\n", "S", "G", "a\"b"},
      // Only ASCII letters fold, A and Z included, '@' and '[' not.
      {"[\xc9t\xe9]\r\nA=1\r\n", "\xc9T\xe9", "a", "1"},
      {"[zZ]\r\nZz=1\r\n", "Zz", "zZ", "1"},
      {"[S]\r\n`=1\r\n", "S", "@", "<none>"},
      {"[S]\r\n{=1\r\n", "S", "[", "<none>"},
      {"[\xc9t\xe9]\r\nA=1\r\n", "\xe9t\xe9", "a", "<none>"},
      // Encodings: a UTF-8 mark is skipped (a second one is text); UTF-16
      // both ways round, its characters above ASCII never blanks or breaks.
      {"\xef\xbb\xbf[S]\r\nA=\xc3\xa9\r\n", "S", "A", "\xc3\xa9"},
      {"\xef\xbb\xbf\xef\xbb\xbf[S]\r\nA=1\r\n", "S", "A", "<none>"},
      {"\xef\xbb\xbf[S]\r\nB=\xc3=x\r\n\xc0\x8a[T]\r\nC=1\r\n", "S", "C", "1"},
      {"\xef\xbb\xbf[S]\r\nB=\xc3=x\r\n", "S", "B", "\xc3=x"},
      {Utf16(u"[S]\r\nA=1\r\nB=\u00e9\u4e00\r\n"), "s", "b", "\xc3\xa9\xe4\xb8\x80"},
      {Utf16(u"[S]\r\nA=1\r\n", true), "S", "A", "1"},
      {Utf16(u"[S]\rA=\"\xd800\"\r\n"), "S", "A", "\xef\xbf\xbd"},
      {Utf16(u"[S]\r\n\u00a0A=1\r\n\u3000B=2\r\nC=1\u2028D=2\r\n"), "S", "A", "<none>"},
      {Utf16(u"[S]\r\n\u00a0A=1\r\n\u3000B=2\r\nC=1\u2028D=2\r\n"), "S", "D", "<none>"},
      {Utf16(u"[S]\r\n\u0130=1\r\n"), "S", "i", "<none>"},
      {Utf16(u"[S]\r\nA=1\r\n") + "x", "S", "A", "<none>"},  // odd length: refused
      {"[\0S\0]\0\r\0\nA=1\r\n"s, "S", "A", "<none>"},       // UTF-16 without a mark
  };
  for (const ReadCase& c : cases) {
    EXPECT_EQ(Value(c.text, c.section, c.key), c.expected)
        << "[" << c.section << "] " << c.key << " in\n"
        << c.text;
    EXPECT_EQ(test::ReferenceValue(c.text, c.section, c.key).value_or("<none>"), c.expected)
        << "reference reader: [" << c.section << "] " << c.key << " in\n"
        << c.text;
  }
}

TEST(ProfileEngine, ByteOrderMarkIsKeptAndIgnored) {
  const std::string text = "\xEF\xBB\xBF[Services]\nA=1\n";
  EXPECT_EQ(Value(text, "Services", "A"), "1");
  EXPECT_EQ(Written(text, "Services", "B", "2"), "\xEF\xBB\xBF[Services]\nA=1\nB=2\n");
  EXPECT_EQ(Written("\xEF\xBB\xBF", "S", "K", "V"), "\xEF\xBB\xBF[S]\r\nK=V\r\n");
}

TEST(ProfileEngine, ReplacesOnlyTheKeyLineKeepingItsSpellingAndLineEnd) {
  const std::string text = "[S]\r\n  MyKey = old ; not a comment\r\nOther=x\r\n";
  EXPECT_EQ(Written(text, "s", "MYKEY", "new"), "[S]\r\nMyKey=new\r\nOther=x\r\n");
  // Mixed line ends: the replaced line keeps its own.
  EXPECT_EQ(Written("[S]\r\nK=1\nL=2\r\n", "S", "K", "9"), "[S]\r\nK=9\nL=2\r\n");
}

TEST(ProfileEngine, WritingWhatIsThereIsNoChange) {
  ProfileEdit edit;
  EXPECT_EQ(PlanWrite("[S]\nK=V\n", "S", "K", "V", &edit), PlanResult::kNoChange);
  EXPECT_EQ(PlanWrite("[S]\nK=V\n", "s", "k", "V", &edit), PlanResult::kNoChange);
  EXPECT_EQ(PlanWrite("[S]\nK = V\n", "S", "K", "V", &edit), PlanResult::kChange);
}

TEST(ProfileEngine, InsertsAfterTheLastKeyLineOfTheSection) {
  const std::string text =
      "[A]\n"
      "one=1\n"
      "; note\n"
      "two=2\n"
      "\n"
      "; about B\n"
      "[B]\n"
      "x=y\n";
  EXPECT_EQ(Written(text, "A", "three", "3"),
            "[A]\none=1\n; note\ntwo=2\nthree=3\n\n; about B\n[B]\nx=y\n");
  // A section with no key line gets the key right after its header.
  EXPECT_EQ(Written("[A]\n\n; c\n[B]\n", "A", "k", "v"), "[A]\nk=v\n\n; c\n[B]\n");
  // A duplicate section is never written to: the first one is.
  EXPECT_EQ(Written("[A]\na=1\n[a]\nk=old\n", "A", "k", "v"), "[A]\na=1\nk=v\n[a]\nk=old\n");
}

TEST(ProfileEngine, AddedLinesEndLikeTheFirstLine) {
  EXPECT_EQ(Written("", "S", "K", "V"), "[S]\r\nK=V\r\n");
  EXPECT_EQ(Written("; lf file\n", "S", "K", "V"), "; lf file\n[S]\nK=V\n");
  EXPECT_EQ(Written("; crlf file\r\nx\n", "S", "K", "V"), "; crlf file\r\nx\n[S]\r\nK=V\r\n");
  EXPECT_EQ(Written("; no line end", "S", "K", "V"), "; no line end\r\n[S]\r\nK=V\r\n");
}

TEST(ProfileEngine, LastLineWithoutLineEndGetsOneBeforeAnything) {
  EXPECT_EQ(Written("[S]\nA=1", "S", "B", "2"), "[S]\nA=1\nB=2\n");
  EXPECT_EQ(Written("[S]\nA=1", "T", "B", "2"), "[S]\nA=1\n[T]\nB=2\n");
  EXPECT_EQ(Written("[S]", "S", "B", "2"), "[S]\r\nB=2\r\n");
  EXPECT_EQ(Written("[S]\nA=1", "S", "A", "2"), "[S]\nA=2");  // replaced in place
}

TEST(ProfileEngine, OtherBytesAreCarriedThrough) {
  const char raw[] = "[S]\nbin=\0\x01\xff\n\rloose\rcr\n[T]\n";
  const std::string text(raw, sizeof raw - 1);
  const std::string out = Written(text, "T", "k", "v");
  EXPECT_EQ(out, text + "k=v\n");
  const std::string long_value(1 << 20, 'x');
  EXPECT_EQ(Value(Written(text, "S", "long", long_value), "S", "long"), long_value);
}

TEST(ProfileEngine, DeleteRemovesExactlyTheFirstMatchingLine) {
  const std::string text = "[S]\r\nA=1\r\n;A=c\r\nB=2\r\na = 3\r\n[T]\r\nA=4\r\n";
  EXPECT_EQ(Deleted(text, "s", "a"), "[S]\r\n;A=c\r\nB=2\r\na = 3\r\n[T]\r\nA=4\r\n");
  EXPECT_EQ(Deleted(text, "S", "missing"), text);
  EXPECT_EQ(Deleted(text, "Missing", "A"), text);
  EXPECT_EQ(Deleted("[S]\nA=1\nB=2", "S", "B"), "[S]\nA=1\n");
  EXPECT_EQ(Deleted("", "S", "B"), "");
}

TEST(ProfileEngine, SectionDeleteRemovesEveryCopyFromHeaderToNextHeader) {
  struct Case {
    const char* text;
    const char* section;
    const char* expected;
  };
  const Case cases[] = {
      // The header, its keys, and the comments and blanks before the next
      // header go; what precedes the header stays.
      {"; top\r\n[A]\r\nx=1\r\n\r\n; about V\r\n[V]\r\nk=1\r\n;c\r\n\r\n[B]\r\ny=2\r\n", "v",
       "; top\r\n[A]\r\nx=1\r\n\r\n; about V\r\n[B]\r\ny=2\r\n"},
      // Every copy, whatever its spelling; the bytes between copies are kept.
      {"[V]\na=1\n[A]\nx=1\n  [ v ] old\nb=2\n[B]\n[V]\nc=3", "V", "[A]\nx=1\n[B]\n"},
      {"[V]\n[V]\n[v]\n", "V", ""},
      // Last section, with and without a line end; after a byte-order mark.
      {"[A]\nx=1\n[V]\nk=1", "V", "[A]\nx=1\n"},
      {"\xEF\xBB\xBF[V]\r\nk=1\r\n[A]\r\n", "V", "\xEF\xBB\xBF[A]\r\n"},
      // Not a header of V: a key, a comment, a '[' inside a line, another name.
      {"[A]\nx [V]\n;[V]\nk=[V]\n[VV]\n[V_AB]\n", "V", "[A]\nx [V]\n;[V]\nk=[V]\n[VV]\n[V_AB]\n"},
      {"", "V", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SectionDeleted(c.text, c.section), c.expected) << c.text;
    ProfileEdit edit;
    EXPECT_EQ(PlanDeleteSection(c.expected, c.section, &edit), PlanResult::kNoChange) << c.text;
  }
}

// Edits of hostile files: the line the platform's reader takes for the key
// is the one replaced or removed, new lines end as the file's lines do, and
// a UTF-16 file is written in UTF-16.
struct EditCase {
  std::string text;
  const char* section;
  const char* key;
  const char* value;  // nullptr: delete
  std::string expected;
};

TEST(ProfileEngine, EditsTheLinesThePlatformsReaderMeans) {
  using namespace std::string_literals;
  const EditCase cases[] = {
      {"[S]\r\nE\r\nZ=1\r\n", "S", "E", "v", "[S]\r\nE=v\r\nZ=1\r\n"},
      {"[S]\r\nE\r\nE=v\r\n", "S", "e", nullptr, "[S]\r\nE=v\r\n"},
      {"[S]\r\nA\0b=1\r\n"s, "S", "a", "2", "[S]\r\nA=2\r\n"},
      {"[S]\rA=1\rB=2", "S", "Z", "v", "[S]\rA=1\rB=2\rZ=v\r"},
      {"[S]\rA=1\rB=2\r", "S", "A", nullptr, "[S]\rB=2\r"},
      {"[S]\nA=1\r[T]\nB=2\n", "T", "C", "3", "[S]\nA=1\r[T]\nB=2\nC=3\n"},
      {"[S]\nA=1\r[T]\nB=2\n", "S", "B", "3", "[S]\nA=1\rB=3\n[T]\nB=2\n"},
      {"; x\r\r\n[S]\r\r\n", "S", "K", "V", "; x\r\r\n[S]\r\r\nK=V\r\r\n"},
      {"[S]\r\nA=1\r", "T", "K", "v", "[S]\r\nA=1\r[T]\r\nK=v\r\n"},
      {"\v[\vS\v]\f\r\n\x1a A\v=1\r\n", "S", "A", "2", "\v[\vS\v]\f\r\nA=2\r\n"},
      {"[ S \0 ]\r\nA=1\r\n"s, "S", "A", "2", "[ S \0 ]\r\nA=1\r\n[S]\r\nA=2\r\n"s},
      {"[S\r\nA=1\r\n", "S", "A", "2", "[S\r\nA=1\r\n[S]\r\nA=2\r\n"},
      {"[S]\r\n;A=1\r\n", "S", "A", "2", "[S]\r\nA=2\r\n;A=1\r\n"},
      {Utf16(u"[S]\r\nA=1\r\n"), "S", "C", "x\xc3\xa9", Utf16(u"[S]\r\nA=1\r\nC=x\u00e9\r\n")},
      {Utf16(u"[S]\nA=\u4e00\n", true), "s", "a", "2", Utf16(u"[S]\nA=2\n", true)},
      {Utf16(u"[S]\r\nA=1\r\n"), "S", "A", nullptr, Utf16(u"[S]\r\n")},
      {Utf16(u""), "S", "K", "\xf0\x9f\x98\x80", Utf16(u"[S]\r\nK=\xd83d\xde00\r\n")},
      {Utf16(u""), "S", "K", "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xef\xbf\xbf",
       Utf16(u"[S]\r\nK=\xd800\xdc00\xdbff\xdfff\xffff\r\n")},
  };
  for (const EditCase& c : cases) {
    const std::string out =
        c.value ? Written(c.text, c.section, c.key, c.value) : Deleted(c.text, c.section, c.key);
    EXPECT_EQ(out, c.expected) << "[" << c.section << "] " << c.key << " in\n" << c.text;
    if (c.value) {
      EXPECT_EQ(Value(out, c.section, c.key), c.value);
    }
  }
}

// A line held out goes back as its own bytes: where it was when nothing
// changed, else next to the lines that surrounded it, in this order.
TEST(ProfileEngine, PutsAHeldLineBackNextToWhatSurroundedIt) {
  const std::string padded = "[S]\r\nA=1\r\n  k = v \r\nB=2\r\n";
  const struct {
    std::string original, changed, expected;
  } cases[] = {
      {padded, "[S]\r\nA=1\r\nB=2\r\n", padded},  // unchanged: where it was
      {padded, padded, padded},                   // back already: not written again
      {padded, "[S]\r\nX=9\r\nA=1\r\nB=2\r\n", "[S]\r\nX=9\r\nA=1\r\n  k = v \r\nB=2\r\n"},
      {padded, "[S]\r\nB=2\r\nC=3\r\n", "[S]\r\n  k = v \r\nB=2\r\nC=3\r\n"},
      {padded, "[S]\r\nC=3\r\n\r\n[T]\r\n", "[S]\r\nC=3\r\n  k = v \r\n\r\n[T]\r\n"},
      {padded, "[T]\r\nx=1", "[T]\r\nx=1\r\n[S]\r\n  k = v \r\n"},
      {padded, "[S]\r\nB=2\r\nK=w\r\n", "[S]\r\nB=2\r\n  k = v \r\n"},
      {"[S]\nA=1\nK=v", "[S]\nA=1\nZ=1\n", "[S]\nA=1\nK=v\nZ=1\n"},
      {Utf16(u"[S]\r\nK=\xdc00\r\nB=2\r\n"), Utf16(u"[S]\r\nB=2\r\n"),
       Utf16(u"[S]\r\nK=\xdc00\r\nB=2\r\n")},
      // Of neighbours spelled alike, the one it stood by, not the first.
      {"[S]\r\nA=1\r\n\r\nB=2\r\n\r\nK=v\r\nC=3\r\n[T]\r\n",
       "[S]\r\nA=1\r\n\r\nB=2\r\n\r\nC=3\r\n[T]\r\nx=1\r\n",
       "[S]\r\nA=1\r\n\r\nB=2\r\n\r\nK=v\r\nC=3\r\n[T]\r\nx=1\r\n"},
      {"[S]\r\n;\r\nA=1\r\n;\r\nK=v\r\n", "[S]\r\n;\r\nA=1\r\n;\r\nZ=0\r\n",
       "[S]\r\n;\r\nA=1\r\n;\r\nK=v\r\nZ=0\r\n"},
      {"[S]\r\n;\r\nP=0\r\nK=v\r\n;\r\n", "[S]\r\n;\r\nA=1\r\n;\r\n",
       "[S]\r\n;\r\nA=1\r\nK=v\r\n;\r\n"},
  };
  for (const auto& c : cases) {
    HeldLine held;
    ProfileEdit edit;
    ASSERT_EQ(PlanHoldOut(c.original, "S", "K", &held, &edit), PlanResult::kChange);
    const PlanResult planned = PlanPutBack(c.changed, "S", "K", held, &edit);
    ASSERT_EQ(planned, c.changed == c.expected ? PlanResult::kNoChange : PlanResult::kChange);
    if (planned == PlanResult::kChange) {
      EXPECT_EQ(ApplyEdit(c.changed, edit), c.expected) << c.changed;
    }
  }
}

TEST(ProfileEngine, RefusesWhatItCannotWriteSafelyAndSaysWhy) {
  using namespace std::string_literals;
  const std::string text = "[S]\nK=V\n";
  const std::string_view bad_sections[] = {"",   "a\rb", "a\nb", "a\0b"sv, "a]b",
                                           " S", "S\t",  "\vS",  "S\f",    "\x1aS"};
  const std::string_view bad_keys[] = {"",   "a\nb", "a\0b"sv, "a=b", "[k",   ";k",
                                       " K", "K ",   "\vK",    "K\f", "K\x1a"};
  const std::string_view bad_values[] = {"a\rb", "a\nb", "a\0b"sv};
  ProfileEdit edit;
  for (auto s : bad_sections) {
    EXPECT_EQ(PlanWrite(text, s, "K", "V", &edit), PlanResult::kRefused) << s;
    EXPECT_EQ(PlanDelete(text, s, "K", &edit), PlanResult::kRefused) << s;
    EXPECT_EQ(PlanDeleteSection(text, s, &edit), PlanResult::kRefused) << s;
  }
  for (auto k : bad_keys) {
    EXPECT_EQ(PlanWrite(text, "S", k, "V", &edit), PlanResult::kRefused) << k;
    EXPECT_EQ(PlanDelete(text, "S", k, &edit), PlanResult::kRefused) << k;
  }
  for (auto v : bad_values) EXPECT_EQ(PlanWrite(text, "S", "K", v, &edit), PlanResult::kRefused);

  // Files and text it leaves alone, with the reason it gives.
  struct Refusal {
    std::string text;
    const char* section;
    const char* key;
    const char* value;  // nullptr: delete
    const char* reason_holds;
  };
  const std::string odd_utf16 = Utf16(u"[S]\r\nK=V\r\n") + "x";
  const Refusal refusals[] = {
      {odd_utf16, "S", "K", "W", "odd number of bytes"},
      {odd_utf16, "S", "K", nullptr, "odd number of bytes"},
      {Utf16(u"[S]\r\n"), "S\xc3\xa9", "K", "V", "not plain ASCII"},
      {Utf16(u"[S]\r\n"), "S", "K\xe9", nullptr, "not plain ASCII"},
      {Utf16(u"[S]\r\n"), "S", "K", "caf\xe9", "not valid UTF-8"},
      {Utf16(u"[S]\r\n"), "S", "K", "\xed\xa0\x80", "not valid UTF-8"},
      {"\xef\xbb\xbf[S]\r\n", "S", "K", "caf\xe9", "not valid UTF-8"},
      {"\xef\xbb\xbf[S]\r\n", "S", "K", "\xc0\xaf", "not valid UTF-8"},
      {"\xef\xbb\xbf[S]\r\n", "S\xff", "K", nullptr, "not valid UTF-8"},
  };
  for (const Refusal& r : refusals) {
    ProfileEdit refused;
    const PlanResult result = r.value ? PlanWrite(r.text, r.section, r.key, r.value, &refused)
                                      : PlanDelete(r.text, r.section, r.key, &refused);
    ASSERT_EQ(result, PlanResult::kRefused) << r.text;
    ASSERT_NE(refused.reason, nullptr);
    EXPECT_NE(std::string(refused.reason).find(r.reason_holds), std::string::npos)
        << refused.reason;
  }
  EXPECT_NE(ProfileTextRefusal(odd_utf16), nullptr);
  EXPECT_EQ(Value(odd_utf16, "S", "K"), "<none>");

  // What stays allowed: blanks and quotes inside values, an empty value,
  // 8-bit text in an 8-bit file.
  EXPECT_EQ(Value(Written(text, "S", "K", " a \"b\" "), "S", "K"), "a \"b\"");
  EXPECT_EQ(Value(Written(text, "S", "K", ""), "S", "K"), "");
  EXPECT_EQ(Value(Written(text, "S\xe9", "K\xff", "caf\xe9"), "S\xe9", "K\xff"), "caf\xe9");
}

// Files that people and installers make are always edited, never refused.
TEST(ProfileEngine, EditsEveryOrdinaryFile) {
  const std::string files[] = {
      "",
      "[Services]\r\nMSPST AB=Personal Address Book\r\n",
      "[Services]\nMSPST AB=Personal Address Book\n",
      "\xef\xbb\xbf; written by an installer\r\n[Services]\r\nMSPST AB=Personal Address Book",
      "; comment\r\n\r\n[Services]\r\n\tMSPST AB  =  \"Personal Address Book\"  \r\n\r\n"
      "[Default Services]\r\nMSPST AB='Personal Address Book'\r\n",
      "[Services]\r\nMSPST AB=Pers\xf6nliches Adressbuch\r\n",
      "\xef\xbb\xbf[Services]\r\nMSPST AB=Pers\xc3\xb6nliches Adressbuch\r\n",
  };
  for (const std::string& text : files) {
    EXPECT_EQ(ProfileTextRefusal(text), nullptr);
    const std::string written = Written(text, "VRQPN", "PR_SERVICE_DLL_NAME", "C:\\QP\\vrqpn.dll");
    EXPECT_EQ(Value(written, "VRQPN", "PR_SERVICE_DLL_NAME"), "C:\\QP\\vrqpn.dll");
    const std::string held_out = Deleted(written, "Services", "MSPST AB");
    EXPECT_EQ(Value(held_out, "Services", "MSPST AB"), "<none>");
    if (text.empty()) continue;
    const std::string back = Written(held_out, "Services", "MSPST AB", "Personal Address Book");
    EXPECT_EQ(Value(back, "Services", "MSPST AB"), "Personal Address Book") << text;
  }
}

}  // namespace
}  // namespace quillpost

namespace quillpost {
namespace {

// Differential: a change planned in one pass gives what its steps give
// planned and applied one by one, over texts whose first or last line, or
// whose sections, the steps change; and over random texts and steps from a
// few names, so that steps meet each other's sections.
TEST(ProfileEngine, AChangeInOnePassIsItsStepsOneByOne) {
  using S = ProfileStep;
  const std::vector<std::pair<std::string, std::vector<S>>> rows = {
      {"", {{S::kWrite, "A", "k", "1"}, {S::kWrite, "B", "k", "2"}, {S::kWrite, "A", "j", "3"}}},
      {"[A]", {{S::kWrite, "a", "k", "1"}, {S::kWrite, "B", "k", "2"}}},
      {"; no line end", {{S::kWrite, "A", "k", "1"}, {S::kDeleteSection, "A", "", ""}}},
      {"[A]\nk=1\n[B]\r\nk=2\r\n[a]\nk=3",
       {{S::kDeleteSection, "A", "", ""}, {S::kWrite, "B", "n", "4"}, {S::kWrite, "A", "k", "5"}}},
      {"[A]\r\r\nk=1\n[A]\nk=2\nk=3\n",
       {{S::kDeleteEveryKey, "A", "K", ""},
        {S::kWrite, "A", "k", "1"},
        {S::kDelete, "A", "k", ""}}},
      {"[A]\nk=1\n", {{S::kDeleteSection, "A", "", ""}, {S::kWrite, "A", "k", "1"}}},
      {"\xEF\xBB\xBF[A]\r\nk=1",
       {{S::kWrite, "A", "j", "\xC3\xA9"}, {S::kWrite, "A", "x", "\xE9"}}},
      {Utf16(u"[A]\r\nk=\u00e9\r\n[B]\r\n"),
       {{S::kWrite, "B", "k", "\xC3\xA9"},
        {S::kDeleteSection, "A", "", ""},
        {S::kWrite, "C", "k", "1"}}},
      {std::string("\xFF\xFE[\0", 4), {{S::kWrite, "A", "k", "1"}}},
      // The same size again, other bytes between the edits.
      {"[A]\nx=1\n[B]\nfoo[A]\nx=1\n",
       {{S::kDeleteSection, "A", "", ""}, {S::kWrite, "A", "x", "1"}}},
      // The first line's line end, given by an append, once the line is first.
      {"[A]\n[B]",
       {{S::kWrite, "C", "k", "1"}, {S::kDeleteSection, "A", "", ""}, {S::kWrite, "D", "k", "1"}}},
  };
  std::mt19937 engine(20261209);
  const auto random = [&engine] { return static_cast<unsigned>(engine()); };
  const char* const names[] = {"A", "a", "B", "C"};
  const char* const lines[] = {"[A]",       "[a]", " [B] ", "[C", "k=1",
                               "K = \"2\"", "j",   ";c",    "",   "x[A]"};
  const char* const ends[] = {"\r\n", "\n", "\r", "\r\r\n", ""};
  std::vector<std::pair<std::string, std::vector<S>>> all = rows;
  for (int i = 0; i < 400; ++i) {
    std::string text;
    for (unsigned n = random() % 8; n > 0; --n)
      text += std::string(lines[random() % 10]) + ends[random() % 5];
    std::vector<S> steps;
    for (unsigned n = 1 + random() % 6; n > 0; --n) {
      steps.push_back({static_cast<S::Kind>(random() % 4), names[random() % 4],
                       random() % 2 ? "k" : "j", std::to_string(random() % 3)});
    }
    all.emplace_back(text, steps);
  }
  for (const auto& [text, steps] : all) {
    SCOPED_TRACE(::testing::PrintToString(text));
    std::string one_by_one = text;
    const char* refused = nullptr;
    for (const S& step : steps) {
      ProfileEdit edit;
      const PlanResult r = PlanStep(one_by_one, step, &edit);
      if (r == PlanResult::kRefused) {
        refused = edit.reason;
        break;
      }
      if (r == PlanResult::kChange) one_by_one = ApplyEdit(one_by_one, edit);
    }
    ProfileChange change;
    const PlanResult r = PlanChange(text, steps, &change);
    if (refused != nullptr) {
      EXPECT_EQ(r, PlanResult::kRefused);
      EXPECT_EQ(change.reason, refused);
      continue;
    }
    EXPECT_EQ(r, one_by_one == text ? PlanResult::kNoChange : PlanResult::kChange);
    EXPECT_EQ(ApplyChange(text, change), one_by_one);
  }
}

}  // namespace
}  // namespace quillpost
