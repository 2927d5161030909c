#include "wizard_test/wizard_run.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "tests/support/fake_platform.h"
#include "wizard_test/wizard_entry.h"

namespace quillpost {
namespace {

using test::FakePlatform;

// What the fake wizard saw on its one call.
struct WizardCall {
  int count = 0;
  void* parent = reinterpret_cast<void*>(1);
  std::uint32_t flags = 0, capacity = 0;
  std::string services;
  std::string profile;  // all 256 bytes
  size_t calls_before = 0;
};
WizardCall g_call;
FakePlatform* g_platform = nullptr;

std::uint32_t QUILLPOST_WIZARD_CALL FakeWizard(void* parent, std::uint32_t flags,
                                               const char** services, std::uint32_t capacity,
                                               char* profile) {
  g_call.count++;
  g_call.parent = parent;
  g_call.flags = flags;
  g_call.capacity = capacity;
  for (const char** s = services; *s; ++s) g_call.services += std::string(*s) + ";";
  g_call.profile.assign(profile, 256);
  g_call.calls_before = g_platform->calls.size();
  std::strcpy(profile, "Renamed by the user");
  return 0x80004005u;  // a cancelled wizard is still a completed run
}

class WizardRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_call = WizardCall();
    g_platform = &platform_;
    platform_.library = &platform_;  // any non-null handle
    platform_.wizard = reinterpret_cast<void*>(&FakeWizard);
  }

  // Runs the test; returns the calls made, one a line, and sets |output_|.
  std::string Run(int expected_status) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(WizardTestRun(platform_, platform_), expected_status);
    output_ = testing::internal::GetCapturedStdout();
    std::ostringstream out;
    for (const auto& c : platform_.calls) {
      out << c.op;
      if (!c.key.empty()) out << " " << c.section << "|" << c.key << "|" << c.value;
      out << "\n";
    }
    return out.str();
  }

  FakePlatform platform_;
  std::string output_;
};

TEST_F(WizardRunTest, HeldEntryIsRemovedBeforeTheLookupAndWrittenBackAfter) {
  platform_.read_value = "Personal Address Book";
  EXPECT_EQ(Run(1),
            "open |mapi32.dll|\n"
            "read Services|MSPST AB|\n"
            "section\n"
            "guard Services|MSPST AB|Personal Address Book\n"
            "delete Services|MSPST AB|\n"
            "find |LAUNCHWIZARD|\n"
            "write Services|MSPST AB|Personal Address Book\n"
            "release\n"
            "close\n");
  EXPECT_EQ(output_, "");
  ASSERT_EQ(g_call.count, 1);
  EXPECT_EQ(g_call.calls_before, 6u);  // the wizard ran between lookup and write-back
  EXPECT_EQ(g_call.parent, nullptr);
  EXPECT_EQ(g_call.flags, 10u);
  EXPECT_EQ(g_call.capacity, 255u);
  EXPECT_EQ(g_call.services, "Varnholt Quillpost;");
  EXPECT_EQ(g_call.profile, std::string("Testing profile") + std::string(241, '\0'));
  const std::string path = test::kFakeConfigPath;
  for (const auto& c : platform_.calls) {
    if (!c.file.empty()) {
      EXPECT_EQ(c.file, path);
    }
  }
}

