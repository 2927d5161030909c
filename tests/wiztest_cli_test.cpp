// Black-box tests: the built wiztest against the stand-in messaging library.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/profile_engine.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillpost {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::ProcessSpec;
using test::ReadFileBytes;
using test::WriteFileBytes;

const char kNoLibrary[] = "Cannot load \"mapi32.dll\"\n\nPress <Return>...\n";
const char kNoEntryPoint[] =
    "Cannot find \"LAUNCHWIZARD\" function in the\"mapi32.dll\"\n\nPress <Return>...\n";
const char kHandEdited[] =
    "; hand edited\r\n"
    "[Services]\r\n"
    "MSPST AB=Personal Address Book\r\n"
    "VRQPN=Varnholt Quillpost\r\n"
    "\r\n"
    "[Default Services]\r\n"
    "MSPST AB=Personal Address Book\r\n";

class WiztestTest : public ::testing::Test {
 protected:
  /// Puts a copy of a built library into |dir| as "mapi32.dll".
  static void Install(const std::string& library, const std::string& dir) {
    fs::copy_file(library, dir + "/mapi32.dll", fs::copy_options::overwrite_existing);
  }

  ProcessSpec Spec(const std::string& mode = "") {
    ProcessSpec spec;
    spec.argv = {WIZTEST_PATH};
    spec.env = {
        {"QUILLPOST_SYSTEM_DIR", sys_.path()}, {"STANDIN_RECORD", record_}, {"STANDIN_MODE", mode}};
    spec.input = "\n";
    return spec;
  }

  /// The stand-in's record of its call, key by key.
  std::map<std::string, std::string> Record() {
    std::map<std::string, std::string> fields;
    const std::string text = ReadFileBytes(record_);
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
      const std::string line = text.substr(begin, end - begin);
      const size_t eq = line.find('=');
      fields[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
    }
    return fields;
  }

  std::string Held() {
    const std::string text = ReadFileBytes(file_);
    std::string_view value;
    return FindProfileValue(text, "Services", "MSPST AB", &value) ? std::string(value) : "<absent>";
  }

