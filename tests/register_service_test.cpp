#include "registration/register_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "registration/front_end.h"
#include "registration/unregister_service.h"
#include "tests/support/fake_platform.h"

namespace quillpost {
namespace {

using test::FakePlatform;

SubsystemFile subsystem;  // where the messaging subsystem's own file is: none, here

// The writes as "section|key|value" lines, in the order they were made.
std::string Writes(const FakePlatform& platform) {
  std::ostringstream out;
  for (const auto& call : platform.calls) {
    out << call.op << " " << call.section << "|" << call.key << "|" << call.value << "\n";
  }
  return out.str();
}

// Each edition's 19 writes, exactly and in order; the Lite edition with an
// empty prefix, which leaves the bare DLL name in its five DLL values.
TEST(RegisterService, EachEditionMakesItsNineteenWritesInOrder) {
  struct Case {
    bool lite;
    const char* prefix;
    const char* writes;
  };
  const Case cases[] = {
      {false, "C:\\QP\\",
       "write Services|VRQPN|Varnholt Quillpost\n"
       "write VRQPN|PR_DISPLAY_NAME|Varnholt Quillpost\n"
       "write VRQPN|PR_RESOURCE_FLAGS|SERVICE_SINGLE_COPY\n"
       "write VRQPN|Providers|VRQPN_AB, VRQPN_XP\n"
       "write VRQPN|PR_SERVICE_DLL_NAME|C:\\QP\\vrqpn.dll\n"
       "write VRQPN|PR_SERVICE_SUPPORT_FILES|C:\\QP\\vrqpn.dll\n"
       "write VRQPN|PR_SERVICE_DELETE_FILES|C:\\QP\\vrqpn.dll\n"
       "write VRQPN|PR_SERVICE_ENTRY_NAME|ServiceEntry\n"
       "write VRQPN|WIZARD_ENTRY_NAME|QuillpostWizard\n"
       "write VRQPN_AB|PR_RESOURCE_TYPE|MAPI_AB_PROVIDER\n"
       "write VRQPN_AB|PR_RESOURCE_FLAGS|STATUS_PRIMARY_IDENTITY\n"
       "write VRQPN_AB|PR_PROVIDER_DLL_NAME|C:\\QP\\vrqpn.dll\n"
       "write VRQPN_AB|PR_PROVIDER_DISPLAY|Quillpost Address Book\n"
       "write VRQPN_AB|PR_DISPLAY_NAME|Quillpost Address Book\n"
       "write VRQPN_XP|PR_RESOURCE_TYPE|MAPI_TRANSPORT_PROVIDER\n"
       "write VRQPN_XP|PR_RESOURCE_FLAGS|STATUS_PRIMARY_IDENTITY\n"
       "write VRQPN_XP|PR_PROVIDER_DLL_NAME|C:\\QP\\vrqpn.dll\n"
       "write VRQPN_XP|PR_PROVIDER_DISPLAY|Quillpost Courier\n"
       "write VRQPN_XP|PR_DISPLAY_NAME|Quillpost Courier\n"},
      {true, "",
       "write Services|VRQPL|Varnholt Quillpost Lite\n"
       "write VRQPL|PR_DISPLAY_NAME|Varnholt Quillpost Lite\n"
       "write VRQPL|PR_RESOURCE_FLAGS|SERVICE_SINGLE_COPY\n"
       "write VRQPL|Providers|VRQPL_AB, VRQPL_XP\n"
       "write VRQPL|PR_SERVICE_DLL_NAME|vrqpl.dll\n"
       "write VRQPL|PR_SERVICE_SUPPORT_FILES|vrqpl.dll\n"
       "write VRQPL|PR_SERVICE_DELETE_FILES|vrqpl.dll\n"
       "write VRQPL|PR_SERVICE_ENTRY_NAME|ServiceEntry\n"
       "write VRQPL|WIZARD_ENTRY_NAME|QuillpostWizard\n"
       "write VRQPL_AB|PR_RESOURCE_TYPE|MAPI_AB_PROVIDER\n"
       "write VRQPL_AB|PR_RESOURCE_FLAGS|STATUS_PRIMARY_IDENTITY\n"
       "write VRQPL_AB|PR_PROVIDER_DLL_NAME|vrqpl.dll\n"
       "write VRQPL_AB|PR_PROVIDER_DISPLAY|Quillpost Address Book\n"
       "write VRQPL_AB|PR_DISPLAY_NAME|Quillpost Address Book\n"
       "write VRQPL_XP|PR_RESOURCE_TYPE|MAPI_TRANSPORT_PROVIDER\n"
       "write VRQPL_XP|PR_RESOURCE_FLAGS|STATUS_PRIMARY_IDENTITY\n"
       "write VRQPL_XP|PR_PROVIDER_DLL_NAME|vrqpl.dll\n"
       "write VRQPL_XP|PR_PROVIDER_DISPLAY|Quillpost Courier\n"
       "write VRQPL_XP|PR_DISPLAY_NAME|Quillpost Courier\n"},
  };
  const std::string path = test::kFakeConfigPath;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lite ? "lite" : "normal");
    FakePlatform platform;
    testing::internal::CaptureStdout();
    EXPECT_EQ(RegisterService(platform, c.lite, c.prefix, &subsystem), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(Writes(platform), c.writes);
    for (const auto& call : platform.calls) EXPECT_EQ(call.file, path);
  }
}

// A failed write fails the change: the front end names the file and the
// cause, once, with status 2.
TEST(ProvregMain, FailedWriteFailsTheChangeAndIsReportedOnce) {
  FakePlatform platform;
  platform.fail_write_at = 3;
  const char* args[] = {"provreg", "-norm"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProvregMain(platform, 2, args), 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot write the service definition to \"" +
                                                        test::kFakeConfigPath +
                                                        "\"\nNo space left on the device\n");
  EXPECT_EQ(platform.calls.size(), 19u);
}

TEST(RegisterService, NoUsableSystemDirectoryWritesNothing) {
  for (const size_t length : {size_t{0}, size_t{244}, size_t{254}, size_t{255}, size_t{4000}}) {
    FakePlatform platform;
    platform.have_system_dir = length != 0;
    platform.system_dir = std::string(length, 'd');
    testing::internal::CaptureStdout();
    EXPECT_EQ(RegisterService(platform, false, "", &subsystem), 0) << length;
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              length == 0 ? "Cannot get the windows system directory\n"
                          : "The system directory is too long: at most 243 characters\n");
    EXPECT_TRUE(platform.calls.empty());
  }
  // 243 characters still leave room for the separator and the file name.
  FakePlatform platform;
  platform.system_dir = std::string(243, 'd');
  EXPECT_EQ(RegisterService(platform, false, "", &subsystem), 1);
  EXPECT_EQ(platform.calls.at(0).file.size(), 255u);
}

