// A run on Windows is one change too: the k-th write of the platform's own
// profile functions is made to fail for real (the file held open, without
// sharing, by another handle for that one call), for every k of each run;
// afterwards the file reads, through GetPrivateProfile*A, exactly as before.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/native/win32_platform.h"
#include "registration/front_end.h"
#include "tests/support/service_definition.h"
#include "tests/support/temp_dir.h"

namespace quillpost {
namespace {

/// The platform's profile writes; the one numbered |fail_at| is made while
/// another handle holds the file without sharing it, as another program
/// may, and with |for_good| that handle stays open after it.
class HeldAtOneCall : public ProfileCalls {
 public:
  explicit HeldAtOneCall(std::string file) : file_(std::move(file)) {}
  ~HeldAtOneCall() override { Release(); }

  BOOL Write(const char* section, const char* key, const char* value, const char* file) override {
    return Around([&] { return ProfileCalls::Write(section, key, value, file); });
  }
  BOOL WriteSection(const char* section, const char* entries, const char* file) override {
    return Around([&] { return ProfileCalls::WriteSection(section, entries, file); });
  }
  void Release() {
    if (holder_ != INVALID_HANDLE_VALUE) CloseHandle(holder_);
    holder_ = INVALID_HANDLE_VALUE;
  }

  int fail_at = -1;
  bool for_good = false;
  int calls = 0;

