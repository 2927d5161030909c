// The messages of each manual page's DIAGNOSTICS section, kept honest: the
// page is rendered with groff, each row runs a program once, and every line
// it prints must be an entry of its page, with the exit status the entry
// gives; every entry must be printed by some row. A message or a status
// changed without its page fails here.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>

#include "tests/wiztest_fixture.h"

namespace quillpost {
namespace {

/// One entry of a page's DIAGNOSTICS: the message as a pattern (each
/// <placeholder> matches any text) and the exit status its text gives.
struct Entry {
  std::string message;
  std::regex pattern;
  int status = -1;
};

std::string Rendered(const std::string& page) {
  const std::string command =
      std::string(GROFF_PATH) + " -man -Tascii -P-cbou -rLL=1000n -rHY=0 " + page + " 2>/dev/null";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

/// The entries of the DIAGNOSTICS section of the rendered |page|: a tag at
/// the section's indent followed by its text, indented further.
std::vector<Entry> PageDiagnostics(const std::string& page) {
  std::istringstream in(Rendered(page));
  std::vector<std::string> lines;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != ' ') inside = line == "DIAGNOSTICS";
    if (inside && !line.empty() && line[0] == ' ') lines.push_back(line);
  }
  std::vector<Entry> entries;
  const std::regex placeholder("<[^>]*>");
  const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i].rfind("       ", 0) != 0 || lines[i][7] == ' ') continue;  // not a tag
    if (lines[i + 1].rfind("              ", 0) != 0) continue;             // no text
    Entry e;
    e.message = lines[i].substr(7);
    std::string pattern;
    std::smatch m;
    std::string rest = e.message;
    while (std::regex_search(rest, m, placeholder)) {
      pattern += std::regex_replace(m.prefix().str(), special, R"(\$&)") + ".*";
      rest = m.suffix();
    }
    e.pattern = std::regex(pattern + std::regex_replace(rest, special, R"(\$&)"));
    std::smatch status;
    if (std::regex_search(lines[i + 1], status, std::regex("Exit status ([0-9]+)"))) {
      e.status = std::stoi(status[1]);
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

enum class SetUp {
  kNone,
  kNoSystemDir,
  kDirectory,
  kOddUtf16,
  kNoLibrary,
  kNoEntry,
  kLong,
  kBreak,
  kUntrustedLibrary,  // a group-writable mapi32.dll
  kForeignLink,       // another user's link as the file, in a sticky directory: root only
  kLockLeftBehind     // the wizard leaves a lock on the file behind
};

struct Row {
  const char* page;
  const char* program;
  SetUp set_up;
  std::vector<std::string> args;
  int status;
  const char* first;  // the page's entry that the first line printed must be
};

class Diagnostics : public WiztestTest {};

TEST_F(Diagnostics, EveryMessageOfEachPageIsPrintedWithItsStatus) {
  const std::string long_dir(300, 'd');
  const Row rows[] = {
      {"provreg", PROVREG_PATH, SetUp::kNone, {}, 0, "Must be one or two parameters :"},
      {"provreg",
       PROVREG_PATH,
       SetUp::kNone,
       {"-norm", "C:\\a\nb"},
       0,
       "PathDir must not hold control characters such as line breaks"},
      {"provreg",
       PROVREG_PATH,
       SetUp::kNone,
       {"-lite", long_dir},
       0,
       "PathDir is too long: at most 246 characters, its trailing backslash counted"},
      {"provreg",
       PROVREG_PATH,
       SetUp::kNoSystemDir,
       {"-norm"},
       2,
       "Cannot get the windows system directory"},
      {"provreg",
       PROVREG_PATH,
       SetUp::kDirectory,
       {"-norm"},
       2,
       "Cannot write the service definition to \"<file>\""},
      {"provreg",
       PROVREG_PATH,
       SetUp::kOddUtf16,
       {"-norm", "C:\\QP"},
       2,
       "Cannot write the service definition to \"<file>\""},
      {"provunreg", PROVUNREG_PATH, SetUp::kNone, {"-x"}, 0, "Must be one parameter :"},
      {"provunreg",
       PROVUNREG_PATH,
       SetUp::kNoSystemDir,
       {"-lite"},
       2,
       "Cannot get the windows system directory"},
      {"provunreg",
       PROVUNREG_PATH,
       SetUp::kDirectory,
       {"-lite"},
       2,
       "Cannot remove the service definition from \"<file>\""},
      {"wiztest", "", SetUp::kNoLibrary, {}, 2, "Cannot load \"mapi32.dll\""},
      {"wiztest", "", SetUp::kNoSystemDir, {}, 2, "Cannot get the windows system directory"},
      {"wiztest",
       "",
       SetUp::kNoEntry,
       {},
       2,
       "Cannot find \"LAUNCHWIZARD\" function in the\"mapi32.dll\""},
      {"wiztest",
       "",
       SetUp::kLong,
       {},
       1,
       "\"MSPST AB\" stays in section \"Services\" of \"<file>\": <why>"},
      {"wiztest",
       "",
       SetUp::kBreak,
       {},
       2,
       "Cannot restore \"MSPST AB\" in section \"Services\" of \"<file>\"; put it back by hand: "
       "MSPST AB=<value>"},
      {"provunreg",
       PROVUNREG_PATH,
       SetUp::kOddUtf16,
       {"-lite"},
       2,
       "Cannot remove the service definition from \"<file>\""},
      {"wiztest", "", SetUp::kUntrustedLibrary, {}, 2, "Cannot load \"mapi32.dll\""},
      {"provreg",
       PROVREG_PATH,
       SetUp::kForeignLink,
       {"-norm"},
       2,
       "Cannot write the service definition to \"<file>\""},
      {"provunreg",
       PROVUNREG_PATH,
       SetUp::kForeignLink,
       {"-norm"},
       2,
       "Cannot remove the service definition from \"<file>\""},
      {"wiztest", "", SetUp::kForeignLink, {}, 2, "Cannot read \"<file>\": <why>"},
      {"wiztest",
       "",
       SetUp::kLockLeftBehind,  // waits out the lock wait
       {},
       2,
       "\"MSPST AB\" will be written back into section \"Services\" of \"<file>\" as soon as "
       "the lock on the file is released"},
  };
  int skipped = 0;
  if (std::string(GROFF_PATH).empty()) GTEST_SKIP() << "needs groff to render the pages";
  std::map<std::string, std::vector<Entry>> pages;
  std::map<std::string, std::set<std::string>> printed;
  for (const char* page : {"provreg", "provunreg", "wiztest"}) {
    pages[page] = PageDiagnostics(std::string(MAN_DIR) + "/" + page + ".1");
    ASSERT_FALSE(pages[page].empty()) << page << ".1 has no DIAGNOSTICS entries";
  }
  for (const Row& row : rows) {
    const std::string program = row.program[0] ? row.program : program_path_;
    SCOPED_TRACE(std::string(row.page) + " row " + std::to_string(&row - rows));
    if (row.set_up == SetUp::kForeignLink && geteuid() != 0) {
      ++skipped;
      continue;
    }
    fs::remove_all(file_);
    fs::remove_all(file_ + ".moved");
    fs::remove(program_.Join("mapi32.dll"));
    if (row.page == std::string("wiztest") && row.set_up != SetUp::kNoLibrary) {
      Install(row.set_up == SetUp::kNoEntry ? NOENTRY_PATH : STANDIN_PATH, program_.path());
    }
    WriteFileBytes(file_, kHandEdited);
    if (row.set_up == SetUp::kDirectory) {
      fs::remove(file_);
      fs::create_directory(file_);
    }
    if (row.set_up == SetUp::kUntrustedLibrary) chmod(program_.Join("mapi32.dll").c_str(), 0775);
    if (row.set_up == SetUp::kForeignLink) {
      fs::remove(file_);
      ASSERT_EQ(chmod(sys_.path().c_str(), 01777), 0);
      ASSERT_EQ(symlink((file_ + ".moved").c_str(), file_.c_str()), 0);
      ASSERT_EQ(lchown(file_.c_str(), 4242, 4242), 0);
    }
    if (row.set_up == SetUp::kOddUtf16) WriteFileBytes(file_, std::string("\xFF\xFE[\0S\0]\0x", 9));
    if (row.set_up == SetUp::kLong) {
      WriteFileBytes(file_, "[Services]\r\nMSPST AB=" + std::string(300, 'v') + "\r\n");
    }
    LaunchOptions launch = Launch(row.set_up == SetUp::kBreak            ? "break"
                                  : row.set_up == SetUp::kLockLeftBehind ? "lock-file"
                                                                         : "");
    launch.argv = {program};
    launch.argv.insert(launch.argv.end(), row.args.begin(), row.args.end());
    if (row.set_up == SetUp::kNoSystemDir) launch.env[0].second = "";
    const ProcessResult r = RunProcess(launch);
    EXPECT_EQ(r.exit_status, row.status) << r.output;

    // Each line is a message; a line that starts with a tab continues the
    // one before it (the usage text), and an empty one comes before the pause.
    std::istringstream out(r.output);
    int messages = 0;
    for (std::string line; std::getline(out, line);) {
      if (line.empty() || line[0] == '\t') continue;
      ++messages;
      const Entry* found = nullptr;
      for (const Entry& e : pages[row.page]) {
        if (std::regex_match(line, e.pattern)) found = &e;
      }
      if (found == nullptr) {
        ADD_FAILURE() << "not in " << row.page << ".1 DIAGNOSTICS: " << line;
        continue;
      }
      if (messages == 1) {
        EXPECT_EQ(found->message, row.first);
      }
      printed[row.page].insert(found->message);
      EXPECT_EQ(found->status, row.status) << found->message;
    }
    EXPECT_GT(messages, 0) << "the row prints nothing";
  }
  if (skipped > 0) GTEST_SKIP() << skipped << " rows plant another user's link: root only";
  for (const auto& [page, entries] : pages) {
    for (const Entry& e : entries) {
      EXPECT_EQ(printed[page].count(e.message), 1u)
          << page << ".1 lists a message no row prints: " << e.message;
    }
  }
}

}  // namespace
}  // namespace quillpost