// The front end in-process: what reaches the writer for each command line.
TEST(ProvregMain, PrefixRulesAndStatuses) {
  struct Case {
    std::vector<const char*> args;
    int status;
    const char* dll_value;  // "" when nothing may be written
  };
  const Case cases[] = {
      {{"provreg", "-NORM"}, 1, "vrqpn.dll"},
      {{"provreg", "-Lite", "C:\\QP"}, 1, "C:\\QP\\vrqpl.dll"},
      {{"provreg", "-lite", "C:\\QP\\"}, 1, "C:\\QP\\vrqpl.dll"},
      {{"provreg", "-lite", "C:\\QP\\\\"}, 1, "C:\\QP\\\\vrqpl.dll"},
      {{"provreg", "-lite", "C:/QP/"}, 1, "C:/QP/\\vrqpl.dll"},
      {{"provreg", "-norm", "C:\\QP", "extra"}, 1, "vrqpn.dll"},
      {{"provreg", "-norm", ""}, 1, "vrqpn.dll"},
      {{"provreg"}, 0, ""},
      {{"provreg", "-x", "C:\\QP"}, 0, ""},
      {{"provreg", "-normal"}, 0, ""},
      {{"provreg", "-norm", "C:\\Q\nP"}, 0, ""},
      {{"provreg", "-norm", "C:\\Q\x7fP"}, 0, ""},
  };
  for (const Case& c : cases) {
    FakePlatform platform;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ProvregMain(platform, static_cast<int>(c.args.size()), c.args.data()), c.status);
    testing::internal::GetCapturedStdout();
    if (c.dll_value[0] == '\0') {
      EXPECT_TRUE(platform.calls.empty());
    } else {
      ASSERT_EQ(platform.calls.size(), 19u);
      EXPECT_EQ(platform.calls[4].value, c.dll_value);
    }
  }
}