 private:
  template <typename Call>
  BOOL Around(Call call) {
    const bool hold = calls++ == fail_at;
    if (hold) {
      holder_ = CreateFileA(file_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    const BOOL result = call();
    const DWORD error = GetLastError();
    if (hold && !for_good) Release();
    SetLastError(error);
    return result;
  }

  std::string file_;
  HANDLE holder_ = INVALID_HANDLE_VALUE;
};

/// The Windows adapter with its system directory in a test's directory.
class PlatformIn : public Win32Platform {
 public:
  // An undo that meets the file held waits a tenth of a second, not 20 s.
  PlatformIn(ProfileCalls& calls, std::string dir)
      : Win32Platform(calls, 100), dir_(std::move(dir)) {}
  // The arguments are the test's, not this process's command line.
  bool ArgumentsAsGiven(int, const char* const*) override { return true; }
  unsigned SystemDirectory(char* buffer, unsigned capacity) override {
    if (dir_.size() >= capacity) return static_cast<unsigned>(dir_.size() + 1);
    dir_.copy(buffer, dir_.size());
    buffer[dir_.size()] = '\0';
    return static_cast<unsigned>(dir_.size());
  }

 private:
  std::string dir_;
};

/// What every read of the platform's gives of |file|: the section names as
/// spelled, and in each section every key listed, as spelled, with the
/// value GetPrivateProfileStringA reads. A key's place in its section, and
/// the place of a section written back after its header went, are the
/// platform's to choose: both are sorted.
std::string AsThePlatformReadsIt(const std::string& file) {
  // Anything the platform kept of a failed write would be saved now.
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, file.c_str());
  std::vector<char> names(1 << 16), entries(1 << 16);
  char value[1024];
  const DWORD length = GetPrivateProfileSectionNamesA(names.data(), 1 << 16, file.c_str());
  std::set<std::string> sections;
  for (const char* name = names.data(); name < names.data() + length && *name;
       name += std::strlen(name) + 1) {
    const DWORD size = GetPrivateProfileSectionA(name, entries.data(), 1 << 16, file.c_str());
    std::set<std::string> keys;
    for (const char* entry = entries.data(); entry < entries.data() + size && *entry;
         entry += std::strlen(entry) + 1) {
      const std::string key(entry, std::strcspn(entry, "="));
      GetPrivateProfileStringA(name, key.c_str(), "<none>", value, sizeof value, file.c_str());
      keys.insert(key + "=" + value);
    }
    std::string read = "[" + std::string(name) + "]";
    for (const std::string& key : keys) read += " " + key;
    sections.insert(read + "\n");
  }
  std::string read;
  for (const std::string& section : sections) read += section;
  return read;
}

TEST(OneChangeWin32, EveryFailedWriteOfARunLeavesTheFileReadingAsBefore) {
  test::TempDir dir;
  const std::string file = dir.Join("Mapisvc.inf");
  const struct {
    std::vector<const char*> argv;
    const char* failure;  // the run's first line, less the file's name
  } runs[] = {
      {{"provreg", "-norm", "C:\\QP"}, "Cannot write the service definition to"},
      {{"provreg", "-lite", "C:\\QP"}, "Cannot write the service definition to"},
      {{"provunreg", "-norm"}, "Cannot remove the service definition from"},
      {{"provunreg", "-lite"}, "Cannot remove the service definition from"},
  };
  const char* const starts[] = {
      nullptr,  // missing
      "",
      test::kNormalFile,
      "[Services]\r\nVRQPL=Varnholt Quillpost Lite\r\n[VRQPL]\r\nPR_DISPLAY_NAME=L\r\n"
      "[VRQPL_XP]\r\nPR_PROVIDER_DISPLAY=Quillpost Courier\r\n",
      "; by hand\r\n[services]\r\nMSPST AB=PAB\r\n vrqpn = \"old\" \r\n[vrqpn]\r\nCustom= kept "
      "\r\nPR_DISPLAY_NAME='x'\r\n[VRQPN_AB]\r\nPR_RESOURCE_TYPE=\"MAPI_AB_PROVIDER\"\r\n"
      ";c\r\n[vrqpl_xp]\r\nk=\"1\"\r\nk=2\r\n",
  };
  int rows = 0;
  for (const auto& run : runs) {
    for (const char* start : starts) {
      SCOPED_TRACE(std::string(run.argv[0]) + run.argv[1] + " on " + (start ? start : "none"));
      const auto reset = [&] {
        DeleteFileA(file.c_str());
        if (start == nullptr) return;
        std::FILE* f = std::fopen(file.c_str(), "wb");
        std::fputs(start, f);
        std::fclose(f);
      };
      const auto make = [&](HeldAtOneCall* calls, std::string* output) {
        PlatformIn platform(*calls, dir.path());
        const int argc = static_cast<int>(run.argv.size());
        testing::internal::CaptureStdout();
        const int status = run.argv[0] == std::string("provreg")
                               ? ProvregMain(platform, argc, run.argv.data())
                               : ProvunregMain(platform, argc, run.argv.data());
        *output = testing::internal::GetCapturedStdout();
        return status;
      };
      reset();
      const std::string before = AsThePlatformReadsIt(file);
      HeldAtOneCall counter(file);
      std::string output;
      ASSERT_EQ(make(&counter, &output), 1) << output;
      const std::string line = std::string(run.failure) + " \"" + file + "\"\n";
      for (int k = 0; k < counter.calls; ++k, ++rows) {
        SCOPED_TRACE(k);
        reset();
        HeldAtOneCall calls(file);
        calls.fail_at = k;
        EXPECT_EQ(make(&calls, &output), 2);
        EXPECT_EQ(output, line + "Another program holds a lock on the file; gave up after 0 s\n");
        EXPECT_EQ(AsThePlatformReadsIt(file), before);
      }
      // Held for good from the last write on: the undo cannot be made, and
      // the second line names what is left.
      if (counter.calls == 0) continue;  // nothing to remove: no write at all
      reset();
      HeldAtOneCall stuck(file);
      stuck.fail_at = counter.calls - 1;
      stuck.for_good = true;
      EXPECT_EQ(make(&stuck, &output), 2);
      stuck.Release();
      EXPECT_EQ(output.rfind(line + "Another program holds a lock on the file; gave up after 0 s\n"
                                    "The file may still hold part of the change: [",
                             0),
                0u)
          << output;
      EXPECT_NE(output.find(" not restored\n"), std::string::npos) << output;
    }
  }
  std::printf("%d runs, each with one of its writes failed\n", rows);
}

}  // namespace
}  // namespace quillpost
