// wiztest.exe under Wine: against Wine's own mapi32.dll, whose LAUNCHWIZARD
// is an unimplemented stub that raises an exception when called; against a
// stand-in wizard that ends the process or faults on another thread; and
// the guard's answer to console events, which Wine cannot raise without a
// console.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <thread>
#include <tuple>

#include "platform/guard/entry_guard.h"
#include "platform/guard/entry_guard_win32.h"
#include "platform/guard/update_in_progress.h"
#include "platform/platform.h"
#include "tests/support/fake_platform.h"
#include "tests/wiztest_fixture.h"

namespace quillpost {
namespace {

TEST_F(WiztestTest, WineStubWizardStillLeavesTheEntryWrittenBack) {
  test::WriteFileBytes(file_, kHandEdited);
  // Under any name but wiztest.exe, Wine gives the program its own library.
  const std::string renamed = program_.Join("wiztest-stub.exe");
  fs::copy_file(program_path_, renamed);
  LaunchOptions launch = Launch();
  launch.argv = {renamed};
  const ProcessResult r = RunProcess(launch);
  EXPECT_NE(r.exit_status, 1) << "the stub's exception must end the run";
  EXPECT_EQ(r.output.find("Press <Return>"), std::string::npos) << r.output;
  EXPECT_EQ(Held(), "Personal Address Book");
}

// ExitProcess, from the wizard's thread or another, and exit() end the
// process with the wizard's code, and the entry is back; so it is after a
// wizard that leaves the file held a moment by another thread.
TEST_F(WiztestTest, AWizardThatEndsTheProcessOrHoldsTheFileLeavesTheEntryBack) {
  Install(STANDIN_PATH, program_.path());
  for (const auto& [mode, code] : {std::pair<std::string, int>{"exitprocess:7", 7},
                                   {"thread-exitprocess:8", 8},
                                   {"exit:5", 5},
                                   {"hold:300", 1}}) {
    SCOPED_TRACE(mode);
    WriteFileBytes(file_, kHandEdited);
    const ProcessResult r = RunProcess(Launch(mode));
    EXPECT_EQ(r.exit_status, code);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(Held(), "Personal Address Book");
  }
}

// An exception on another thread than the wizard's writes the entry back
// once: with the file impossible to write, the line that says what to put
// back is printed once.
TEST_F(WiztestTest, AnExceptionOnAnotherThreadWritesTheEntryBackOnce) {
  Install(STANDIN_PATH, program_.path());
  WriteFileBytes(file_, kHandEdited);
  ProcessResult r = RunProcess(Launch("thread-crash"));
  EXPECT_EQ(static_cast<DWORD>(r.exit_status), EXCEPTION_ACCESS_VIOLATION);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(Held(), "Personal Address Book");

  WriteFileBytes(file_, kHandEdited);
  r = RunProcess(Launch("break,thread-crash"));
  EXPECT_EQ(static_cast<DWORD>(r.exit_status), EXCEPTION_ACCESS_VIOLATION);
  EXPECT_EQ(r.output,
            test::ConsoleText("Cannot restore \"MSPST AB\" in section \"Services\" of \"" + file_ +
                              "\"; put it back by hand: MSPST AB=Personal Address Book\n"));
}

// A Cyrillic value in a UTF-16 or UTF-8 file, under a code page without
// Cyrillic: the 8-bit functions read it as question marks every time, the
// wide ones as it is; it stays in place, and the file is as it was.
TEST_F(WiztestTest, AValueTheCodePageWouldChangeStaysInPlace) {
  if (GetACP() == CP_UTF8 || GetACP() == 1251) GTEST_SKIP() << "the code page holds Cyrillic";
  Install(STANDIN_PATH, program_.path());
  std::string utf16 = "\xFF\xFE";
  for (const char16_t c : std::u16string(u"[Services]\r\nMSPST AB=Адресная книга\r\n")) {
    utf16 += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  }
  for (const std::string& file :
       {utf16, std::string("\xEF\xBB\xBF[Services]\r\nMSPST AB=Адресная книга\r\n")}) {
    WriteFileBytes(file_, file);
    const ProcessResult r = RunProcess(Launch());
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.output,
              test::ConsoleText("\"MSPST AB\" stays in section \"Services\" of \"" + file_ +
                                "\": its value does not survive the system's code "
                                "page, which the write uses\n"));
    EXPECT_TRUE(ReadFileBytes(file_) == file);
  }
}

// The messaging subsystem's own file is beside the library the stub names,
// after either separator, printed with '\\'; never the system directory's
// own file, however the library's path spells that directory.
TEST(LocateSubsystemFile, BesideTheNamedLibraryButNeverTheSystemDirectorysOwn) {
  char system_dir[MAX_PATH];
  ASSERT_NE(GetSystemDirectoryA(system_dir, MAX_PATH), 0u);
  std::string upper = system_dir;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  test::TempDir own;
  WriteFileBytes(own.Join("Mapisvc.inf"), "[Services]\r\n");
  std::string own_slashes = own.path();
  std::replace(own_slashes.begin(), own_slashes.end(), '\\', '/');
  const struct {
    std::string library;
    Platform::Located located;
    std::string file;
  } rows[] = {
      {std::string(system_dir) + "\\olmapi32.dll", Platform::Located::kNone, ""},
      {upper + "\\olmapi32.dll", Platform::Located::kNone, ""},
      {std::string(system_dir) + "\\..\\system32\\.\\olmapi32.dll", Platform::Located::kNone, ""},
      {"\\\\?\\" + std::string(system_dir) + "\\olmapi32.dll", Platform::Located::kNone, ""},
      {std::string(system_dir) + "/olmapi32.dll", Platform::Located::kNone, ""},
      {"C:\\Program Files\\FakeMail/olmapi32.dll", Platform::Located::kMissing,
       "C:\\Program Files\\FakeMail\\Mapisvc.inf"},
      {own_slashes + "/olmapi32.dll", Platform::Located::kPresent, own.Join("Mapisvc.inf")},
  };
  HMODULE stub = LoadLibraryA(STANDIN_PATH);
  ASSERT_NE(stub, nullptr);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.library);
    _putenv(("STANDIN_SUBSYSTEM_DLL=" + row.library).c_str());
    char found[MAX_PATH] = "unchanged";
    EXPECT_EQ(NativePlatform().LocateSubsystemFile(stub, found, MAX_PATH), row.located);
    EXPECT_EQ(found, row.file);
  }
  _putenv("STANDIN_SUBSYSTEM_DLL=");
  FreeLibrary(stub);
}

