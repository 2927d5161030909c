#pragma once

// The fixture of the black-box tests of provreg: the built program, run as
// a user would run it, against a system directory of its own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ascii_case.h"
#include "tests/support/process.h"
#include "tests/support/reference_reader.h"
#include "tests/support/service_definition.h"
#include "tests/support/system_dir.h"
#include "tests/support/temp_dir.h"

namespace quillpost {

using test::DefinitionText;
using test::kNormalFile;
using test::LaunchOptions;
using test::ProcessResult;
using test::ReadFileBytes;
using test::ReplaceAll;
using test::WriteFileBytes;

inline const char kUsage[] =
    "Must be one or two parameters :\n"
    "\t\"provreg.exe -norm <PathDir>\" (for normal) or\n"
    "\t\"provreg.exe -lite <PathDir>\" (for lite)\n"
    "\twhere PathDir is the path to the VRQPN.DLL";

inline const char kUnregisterUsage[] =
    "Must be one parameter :\n"
    "\t\"provunreg.exe -norm\" (for normal) or\n"
    "\t\"provunreg.exe -lite\" (for lite)\n"
    "\tto remove that edition of Varnholt Quillpost from Mapisvc.inf\n";

class ProvregTest : public ::testing::Test {
 protected:
  LaunchOptions Launch(std::vector<std::string> args) {
    args.insert(args.begin(), PROVREG_PATH);
    LaunchOptions launch;
    launch.argv = std::move(args);
    launch.env = sys_.Environment();
    return launch;
  }
  ProcessResult Run(std::vector<std::string> args) { return RunProcess(Launch(std::move(args))); }
  /// Runs provunreg instead.
  ProcessResult Unreg(std::vector<std::string> args) {
    LaunchOptions launch = Launch(std::move(args));
    launch.argv[0] = PROVUNREG_PATH;
    return RunProcess(launch);
  }

  std::string File() { return ReadFileBytes(file_); }
  /// The value of |key| in |section| as the tests' own reader reads it, or
  /// "<none>".
  std::string Value(const std::string& section, const std::string& key) {
    return test::ReadProfileValue(file_, section, key, "<none>");
  }

  /// Checks that the file holds every key of the edition's definition, and
  /// each of its sections once.
  void ExpectDefinition(bool lite, const std::string& prefix) {
    const std::string text = File();
    for (const test::DefinitionWrite& w : test::DefinitionWrites(lite, prefix)) {
      const std::string header = "[" + w.section + "]";
      EXPECT_EQ(text.find(header), text.rfind(header)) << header << " more than once";
      EXPECT_EQ(Value(w.section, w.key), w.value) << w.section << " " << w.key;
    }
  }

  /// Checks that the file now says what |expected| says: byte for byte where
  /// the programs keep the file's layout, else every key of |expected| reads
  /// the same.
  void ExpectFileSaysOnly(const std::string& expected) {
    if (test::ProgramsKeepFileLayout()) {
      EXPECT_EQ(File(), expected);
      return;
    }
    std::string section;
    size_t begin = 0;
    for (size_t end; (end = expected.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
      const std::string line = expected.substr(begin, end - begin);
      if (line[0] == '[') {
        section = line.substr(1, line.size() - 2);
        continue;
      }
      const std::string key = line.substr(0, line.find('='));
      if (const auto value = test::ReferenceValue(expected, section, key)) {
        EXPECT_EQ(Value(section, key), *value) << line;
      }
    }
  }

  /// Checks that nothing of the edition is left: no entry in "Services", no
  /// header of its sections in any spelling.
  void ExpectNoEdition(bool lite) {
    const std::string name = lite ? "vrqpl" : "vrqpn";
    EXPECT_EQ(Value("Services", name), "<none>");
    std::string text = File();
    for (char& c : text) c = AsciiToLower(c);
    for (const std::string suffix : {"", "_ab", "_xp"}) {
      EXPECT_EQ(text.find("[" + name + suffix + "]"), std::string::npos) << name + suffix;
    }
  }

  test::TestSystemDir sys_;
  std::string file_ = sys_.file();
};

using ProvunregTest = ProvregTest;

}  // namespace quillpost
