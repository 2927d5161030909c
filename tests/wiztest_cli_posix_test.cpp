// Black-box tests of wiztest on POSIX: where the library is looked for,
// signals while the entry is held out, and files that are not plain.

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tests/wiztest_fixture.h"

namespace quillpost {
namespace {

TEST_F(WiztestTest, NoSystemDirectory) {
  Install(STANDIN_PATH, program_.path());
  LaunchOptions launch = Launch();
  launch.env[0].second = "";  // QUILLPOST_SYSTEM_DIR unset
  const ProcessResult r = RunProcess(launch);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot get the windows system directory\n\nPress <Return>...\n");
}

TEST_F(WiztestTest, LibraryIsFoundBesideTheProgramThenInTheSystemDirectoryOnly) {
  Install(STANDIN_PATH, sys_.path());
  Install(NOENTRY_PATH, program_.path());
  LaunchOptions launch = Launch();
  EXPECT_EQ(RunProcess(launch).output, kNoEntryPoint);  // the one beside the program wins
  fs::remove(program_.Join("mapi32.dll"));
  EXPECT_EQ(RunProcess(launch).exit_status, 1);  // then the system directory's

  // Planted in the current directory, or reached by a relative path: never.
  fs::remove(sys_.path() + "/mapi32.dll");
  fs::remove(record_);
  Install(STANDIN_PATH, work_.path());
  launch.working_dir = work_.path();
  EXPECT_EQ(RunProcess(launch).output, kNoLibrary);
  launch.env[0].second = ".";
  EXPECT_EQ(RunProcess(launch).output, kNoLibrary);
  EXPECT_FALSE(fs::exists(record_));
}

// The entry is back the moment wiztest itself has ended by the fault: the
// file is read as soon as the process is reaped, not once its output closes
// (the guardian holds that open until it is done), and it is large enough
// that a write-back left to the guardian would still be under way then.
TEST_F(WiztestTest, CrashInTheWizardWritesTheEntryBackFirst) {
  Install(STANDIN_PATH, program_.path());
  std::string large = kHandEdited;
  for (int i = 0; large.size() < (5u << 20); ++i) {
    large += "[Filler " + std::to_string(i) + "]\r\nPR_DISPLAY_NAME=a service of some size\r\n";
  }
  for (const auto& [mode, sig] :
       {std::pair<std::string, int>{"crash", SIGSEGV}, {"abort", SIGABRT}}) {
    WriteFileBytes(file_, large);
    test::Child child(Launch(mode));
    const ProcessResult r = child.WaitForExit();
    EXPECT_EQ(Held(), "Personal Address Book") << mode;
    EXPECT_EQ(r.signal, sig) << mode;
  }
}

TEST_F(WiztestTest, InterruptionWritesTheEntryBackThenEndsByTheSignal) {
  Install(STANDIN_PATH, program_.path());
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
    SCOPED_TRACE(sig);
    WriteFileBytes(file_, kHandEdited);
    fs::remove(record_);
    test::Child child(Launch("wait"));
    ASSERT_TRUE(WaitForWizard());
    EXPECT_EQ(Held(), "<absent>");
    child.Kill(sig);
    // Back when wiztest has ended; after SIGKILL, once the guardian that sees
    // it go is done (and closes the output it holds).
    const ProcessResult r = sig == SIGKILL ? child.Wait() : child.WaitForExit();
    EXPECT_EQ(Held(), "Personal Address Book");
    EXPECT_EQ(r.signal, sig);
  }
}

// A FIFO of the name is neither waited on nor touched: there is no entry to
// hold out. A file bound over the name is held out and written back in place.
TEST_F(WiztestTest, FifoIsLeftAloneAndABindMountedFileIsHeldOut) {
  Install(STANDIN_PATH, program_.path());
  ASSERT_EQ(mkfifo(file_.c_str(), 0666), 0);
  ProcessResult r = RunProcess(Launch());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(Record()["mspst"], "<absent>");
  struct stat st;
  ASSERT_EQ(lstat(file_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  fs::remove(file_);
  fs::remove(record_);
  test::TempDir source_dir;
  const std::string source = source_dir.Join("real.inf");
  WriteFileBytes(source, kHandEdited);
  WriteFileBytes(file_, "");
  if (mount(source.c_str(), file_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount a file here (" << std::strerror(errno) << "); needs root";
  }
  r = RunProcess(Launch());
  const std::string held = Held();
  umount2(file_.c_str(), MNT_DETACH);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(Record()["mspst"], "<absent>");
  EXPECT_EQ(held, "Personal Address Book");
  EXPECT_EQ(test::ReferenceValue(ReadFileBytes(source), "Services", "MSPST AB"),
            "Personal Address Book");
}

// wiztest and provreg at once on one file: MSPST AB is never lost, and
// every provreg run lands.
TEST_F(WiztestTest, RacingProvregNeverLosesTheEntry) {
  Install(STANDIN_PATH, program_.path());
  WriteFileBytes(file_, kHandEdited);
  for (int i = 0; i < 30; ++i) {
    LaunchOptions provreg = Launch();
    provreg.argv = {PROVREG_PATH, i % 2 ? "-lite" : "-norm", "C:\\QP"};
    test::Child registering(provreg);
    EXPECT_EQ(RunProcess(Launch()).exit_status, 1);
    EXPECT_EQ(registering.Wait().exit_status, 1);
    EXPECT_EQ(Held(), "Personal Address Book") << "run " << i;
  }
  EXPECT_EQ(Value("VRQPL_XP", "PR_PROVIDER_DLL_NAME"), "C:\\QP\\vrqpl.dll");
  EXPECT_EQ(Value("VRQPN", "PR_SERVICE_DLL_NAME"), "C:\\QP\\vrqpn.dll");
}

}  // namespace
}  // namespace quillpost