/// A platform that notes any write made while the program's own update runs.
class WatchedPlatform : public test::FakePlatform {
 public:
  std::atomic<bool> updating{false};
  std::atomic<int> writes_during_update{0};
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* file) override {
    if (updating) ++writes_during_update;
    return FakePlatform::WriteString(section, key, value, file);
  }
};

// A console event runs on a thread of its own: one that arrives during an
// update of the file waits until the update is complete, then writes the
// entry back; the next finds it back and writes nothing. Each lets the
// process end as the event would.
TEST(EntryGuardWin32, AConsoleEventWaitsForTheUpdateInProgressAndWritesTheEntryBackOnce) {
  WatchedPlatform platform;
  ProcessEntryGuard guard(platform);
  ASSERT_TRUE(guard.Hold("Services", "MSPST AB", "PAB", "C:\\W\\Mapisvc.inf", "Cannot restore\n"));
  bool answers[2] = {true, true};
  std::thread event;
  {
    const UpdateInProgress update;
    platform.updating = true;
    event = std::thread([&] { answers[0] = OnConsoleEvent(CTRL_C_EVENT); });
    Sleep(100);  // every chance for the event to run meanwhile; nothing waits on it
    platform.updating = false;
  }
  event.join();
  std::thread([&] { answers[1] = OnConsoleEvent(CTRL_CLOSE_EVENT); }).join();
  guard.Release();
  EXPECT_FALSE(answers[0]);
  EXPECT_FALSE(answers[1]);
  EXPECT_EQ(platform.writes_during_update, 0);
  ASSERT_EQ(platform.calls.size(), 1u);
  EXPECT_EQ(platform.calls[0].value, "PAB");

  // Disarmed, an event writes nothing.
  std::thread([&] { answers[0] = OnConsoleEvent(CTRL_BREAK_EVENT); }).join();
  EXPECT_FALSE(answers[0]);
  EXPECT_EQ(platform.calls.size(), 1u);

  // On the thread whose update it cuts off (a fault there) it cannot tell
  // whether the update landed: it writes nothing, and says so.
  ASSERT_TRUE(guard.Hold("Services", "MSPST AB", "PAB", "C:\\W\\Mapisvc.inf", "Cannot restore\n"));
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 4096));
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, write_end);
  {
    const UpdateInProgress update;
    OnConsoleEvent(CTRL_C_EVENT);
  }
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  CloseHandle(write_end);
  char said[512];
  DWORD length = 0;
  ReadFile(read_end, said, sizeof said, &length, nullptr);
  CloseHandle(read_end);
  guard.Release();
  EXPECT_EQ(platform.calls.size(), 1u);
  EXPECT_EQ(
      std::string(said, length),
      "\"MSPST AB\" may be missing from section \"Services\" of \"C:\\W\\Mapisvc.inf\", whose "
      "update the process's end cut off; if it is, put it back by hand: MSPST AB=PAB\r\n");
}

// Each program carries its manifest (asInvoker, Vista to the current
// release) and its version resource, as the platform itself reads them.
TEST(ProgramResources, ManifestAndVersionReadBack) {
  for (const char* program : {PROVREG_PATH, PROVUNREG_PATH, WIZTEST_PATH}) {
    SCOPED_TRACE(program);
    DWORD ignored = 0;
    std::string info(GetFileVersionInfoSizeA(program, &ignored), '\0');
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoA(program, 0, static_cast<DWORD>(info.size()), info.data()));
    for (const auto& [name, want] :
         {std::pair<const char*, const char*>{"ProductName", "Varnholt Quillpost"},
          {"FileVersion", "1.0.0"},
          {"LegalCopyright", "Copyright (c) the Quillpost authors, MIT License"}}) {
      char* value = nullptr;
      UINT length = 0;
      const std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
      ASSERT_TRUE(
          VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length));
      EXPECT_STREQ(value, want);
    }
    const HMODULE image = LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    const HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, found))),
                               SizeofResource(image, found));
    for (const char* needle : {"level=\"asInvoker\"", "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
                               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
      EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
    }
    FreeLibrary(image);
  }
}

}  // namespace
}  // namespace quillpost