TEST(ProvregMain, PathDirLengthLimitIsExact) {
  // 245 characters plus the added backslash, or 246 ending in one: accepted.
  const std::string fits = std::string(245, 'p');
  const std::string fits_with_backslash = std::string(245, 'p') + "\\";
  for (const std::string& dir : {fits, fits_with_backslash}) {
    FakePlatform platform;
    const char* args[] = {"provreg", "-norm", dir.c_str()};
    EXPECT_EQ(ProvregMain(platform, 3, args), 1);
    EXPECT_EQ(platform.calls.at(4).value.size(), 255u);
  }
  for (const size_t length : {size_t{246}, size_t{300}, size_t{100000}}) {
    FakePlatform platform;
    const std::string dir(length, 'p');
    const char* args[] = {"provreg", "-norm", dir.c_str()};
    testing::internal::CaptureStdout();
    EXPECT_EQ(ProvregMain(platform, 3, args), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("246"), std::string::npos) << out;
    EXPECT_TRUE(platform.calls.empty());
  }
}

TEST(ProvregMain, FailureOfTheWriterIsStatusTwo) {
  FakePlatform platform;
  platform.have_system_dir = false;
  const char* args[] = {"provreg", "-norm"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(ProvregMain(platform, 2, args), 2);
  testing::internal::GetCapturedStdout();
}

// Removal: the entry first, then the three sections, each asked for
// whatever became of the others; the front end names the file and the
// cause when any failed.
TEST(UnregisterService, RemovesTheEntryThenTheSectionsOfEachEdition) {
  for (const bool lite : {false, true}) {
    const std::string name = lite ? "VRQPL" : "VRQPN";
    for (int fail_at = -1; fail_at < 4; ++fail_at) {
      SCOPED_TRACE(testing::Message() << name << " fail_at " << fail_at);
      FakePlatform platform;
      platform.fail_delete_at = fail_at;
      const char* args[] = {"provunreg", lite ? "-lite" : "-norm"};
      testing::internal::CaptureStdout();
      EXPECT_EQ(ProvunregMain(platform, 2, args), fail_at < 0 ? 1 : 2);
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_EQ(Writes(platform), "delete every Services|" + name + "|\ndelete section " + name +
                                      "||\ndelete section " + name + "_AB||\ndelete section " +
                                      name + "_XP||\n");
      const std::string path = test::kFakeConfigPath;
      for (const auto& call : platform.calls) EXPECT_EQ(call.file, path);
      EXPECT_EQ(out, fail_at < 0 ? ""
                                 : "Cannot remove the service definition from \"" + path +
                                       "\"\nThe file is read-only\n");
    }
  }
  FakePlatform platform;
  platform.have_system_dir = false;
  testing::internal::CaptureStdout();
  EXPECT_EQ(UnregisterService(platform, false, &subsystem), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot get the windows system directory\n");
  EXPECT_TRUE(platform.calls.empty());
}

TEST(ProvunregMain, ModeAndStatuses) {
  struct Case {
    std::vector<const char*> args;
    bool no_system_dir;
    int status;
    const char* removed;  // the service removed, "" when nothing may be touched
  };
  const Case cases[] = {
      {{"provunreg", "-NORM"}, false, 1, "VRQPN"},
      {{"provunreg", "-Lite", "C:\\QP", "extra"}, false, 1, "VRQPL"},
      {{"provunreg", "-lite"}, true, 2, ""},
      {{"provunreg"}, false, 0, ""},
      {{"provunreg", "-x", "-norm"}, false, 0, ""},
      {{"provunreg", "-normal"}, false, 0, ""},
  };
  for (const Case& c : cases) {
    FakePlatform platform;
    platform.have_system_dir = !c.no_system_dir;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ProvunregMain(platform, static_cast<int>(c.args.size()), c.args.data()), c.status);
    const std::string out = testing::internal::GetCapturedStdout();
    if (c.status == 0) {
      EXPECT_EQ(out.rfind("Must be one parameter :\n", 0), 0u) << out;
    }
    if (c.removed[0] == '\0') {
      EXPECT_TRUE(platform.calls.empty());
    } else {
      ASSERT_EQ(platform.calls.size(), 4u);  // every line of the key, 3 sections
      EXPECT_EQ(platform.calls[0].key, c.removed);
    }
  }
}

}  // namespace
}  // namespace quillpost

