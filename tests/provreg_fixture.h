#pragma once

// The fixture of the black-box tests of provreg: the built program, run as
// a user would run it, against a system directory of its own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ascii_case.h"
#include "platform/profile_engine.h"
#include "tests/support/process.h"
#include "tests/support/system_dir.h"
#include "tests/support/temp_dir.h"

namespace quillpost {

using test::LaunchOptions;
using test::ProcessResult;
using test::ReadFileBytes;
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

inline const char kNormalFile[] =
    "[Services]\r\n"
    "VRQPN=Varnholt Quillpost\r\n"
    "[VRQPN]\r\n"
    "PR_DISPLAY_NAME=Varnholt Quillpost\r\n"
    "PR_RESOURCE_FLAGS=SERVICE_SINGLE_COPY\r\n"
    "Providers=VRQPN_AB, VRQPN_XP\r\n"
    "PR_SERVICE_DLL_NAME=C:\\QP\\vrqpn.dll\r\n"
    "PR_SERVICE_SUPPORT_FILES=C:\\QP\\vrqpn.dll\r\n"
    "PR_SERVICE_DELETE_FILES=C:\\QP\\vrqpn.dll\r\n"
    "PR_SERVICE_ENTRY_NAME=ServiceEntry\r\n"
    "WIZARD_ENTRY_NAME=QuillpostWizard\r\n"
    "[VRQPN_AB]\r\n"
    "PR_RESOURCE_TYPE=MAPI_AB_PROVIDER\r\n"
    "PR_RESOURCE_FLAGS=STATUS_PRIMARY_IDENTITY\r\n"
    "PR_PROVIDER_DLL_NAME=C:\\QP\\vrqpn.dll\r\n"
    "PR_PROVIDER_DISPLAY=Quillpost Address Book\r\n"
    "PR_DISPLAY_NAME=Quillpost Address Book\r\n"
    "[VRQPN_XP]\r\n"
    "PR_RESOURCE_TYPE=MAPI_TRANSPORT_PROVIDER\r\n"
    "PR_RESOURCE_FLAGS=STATUS_PRIMARY_IDENTITY\r\n"
    "PR_PROVIDER_DLL_NAME=C:\\QP\\vrqpn.dll\r\n"
    "PR_PROVIDER_DISPLAY=Quillpost Courier\r\n"
    "PR_DISPLAY_NAME=Quillpost Courier\r\n";

inline void ReplaceAll(std::string* s, const std::string& from, const std::string& to) {
  for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size())) {
    s->replace(at, from.size(), to);
  }
}

/// The file that one run writes into an empty system directory.
inline std::string DefinitionText(bool lite, const std::string& prefix) {
  std::string text = kNormalFile;
  ReplaceAll(&text, "C:\\QP\\vrqpn.dll", prefix + (lite ? "vrqpl.dll" : "vrqpn.dll"));
  if (lite) {
    ReplaceAll(&text, "VRQPN", "VRQPL");
    ReplaceAll(&text, "=Varnholt Quillpost\r", "=Varnholt Quillpost Lite\r");
  }
  return text;
}

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
  std::string Value(const std::string& section, const std::string& key) {
    const std::string text = File();
    std::string_view value;
    return FindProfileValue(text, section, key, &value) ? std::string(StripQuotes(value))
                                                        : "<none>";
  }

  /// Checks that the file holds every key of the edition's definition, and
  /// each of its sections once.
  void ExpectDefinition(bool lite, const std::string& prefix) {
    const std::string text = File();
    const std::string expected = DefinitionText(lite, prefix);
    std::string section;
    size_t begin = 0;
    for (size_t end; (end = expected.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
      const std::string line = expected.substr(begin, end - begin);
      if (line[0] == '[') {
        section = line.substr(1, line.size() - 2);
        EXPECT_EQ(text.find(line), text.rfind(line)) << line << " more than once";
        continue;
      }
      const size_t eq = line.find('=');
      EXPECT_EQ(Value(section, line.substr(0, eq)), line.substr(eq + 1)) << section << " " << line;
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
      std::string_view value;
      if (line[0] == '[') {
        section = line.substr(1, line.size() - 2);
      } else if (FindProfileValue(expected, section, line.substr(0, line.find('=')), &value)) {
        EXPECT_EQ(Value(section, line.substr(0, line.find('='))), StripQuotes(value)) << line;
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
