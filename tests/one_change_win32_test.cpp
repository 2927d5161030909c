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
#include <thread>
#include <vector>

#include "platform/native/win32_platform.h"
#include "registration/front_end.h"
#include "tests/support/service_definition.h"
#include "tests/support/temp_dir.h"

namespace quillpost {
namespace {

constexpr DWORD kTestWaitMs = 2000;
const char kHeldLine[] = "Another program holds a lock on the file; gave up after 2 s\n";
const char kInterruptedLine[] =
    "Interrupted by a console event (Ctrl+C, Ctrl+Break, a closed console, logoff or shutdown)\n";

std::string AsThePlatformReadsIt(const std::string& file);

/// The platform's profile writes; the one numbered |fail_at| is made while
/// another handle holds the file without sharing it, as another program
/// may, for as long as the adapter waits for it, and with |for_good| for
/// the rest of the run. The adapter's waits pass at once.
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
  // The process would end here: what the file reads then, once the other
  // program lets go of it, is kept.
  void End(UINT code) override {
    ended_with = code;
    Release();
    read_at_end = AsThePlatformReadsIt(file_);
  }
  DWORD Now() override { return real_clock ? GetTickCount() : now_; }
  void Pause(DWORD ms) override { now_ += ms; }
  /// Holds the file for good from now on.
  void Hold() {
    for_good = true;
    Open();
  }
  void Release() {
    if (holder_ != INVALID_HANDLE_VALUE) CloseHandle(holder_);
    holder_ = INVALID_HANDLE_VALUE;
  }

  int fail_at = -1;
  bool for_good = false;
  DWORD hold_ms = kTestWaitMs + 1000;
  bool real_clock = false;  // for waits of the platform's own
  int calls = 0;
  // A console event arrives as the write numbered |interrupt_at| begins.
  int interrupt_at = -1;
  UINT ended_with = 0;
  std::string read_at_end;

 private:
  template <typename Call>
  BOOL Around(Call call) {
    // By default held past the wait and a pause more: the undo that follows
    // finds the file free.
    if (!for_good && holder_ != INVALID_HANDLE_VALUE && now_ - held_at_ > hold_ms) {
      Release();
    }
    if (calls == interrupt_at) {
      EXPECT_TRUE(InterruptChange());
    }
    if (calls++ == fail_at) Open();
    return call();
  }
  void Open() {
    holder_ = CreateFileA(file_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    held_at_ = now_;
  }

  std::string file_;
  HANDLE holder_ = INVALID_HANDLE_VALUE;
  DWORD now_ = 0, held_at_ = 0;
};

/// The Windows adapter with its system directory in a test's directory.
class PlatformIn : public Win32Platform {
 public:
  // A held file is waited for 2 s, not 20.
  PlatformIn(ProfileCalls& calls, std::string dir)
      : Win32Platform(calls, kTestWaitMs), dir_(std::move(dir)) {}
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

/// Runs provreg or provunreg, as |argv| says, with its system directory
/// |dir| and its writes made through |calls|; its output in |*output|.
int RunIn(const std::string& dir, HeldAtOneCall* calls, std::vector<const char*> argv,
          std::string* output) {
  PlatformIn platform(*calls, dir);
  const int argc = static_cast<int>(argv.size());
  testing::internal::CaptureStdout();
  const int status = argv[0] == std::string("provreg") ? ProvregMain(platform, argc, argv.data())
                                                       : ProvunregMain(platform, argc, argv.data());
  *output = testing::internal::GetCapturedStdout();
  return status;
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
        return RunIn(dir.path(), calls, run.argv, output);
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
        calls.Release();
        EXPECT_EQ(output, line + kHeldLine);
        EXPECT_EQ(AsThePlatformReadsIt(file), before);
        // A console event as the write begins, and as it waits for the held
        // file: the process ends with the event's status once the file is
        // as before.
        for (const bool held : {false, true}) {
          reset();
          HeldAtOneCall interrupted(file);
          interrupted.interrupt_at = k;
          if (held) {
            interrupted.fail_at = k;
            interrupted.hold_ms = kTestWaitMs / 2;  // the wait ends at once, the undo's not
          }
          make(&interrupted, &output);
          interrupted.Release();
          EXPECT_EQ(interrupted.ended_with, STATUS_CONTROL_C_EXIT) << held;
          EXPECT_EQ(interrupted.read_at_end, before) << held;
          ++rows;
        }
      }
      if (counter.calls == 0) continue;  // nothing to remove: no write at all
      // Held for good from the first write on: nothing was written, nothing
      // is left. From the last write on: the undo cannot be made, and the
      // third line names what is left, in that file; a console event then
      // does not keep the run from saying so.
      const int last = counter.calls - 1;
      for (const auto& [k, interrupt] : {std::pair{0, false}, {last, false}, {last, true}}) {
        reset();
        HeldAtOneCall stuck(file);
        stuck.fail_at = k;
        stuck.for_good = true;
        if (interrupt) stuck.interrupt_at = k;
        EXPECT_EQ(make(&stuck, &output), 2);
        stuck.Release();
        ++rows;
        if (k == 0) {
          EXPECT_EQ(output, line + kHeldLine);
          EXPECT_EQ(AsThePlatformReadsIt(file), before);
          continue;
        }
        EXPECT_EQ(stuck.ended_with, 0u);
        EXPECT_EQ(output.rfind(line + (interrupt ? kInterruptedLine : kHeldLine) + "\"" + file +
                                   "\" may still hold part of the change: [",
                               0),
                  0u)
            << output;
        EXPECT_NE(output.find(" not restored\n"), std::string::npos) << output;
      }
    }
  }
  std::printf("%d runs, each with one of its writes failed or interrupted\n", rows);
}