namespace quillpost {
namespace {

// The messaging subsystem's own file, where there is one, takes the same
// writes or removals in the same change, after the system directory's;
// one that is missing takes none; a line says which.
TEST(ProvregMain, TheSubsystemsOwnFileTakesTheSameChange) {
  using L = Platform::Located;
  const std::string own = "C:\\Program Files\\Mail\\Mapisvc.inf";
  // Too long a path for the profile functions: the run is abandoned.
  const char too_long[] =
      "The Mapisvc.inf the messaging subsystem reads has a path longer than 259 characters, which "
      "the platform's profile functions cannot take\n";
  const struct {
    bool unreg;
    L located;
    size_t calls;
    const char* said;  // the line, less the file's name
  } rows[] = {
      {false, L::kPresent, 38, "Also registered in \""},
      {false, L::kMissing, 19, "The messaging subsystem has no Mapisvc.inf at \""},
      {false, L::kNone, 19, ""},
      {true, L::kPresent, 8, "Also removed from \""},
      {true, L::kMissing, 4, ""},
      {false, L::kTooLong, 19, too_long},
      {true, L::kTooLong, 4, too_long},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.unreg << " " << static_cast<int>(row.located));
    FakePlatform platform;
    platform.located = row.located;
    platform.subsystem_file = own;
    const char* args[] = {row.unreg ? "provunreg" : "provreg", "-norm"};
    testing::internal::CaptureStdout();
    const int status =
        row.unreg ? ProvunregMain(platform, 2, args) : ProvregMain(platform, 2, args);
    const std::string out = testing::internal::GetCapturedStdout();
    if (row.located == L::kTooLong) {
      EXPECT_EQ(status, 2);
      EXPECT_EQ(out, row.said);
      EXPECT_TRUE(platform.abandoned);
      continue;
    }
    EXPECT_EQ(status, 1);
    ASSERT_EQ(platform.calls.size(), row.calls);
    EXPECT_FALSE(platform.asked_library);  // the stub of the system directory
    const size_t half = row.calls == 38 || row.calls == 8 ? row.calls / 2 : row.calls;
    for (size_t i = 0; i < row.calls; ++i) {
      EXPECT_EQ(platform.calls[i].file, i < half ? test::kFakeConfigPath : own) << i;
      if (i >= half) {
        EXPECT_EQ(platform.calls[i].key, platform.calls[i - half].key);
      }
    }
    if (row.said[0] == '\0') {
      EXPECT_EQ(out, "");
    } else {
      EXPECT_EQ(out.rfind(row.said + own + "\"", 0), 0u) << out;
      EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    }
  }
}

}  // namespace
}  // namespace quillpost
