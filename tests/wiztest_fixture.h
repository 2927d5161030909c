#pragma once

// The fixture of the black-box tests of wiztest: a copy of the built program
// in a directory of its own, beside which a test puts the stand-in messaging
// library it needs, run against a system directory of its own.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "platform/profile_engine.h"
#include "tests/support/process.h"
#include "tests/support/system_dir.h"
#include "tests/support/temp_dir.h"

namespace quillpost {

namespace fs = std::filesystem;
using test::LaunchOptions;
using test::ProcessResult;
using test::ReadFileBytes;
using test::WriteFileBytes;

inline const char kNoLibrary[] = "Cannot load \"mapi32.dll\"\n\nPress <Return>...\n";
inline const char kNoEntryPoint[] =
    "Cannot find \"LAUNCHWIZARD\" function in the\"mapi32.dll\"\n\nPress <Return>...\n";
inline const char kHandEdited[] =
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

  void SetUp() override { fs::copy_file(WIZTEST_PATH, program_path_); }

  LaunchOptions Launch(const std::string& mode = "") {
    LaunchOptions launch;
    launch.argv = {program_path_};
    launch.env = sys_.Environment();  // on POSIX, env[0] names the system directory
    launch.env.push_back({"STANDIN_RECORD", record_});
    launch.env.push_back({"STANDIN_MODE", mode});
    launch.input = "\n";
    return launch;
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
    std::string value;
    return ReadProfileValue(text, "Services", "MSPST AB", &value) ? value : "<absent>";
  }

  /// Waits until the stand-in says it is waiting inside the wizard.
  bool WaitForWizard() {
    for (int i = 0; i < 1000; ++i) {
      if (Record().count("waiting")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  test::TestSystemDir sys_;
  test::TempDir program_;
  test::TempDir work_;
  std::string program_path_ = program_.Join(fs::path(WIZTEST_PATH).filename().string());
  std::string file_ = sys_.file();
  std::string record_ = work_.Join("record.txt");
};

}  // namespace quillpost
