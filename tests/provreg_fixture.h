#pragma once

// The fixture of the black-box tests of provreg: the built program, run as
// a user would run it, against a system directory of its own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

  test::TestSystemDir sys_;
  std::string file_ = sys_.file();
};

}  // namespace quillpost
