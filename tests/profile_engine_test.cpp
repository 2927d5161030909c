#include "platform/profile_engine.h"

#include <gtest/gtest.h>

namespace quillpost {
namespace {

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
  std::string_view v;
  return FindProfileValue(text, section, key, &v) ? std::string(StripQuotes(v)) : "<none>";
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
  EXPECT_EQ(entries, std::string("Alpha=one two\0[broken header=x\0Quoted=\"  spaced  \"\0"
                                 "Single='q'\0Mismatched=\"q'\0Empty=\"\"\0alpha=second, ignored\0",
                                 108));
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

TEST(ProfileEngine, RefusesInputThatWouldInjectOrLoseLines) {
  const std::string text = "[S]\nK=V\n";
  const std::string_view bad_sections[] = {"a\rb", "a\nb", std::string_view("a\0b", 3),
                                           "a]b",  " S",   "S\t"};
  const std::string_view bad_keys[] = {"",   "a\nb", std::string_view("a\0b", 3), "a=b", "[k", ";k",
                                       " K", "K "};
  const std::string_view bad_values[] = {"a\rb", "a\nb", std::string_view("a\0b", 3)};
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
  // What stays allowed: blanks and quotes inside values, an empty value.
  EXPECT_EQ(Value(Written(text, "S", "K", " a \"b\" "), "S", "K"), "a \"b\"");
  EXPECT_EQ(Value(Written(text, "S", "K", ""), "S", "K"), "");
}

}  // namespace
}  // namespace quillpost