// Only a value that the write accepts and that reads back as the file
// spells it is held out; any other stays in place, one line says why, and
// the wizard runs all the same.
TEST_F(WizardRunTest, EntryThatCannotBePutBackExactlyStaysInPlace) {
  const std::string nul(1, '\0');
  struct Case {
    std::string read, section;  // what the file gives; section "" = from the read
    bool guard_stands, delete_fails;
    const char* why;  // nullptr: held out and written back
  };
  const Case cases[] = {
      {std::string(253, 'v'), "", true, false, nullptr},
      {"x", "  mspst ab  =  x  " + nul + "VRQPN=y" + nul, true, false, nullptr},
      {std::string(254, 'v'), "", true, false, "its value may be longer than 254 characters"},
      {"a" + nul + "b", "", true, false, "its value holds a byte that cannot be written back"},
      {"x\r", "", true, false, "its value holds a byte that cannot be written back"},
      {"x", "MSPST AB=\"x\"" + nul, true, false, "the read strips the quotes around its value"},
      {"\"x\"", "MSPST AB='\"x\"'" + nul, true, false,
       "the read strips the quotes around its value"},
      {"x", "MSPST AB=x" + nul + "MSPST AB=y" + nul, true, false,
       "the section holds it more than once"},
      {"x", "VRQPN=x" + nul + "MSPST ABC=x" + nul, true, false, "the section does not list it"},
      {"x", "MSPST AB=y" + nul, true, false, "its value does not read back as the file spells it"},
      {"x", "K=" + std::string(40000, 'v') + nul, true, false, "the section is too large to check"},
      {"x", "", false, false, "it cannot be guarded while the wizard runs"},
      {"x", "", true, true, "it could not be deleted: The file is read-only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why ? c.why : c.read);
    platform_.calls.clear();
    g_call = WizardCall();
    platform_.read_value = c.read;
    platform_.section_entries = c.section.empty() ? "<from read_value>" : c.section;
    platform_.guard_stands = c.guard_stands;
    platform_.delete_fails = c.delete_fails;
    const std::string calls = Run(1);
    EXPECT_EQ(g_call.count, 1);
    if (c.why == nullptr) {
      EXPECT_EQ(output_, "");
      EXPECT_NE(calls.find("delete Services|MSPST AB|\nfind"), std::string::npos) << calls;
      EXPECT_NE(calls.find("write Services|MSPST AB|" + c.read), std::string::npos) << calls;
      continue;
    }
    EXPECT_EQ(output_, "\"MSPST AB\" stays in section \"Services\" of \"" + test::kFakeConfigPath +
                           "\": " + c.why + "\n");
    EXPECT_EQ(calls.find("write"), std::string::npos) << calls;
    // The guard stands before the delete, and is released when it fails.
    if (c.delete_fails) {
      EXPECT_NE(calls.find("guard Services|MSPST AB|x\ndelete Services|MSPST AB|\nrelease\n"),
                std::string::npos)
          << calls;
    } else {
      EXPECT_EQ(calls.find("delete"), std::string::npos) << calls;
    }
  }
  // A missing or empty entry is left alone without a word.
  platform_.calls.clear();
  platform_.read_value = "";
  platform_.section_entries = "<from read_value>";
  EXPECT_EQ(Run(1),
            "open |mapi32.dll|\n"
            "read Services|MSPST AB|\n"
            "find |LAUNCHWIZARD|\n"
            "close\n");
  EXPECT_EQ(output_, "");
}

TEST_F(WizardRunTest, FailuresBeforeTheWizard) {
  platform_.library = nullptr;
  EXPECT_EQ(Run(0), "open |mapi32.dll|\n");
  EXPECT_EQ(output_, "Cannot load \"mapi32.dll\"\n");

  platform_.calls.clear();
  platform_.library = &platform_;
  platform_.have_system_dir = false;
  EXPECT_EQ(Run(0), "open |mapi32.dll|\nclose\n");
  EXPECT_EQ(output_, "Cannot get the windows system directory\n");

  platform_.calls.clear();
  platform_.have_system_dir = true;
  platform_.system_dir = std::string(248, 'd');  // no room left for the file name
  EXPECT_EQ(Run(0), "open |mapi32.dll|\nclose\n");
  EXPECT_EQ(output_, "The system directory is too long: at most 247 characters\n");

  platform_.calls.clear();
  platform_.system_dir = "C:\\W";
  platform_.wizard = nullptr;
  platform_.read_value = "PAB";
  EXPECT_EQ(Run(0),
            "open |mapi32.dll|\n"
            "read Services|MSPST AB|\n"
            "section\n"
            "guard Services|MSPST AB|PAB\n"
            "delete Services|MSPST AB|\n"
            "find |LAUNCHWIZARD|\n"
            "write Services|MSPST AB|PAB\n"
            "release\n"
            "close\n");
  EXPECT_EQ(output_, "Cannot find \"LAUNCHWIZARD\" function in the\"mapi32.dll\"\n");
  EXPECT_EQ(g_call.count, 0);
}

// A failed write-back, whatever failed it, is handed to the guard; what the
// guard made of it decides the status and what is said.
TEST_F(WizardRunTest, FailedWriteBackIsHandedToTheGuardAndReportedAsItEnded) {
  using H = EntryGuard::HandedOver;
  const struct {
    H handed;
    int status;
    const char* first;  // how the output starts: "" for no output at all
    bool released;
  } rows[] = {
      {H::kNo, 0, "Cannot restore \"MSPST AB\"", true},
      {H::kWaiting, 0, "\"MSPST AB\" will be written back", false},
      {H::kAtEnd, 0, "\"MSPST AB\" will be written back", false},
      {H::kWrittenBack, 1, "", false},
      {H::kFailed, 0, "", false},  // the guard has said what to put back
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.handed));
    platform_.calls.clear();
    platform_.read_value = "Personal Address Book";
    platform_.fail_write_at = static_cast<int>(&row - rows);  // a fresh failure each row
    platform_.handed_over = row.handed;
    Run(row.status);
    EXPECT_EQ(platform_.calls.end()[-2 - row.released].op, "hand over");
    EXPECT_EQ(platform_.calls.end()[-2].op, row.released ? "release" : "hand over");
    EXPECT_EQ(output_.rfind(row.first, 0), 0u) << output_;
    if (row.first[0] == '\0') {
      EXPECT_EQ(output_, "");
    }
    // Where a line asks for it, the value and the path to put back by hand.
    if (row.handed == H::kNo || row.handed == H::kWaiting || row.handed == H::kAtEnd) {
      EXPECT_NE(output_.find(platform_.guard_message), std::string::npos) << output_;
      EXPECT_NE(output_.find("MSPST AB=Personal Address Book\n"), std::string::npos);
      EXPECT_NE(output_.find("C:\\WINDOWS\\system32"), std::string::npos) << output_;
    }
    // Where nobody took it over, the platform's reason follows that line.
    EXPECT_EQ(output_.find(platform_.guard_message + "No space left on the device\n") !=
                  std::string::npos,
              row.handed == H::kNo)
        << output_;
  }
}

}  // namespace
}  // namespace quillpost