  /// Waits until the stand-in says it is waiting inside the wizard.
  bool WaitForWizard() {
    for (int i = 0; i < 1000; ++i) {
      if (Record().count("waiting")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  test::TempDir sys_;
  test::TempDir work_;
  std::string file_ = sys_.Join("Mapisvc.inf");
  std::string record_ = work_.Join("record.txt");
};

TEST_F(WiztestTest, HeldEntryIsAbsentDuringTheWizardAndBackAfter) {
  Install(STANDIN_PATH, sys_.path());
  WriteFileBytes(file_, kHandEdited);
  for (const std::string mode : {"", "error", "rename"}) {
    SCOPED_TRACE(mode);
    fs::remove(record_);
    const ProcessResult r = RunProcess(Spec(mode));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.output, "");  // a successful run prints nothing
    auto record = Record();
    EXPECT_EQ(record["mspst"], "<absent>");
    EXPECT_EQ(record["parent"], "0");
    EXPECT_EQ(record["flags"], "10");
    EXPECT_EQ(record["services"], "Varnholt Quillpost;");
    EXPECT_EQ(record["capacity"], "255");
    EXPECT_EQ(record["profile"], "54657374696e672070726f66696c65" + std::string(482, '0'));
    EXPECT_EQ(Held(), "Personal Address Book");
  }
  // The entry is back with its value; only its place in the section moved.
  const std::string after = ReadFileBytes(file_);
  EXPECT_NE(after.find("VRQPN=Varnholt Quillpost\r\nMSPST AB=Personal Address Book\r\n\r\n"),
            std::string::npos)
      << after;
}

TEST_F(WiztestTest, MissingEmptyOrLongEntryIsLeftInPlace) {
  Install(STANDIN_PATH, sys_.path());
  const std::string long_value(300, 'v');
  const std::string files[] = {"[Services]\r\nVRQPN=x\r\n", "[Services]\r\nMSPST AB=\r\n",
                               "[Services]\r\nMSPST AB=" + long_value + "\r\n"};
  for (const std::string& text : files) {
    WriteFileBytes(file_, text);
    struct stat before, after;
    ASSERT_EQ(stat(file_.c_str(), &before), 0);
    fs::remove(record_);
    EXPECT_EQ(RunProcess(Spec()).exit_status, 1);
    ASSERT_EQ(stat(file_.c_str(), &after), 0);
    EXPECT_EQ(ReadFileBytes(file_), text);
    EXPECT_EQ(before.st_ino, after.st_ino) << "rewritten";
    EXPECT_EQ(Record()["mspst"], text == files[0] ? "<absent>" : Held().substr(0, 255));
  }
  // With no file at all, none is created.
  fs::remove(file_);
  EXPECT_EQ(RunProcess(Spec()).exit_status, 1);
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(WiztestTest, NoLibraryPausesAndLeavesTheFileAlone) {
  WriteFileBytes(file_, kHandEdited);
  ProcessSpec spec = Spec();
  spec.close_input = true;  // end of input ends the pause at once
  const ProcessResult r = RunProcess(spec);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, kNoLibrary);
  EXPECT_EQ(ReadFileBytes(file_), kHandEdited);
}

TEST_F(WiztestTest, NoSystemDirectory) {
  test::TempDir program;
  fs::copy_file(WIZTEST_PATH, program.Join("wiztest"));
  Install(STANDIN_PATH, program.path());
  ProcessSpec spec = Spec();
  spec.argv = {program.Join("wiztest")};
  spec.env = {{"QUILLPOST_SYSTEM_DIR", ""}};
  const ProcessResult r = RunProcess(spec);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot get the windows system directory\n\nPress <Return>...\n");
}

TEST_F(WiztestTest, NoEntryPointStillWritesTheEntryBack) {
  Install(NOENTRY_PATH, sys_.path());
  const std::string text = "[Services]\r\nVRQPN=x\r\nMSPST AB=PAB\r\n";
  WriteFileBytes(file_, text);
  const ProcessResult r = RunProcess(Spec());
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, kNoEntryPoint);
  EXPECT_EQ(ReadFileBytes(file_), text);
}

TEST_F(WiztestTest, LibraryIsFoundBesideTheProgramThenInTheSystemDirectoryOnly) {
  test::TempDir program;
  fs::copy_file(WIZTEST_PATH, program.Join("wiztest"));
  Install(STANDIN_PATH, sys_.path());
  Install(NOENTRY_PATH, program.path());
  ProcessSpec spec = Spec();
  spec.argv = {program.Join("wiztest")};
  EXPECT_EQ(RunProcess(spec).output, kNoEntryPoint);  // the one beside the program wins

  // Planted in the current directory, or reached by a relative path: never.
  fs::remove(sys_.Join("mapi32.dll"));
  fs::remove(program.Join("mapi32.dll"));
  Install(STANDIN_PATH, work_.path());
  spec.working_dir = work_.path();
  EXPECT_EQ(RunProcess(spec).output, kNoLibrary);
  spec.env[0].second = ".";
  EXPECT_EQ(RunProcess(spec).output, kNoLibrary);
  EXPECT_FALSE(fs::exists(record_));
}

TEST_F(WiztestTest, FailedWriteBackGivesTheValueAndPath) {
  Install(STANDIN_PATH, sys_.path());
  WriteFileBytes(file_, kHandEdited);
  const ProcessResult r = RunProcess(Spec("break"));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot restore \"MSPST AB\" in section \"Services\" of \"" + file_ +
                          "\"; put it back by hand: MSPST AB=Personal Address Book\n"
                          "\nPress <Return>...\n");
}

TEST_F(WiztestTest, CrashInTheWizardWritesTheEntryBackFirst) {
  Install(STANDIN_PATH, sys_.path());
  for (const auto& [mode, sig] :
       {std::pair<std::string, int>{"crash", SIGSEGV}, {"abort", SIGABRT}}) {
    WriteFileBytes(file_, kHandEdited);
    const ProcessResult r = RunProcess(Spec(mode));
    EXPECT_EQ(r.signal, sig) << mode;
    EXPECT_EQ(Held(), "Personal Address Book") << mode;
  }
}

TEST_F(WiztestTest, InterruptionWritesTheEntryBackThenEndsByTheSignal) {
  Install(STANDIN_PATH, sys_.path());
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
    SCOPED_TRACE(sig);
    WriteFileBytes(file_, kHandEdited);
    fs::remove(record_);
    test::Child child(Spec("wait"));
    ASSERT_TRUE(WaitForWizard());
    EXPECT_EQ(Held(), "<absent>");
    child.Kill(sig);
    const ProcessResult r = child.Wait();
    EXPECT_EQ(r.signal, sig);
    // Even SIGKILL: the guardian process sees its parent go and restores.
    for (int i = 0; i < 500 && Held() == "<absent>"; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Held(), "Personal Address Book");
  }
}

}  // namespace
}  // namespace quillpost
