#pragma once

// The fixture of the black-box tests of provreg: the built program, run as
// a user would run it, against a system directory of its own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

  std::string File() { return ReadFileBytes(file_); }
  std::string Value(const std::string& section, const std::string& key) {
    const std::string text = File();
    std::string value;
    return ReadProfileValue(text, section, key, &value) ? value : "<none>";
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

  test::TestSystemDir sys_;
  std::string file_ = sys_.file();
};

}  // namespace quillpost
