// The messages of each manual page's DIAGNOSTICS section, kept honest: the
// page is rendered with groff, each row runs a program once, and every line
// it prints must be an entry of its page, with the exit status the entry
// gives; every entry must be printed by some row. A message or a status
// changed without its page fails here.

#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/other_user_posix.h"
#include "tests/wiztest_fixture.h"

namespace quillpost {
namespace {

/// One entry of a page's DIAGNOSTICS: the message as a pattern (each
/// <placeholder> matches any text) and the exit status its text gives.
struct Entry {
  std::string message;
  std::regex pattern;
  int status = -1;
  bool windows_only = false;  // its text says "On Windows only" or "on Windows only"
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
    std::string text;
    for (size_t j = i + 1; j < lines.size() && lines[j].rfind("              ", 0) == 0; ++j) {
      text += lines[j] + " ";
    }
    std::smatch status;
    if (std::regex_search(text, status, std::regex("Exit status ([0-9]+)"))) {
      e.status = std::stoi(status[1]);
    }
    e.windows_only = std::regex_search(text, std::regex("[Oo]n Windows only"));
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
  kLockLeftBehind,    // the wizard leaves a lock on the file behind
  kWizardSetuid,      // the wizard makes the process another user: root only
  kReadOnly,
  kStranger,
  kNoDir,
  kFull,
  kSizeLimit,
  kLocked,
  kLoop,
  kLongSystemDir,
  kNoCurrentDir  // a relative system directory, and a deleted current directory
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
  std::vector<Row> rows = {
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
       {"-norm", "C:\\QP\""},
       0,
       "PathDir must not hold a double quote (quoted, a PathDir that ends with a backslash needs "
       "two: \"C:\\QP\\\\\")"},
      {"provreg",
       PROVREG_PATH,
       SetUp::kNone,
       {"-lite", long_dir},
       0,
       "PathDir is too long: at most 246 bytes, its trailing backslash counted"},
      {"provreg",
       PROVREG_PATH,
       SetUp::kNone,
       {"-lite", "C:\\Program Files\\Varnholt\\Quillpost 2.1"},
       1,
       "Warning: the messaging subsystem of Outlook 2010 and later inserts \"32\" at the first "
       "period of the DLL's path, here in PathDir, and will not find the provider there"},
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
      {"wiztest", "", SetUp::kLocked, {}, 2, "Cannot read \"<file>\": <why>"},
      {"wiztest", "", SetUp::kLoop, {}, 2, "Cannot read \"<file>\": <why>"},
      {"wiztest",
       "",
       SetUp::kLockLeftBehind,  // waits out the lock wait
       {},
       2,
       "\"MSPST AB\" will be written back into section \"Services\" of \"<file>\" as soon as "
       "the lock on the file is released"},
      {"wiztest",
       "",
       SetUp::kWizardSetuid,
       {},
       2,
       "\"MSPST AB\" will be written back into section \"Services\" of \"<file>\" when wiztest "
       "has ended"},
  };
  std::set<std::string> skips;  // why rows could not run here
  if (std::string(GROFF_PATH).empty()) GTEST_SKIP() << "needs groff to render the pages";
  for (const char* page : {"provreg", "provunreg", "wiztest"}) {
    const char* program = page == std::string("provreg")     ? PROVREG_PATH
                          : page == std::string("provunreg") ? PROVUNREG_PATH
                                                             : "";
    rows.push_back({page,
                    program,
                    SetUp::kLongSystemDir,
                    {"-norm"},
                    2,
                    "The system directory is too long: at most <n> characters"});
    rows.push_back({page,
                    program,
                    SetUp::kNoCurrentDir,
                    {"-norm"},
                    2,
                    "Cannot get the windows system directory"});
    if (program[0] == '\0') continue;
    for (const auto set_up : {SetUp::kReadOnly, SetUp::kStranger, SetUp::kNoDir, SetUp::kFull,
                              SetUp::kSizeLimit, SetUp::kLocked, SetUp::kLoop}) {
      rows.push_back({page,
                      program,
                      set_up,
                      {"-norm", "C:\\QP"},
                      2,
                      page == std::string("provreg")
                          ? "Cannot write the service definition to \"<file>\""
                          : "Cannot remove the service definition from \"<file>\""});
    }
  }
  std::map<std::string, std::vector<Entry>> pages;
  std::map<std::string, std::set<std::string>> printed;
  for (const char* page : {"provreg", "provunreg", "wiztest"}) {
    pages[page] = PageDiagnostics(std::string(MAN_DIR) + "/" + page + ".1");
    ASSERT_FALSE(pages[page].empty()) << page << ".1 has no DIAGNOSTICS entries";
  }
  for (const Row& row : rows) {
    const std::string program = row.program[0] ? row.program : program_path_;
    SCOPED_TRACE(std::string(row.page) + " row " + std::to_string(&row - rows.data()));
    if (row.set_up == SetUp::kForeignLink && geteuid() != 0) {
      skips.insert("only root may plant another user's link");
      continue;
    }
    if (row.set_up == SetUp::kWizardSetuid && geteuid() != 0) {
      skips.insert("only root may become another user");
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
                                  : row.set_up == SetUp::kWizardSetuid   ? "setuid:65534"
                                                                         : "");
    launch.argv = {program};
    launch.argv.insert(launch.argv.end(), row.args.begin(), row.args.end());
    if (row.set_up == SetUp::kNoSystemDir) launch.env[0].second = "";
    if (row.set_up == SetUp::kLongSystemDir) launch.env[0].second = "/" + std::string(249, 'd');
    if (row.set_up == SetUp::kNoCurrentDir) {
      launch.env[0].second = "sys";
      launch.argv.insert(launch.argv.begin(), {"/bin/sh", "-c",
                                               "mkdir gone && cd gone && rmdir ../gone && "
                                               "exec \"$0\" \"$@\""});
      launch.working_dir = work_.path();
    }
    // The file of every cause row holds the normal edition, so that both
    // programs have something to change.
    if (row.set_up >= SetUp::kReadOnly) WriteFileBytes(file_, "[VRQPN]\r\nx=1\r\n");
    if (row.set_up == SetUp::kReadOnly) chmod(file_.c_str(), 0444);
    std::unique_ptr<test::OtherUserCopies> copies;
    if (row.set_up == SetUp::kStranger) {
      copies =
          std::make_unique<test::OtherUserCopies>(65534, 65534, std::vector<std::string>{program});
      if (!copies->why_not().empty()) {
        skips.insert(copies->why_not());
        continue;
      }
      chmod(file_.c_str(), 0644);
      copies->Prepare(&launch);
    }
    // A missing directory for provreg; for provunreg, which has nothing to
    // remove from a missing one, a file where the directory should be.
    if (row.set_up == SetUp::kNoDir) {
      launch.env[0].second = row.page == std::string("provreg") ? file_ + ".moved" : file_;
    }
    const std::string mounted = file_ + ".moved";
    if (row.set_up == SetUp::kFull) {
      fs::create_directory(mounted);
      if (mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=64k") != 0) {
        skips.insert(std::string("mounting a tmpfs failed: ") + std::strerror(errno));
        continue;
      }
      WriteFileBytes(mounted + "/Mapisvc.inf", std::string(40000, ';') + "\r\n[VRQPN]\r\nx=1\r\n");
      launch.env[0].second = mounted;
    }
    if (row.set_up == SetUp::kSizeLimit) {
      WriteFileBytes(file_, std::string(4000, ';') + "\r\n[VRQPN]\r\nx=1\r\n");
      launch.argv.insert(launch.argv.begin(), {"/bin/sh", "-c", "ulimit -f 2; exec \"$0\" \"$@\""});
    }
    const int held = row.set_up == SetUp::kLocked ? open(file_.c_str(), O_RDONLY) : -1;
    // A reader's lock keeps writers waiting; a writer's keeps readers too.
    if (held >= 0) flock(held, row.page == std::string("wiztest") ? LOCK_EX : LOCK_SH);
    if (row.set_up == SetUp::kLoop) {
      fs::remove(file_);
      fs::create_symlink(file_, file_);
    }
    const ProcessResult r = RunProcess(launch);
    if (held >= 0) close(held);
    if (row.set_up == SetUp::kFull) umount2(mounted.c_str(), MNT_DETACH);
    fs::remove(file_);
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
  if (!skips.empty()) {
    std::string why;
    for (const std::string& s : skips) why += (why.empty() ? "" : "; ") + s;
    GTEST_SKIP() << "not every entry was checked: rows skipped because " << why;
  }
  for (const auto& [page, entries] : pages) {
    for (const Entry& e : entries) {
      if (e.windows_only) continue;  // the Windows suites print these
      EXPECT_EQ(printed[page].count(e.message), 1u)
          << page << ".1 lists a message no row prints: " << e.message;
    }
  }
}

}  // namespace
}  // namespace quillpost