// What a failed run's undo could not write back exactly, the run does not
// begin to change; a file held from before the run is waited for.
TEST(OneChangeWin32, WhatCannotBeUndoneExactlyIsRefusedWithItsReason) {
  test::TempDir dir;
  const std::string file = dir.Join("Mapisvc.inf");
  const auto utf16 = [](const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return bytes;
  };
  // A value the code page lacks; a name that the 8-bit listing shows as
  // VRQPN; [VRQPN] twice, of which no listing gives the second copy's lines.
  const std::string value = utf16(u"[Services]\r\nVRQPN=Жук\r\n");
  const std::string name = utf16(u"[Services]\r\nVRQPŃ=look-alike\r\n");
  const std::string twice =
      "\xEF\xBB\xBF[VRQPN]\r\na=1\r\n[VRQPN_AB]\r\nx=Жук\r\n[vrqpn]\r\nb=2\r\n";
  const std::string reg = "Cannot write the service definition to \"" + file + "\"\n";
  const std::string unreg = "Cannot remove the service definition from \"" + file + "\"\n";
  const auto refused = [](const std::string& section) {
    return "Write refused: [" + section +
           "] holds characters outside the system's code page, which the undo of a failed run "
           "could not write back\n";
  };
  const std::string section = utf16(u"[VRQPŃ]\r\nk=v\r\n");
  const std::string normal = test::kNormalFile;
  // Before the run: the file held to its end; the programs' turn left by a
  // run that ended without giving it back (the run goes on); its name taken
  // by an event; the turn held by another run, and a console event while
  // this one waits for it.
  enum Before { kNothing, kHeld, kTurnAbandoned, kNameTaken, kTurnHeldInterrupted };
  const char turn[] = "Global\\Quillpost Mapisvc.inf";
  const struct {
    const std::string& start;
    std::vector<const char*> argv;
    Before before;
    std::string output;
  } rows[] = {
      {value, {"provreg", "-norm"}, kNothing, reg + refused("Services")},
      {value, {"provunreg", "-norm"}, kNothing, unreg + refused("Services")},
      {name, {"provreg", "-norm"}, kNothing, reg + refused("Services")},
      {name, {"provunreg", "-norm"}, kNothing, unreg + refused("Services")},
      {section, {"provreg", "-norm"}, kNothing, reg + refused("VRQPN")},
      {section, {"provunreg", "-norm"}, kNothing, unreg + refused("VRQPN")},
      {value, {"provreg", "-lite"}, kHeld, reg + kHeldLine},
      {value, {"provunreg", "-lite"}, kHeld, unreg + kHeldLine},
      {twice,
       {"provunreg", "-norm"},
       kNothing,
       unreg + refused("VRQPN_AB") + "\"" + file +
           "\" may still hold part of the change: [VRQPN] was not restored\n"},
      {value, {"provreg", "-norm"}, kTurnAbandoned, reg + refused("Services")},
      {normal, {"provunreg", "-norm"}, kTurnHeldInterrupted, ""},  // the process ends first
      {value,
       {"provreg", "-lite"},
       kNameTaken,
       reg + "The turn these programs take at the file, the mutex " + turn +
           ", cannot be had: error 6\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.argv[0]) + row.argv[1] + " " + std::to_string(row.before));
    test::WriteFileBytes(file, row.start);
    HeldAtOneCall calls(file);
    if (row.before == kHeld) calls.Hold();
    HANDLE other = nullptr;
    if (row.before == kTurnAbandoned) {
      std::thread([&] {
        other = CreateMutexA(nullptr, FALSE, turn);
        WaitForSingleObject(other, INFINITE);
      }).join();
    }
    if (row.before == kNameTaken) other = CreateEventA(nullptr, TRUE, FALSE, turn);
    const HANDLE run_ended = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder;
    if (row.before == kTurnHeldInterrupted) {
      calls.real_clock = true;
      other = CreateMutexA(nullptr, FALSE, turn);
      holder = std::thread([&] {
        WaitForSingleObject(other, INFINITE);  // after any other test's run
        SetEvent(taken);
        while (!InterruptChange() && WaitForSingleObject(run_ended, 1) == WAIT_TIMEOUT) {
        }
        WaitForSingleObject(run_ended, INFINITE);
        ReleaseMutex(other);
      });
      WaitForSingleObject(taken, INFINITE);
    }
    std::string output;
    EXPECT_EQ(RunIn(dir.path(), &calls, row.argv, &output), 2);
    SetEvent(run_ended);
    if (holder.joinable()) holder.join();
    CloseHandle(run_ended);
    CloseHandle(taken);
    EXPECT_EQ(calls.ended_with, row.before == kTurnHeldInterrupted ? STATUS_CONTROL_C_EXIT : 0u);
    if (other != nullptr) CloseHandle(other);
    calls.Release();
    if (calls.ended_with == 0) {
      EXPECT_EQ(output, row.output);
    }
    if (&row.start != &twice) {
      EXPECT_EQ(test::ReadFileBytes(file), row.start);
    }
  }
}

}  // namespace
}  // namespace quillpost
