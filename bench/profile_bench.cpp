// Costs of the profile-file engine on files of realistic and large sizes,
// side by side with the floor that any safe rewrite must pay: read the file,
// write a copy, fsync it and rename it over the original.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/guard/entry_guard.h"
#include "platform/native/posix_platform.h"
#include "platform/platform.h"
#include "platform/profile/disk_interface_posix.h"
#include "platform/profile/profile_file_posix.h"
#include "registration/front_end.h"
#include "wizard_test/wizard_entry.h"
#include "wizard_test/wizard_run.h"

namespace {

/// A scratch directory holding one Mapisvc.inf, removed afterwards.
class BenchDir {
 public:
  BenchDir() {
    const char* tmp = std::getenv("QUILLPOST_BENCH_DIR");
    dir_ = std::string(tmp ? tmp : "/tmp") + "/quillpost-bench-XXXXXX";
    if (!mkdtemp(dir_.data())) std::abort();
    path_ = dir_ + "/Mapisvc.inf";
  }
  ~BenchDir() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& dir() const { return dir_; }
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
};

/// A Mapisvc.inf of about |bytes| bytes: many services of a few keys each.
std::string RealisticFile(size_t bytes) {
  std::string text = "[Services]\r\nMSPST AB=Personal Address Book\r\n";
  for (int i = 0; text.size() < bytes; ++i) {
    const std::string name = "SVC" + std::to_string(i);
    text += "\r\n; provider " + name + "\r\n[" + name + "]\r\n";
    text += "PR_DISPLAY_NAME=Service number " + std::to_string(i) + "\r\n";
    text += "PR_SERVICE_DLL_NAME=C:\\Program Files\\Vendor\\" + name + ".dll\r\n";
    text += "PR_RESOURCE_FLAGS=SERVICE_SINGLE_COPY\r\n";
  }
  return text;
}

void WriteFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

/// The floor: read the file, write a copy, fsync, rename, fsync the directory.
void RewriteOnce(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  struct stat st;
  fstat(fd, &st);
  std::string text(size_t(st.st_size), '\0');
  if (read(fd, text.data(), text.size()) != ssize_t(text.size())) std::abort();
  close(fd);
  const std::string temp = path + ".floor";
  fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (write(fd, text.data(), text.size()) != ssize_t(text.size())) std::abort();
  fsync(fd);
  close(fd);
  rename(temp.c_str(), path.c_str());
  fd = open(path.substr(0, path.rfind('/')).c_str(), O_RDONLY | O_DIRECTORY);
  fsync(fd);
  close(fd);
}

/// The floor of |rewrites| safe rewrites: 1 for a provreg run (one change),
/// 2 (delete and write-back) for a wiztest run; 19 is what a provreg run
/// cost when each write was its own update.
void BM_Floor(benchmark::State& state, int rewrites) {
  const BenchDir scratch;
  const std::string& path = scratch.path();
  const std::string base = RealisticFile(size_t(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    WriteFile(path, base);  // the file as BM_ProvregRun's runs meet it
    state.ResumeTiming();
    for (int i = 0; i < rewrites; ++i) RewriteOnce(path);
  }
}

/// The file layer on the real disk.
struct DiskProfile {
  quillpost::RealDiskInterface disk;
  quillpost::FailureRecord record;
  quillpost::ProfileFile profile{disk, record};
};

void BM_Read(benchmark::State& state) {
  const BenchDir scratch;
  WriteFile(scratch.path(), RealisticFile(size_t(state.range(0))) + "[Last]\r\nKey=value\r\n");
  DiskProfile on_disk;
  quillpost::ProfileFile& profile = on_disk.profile;
  char buffer[256];
  for (auto _ : state) {
    profile.Read(scratch.path().c_str(), "Last", "Key", "", buffer, sizeof buffer);
  }
}

void BM_Write(benchmark::State& state) {
  const BenchDir scratch;
  WriteFile(scratch.path(), RealisticFile(size_t(state.range(0))));
  DiskProfile on_disk;
  quillpost::ProfileFile& profile = on_disk.profile;
  int i = 0;
  for (auto _ : state) {
    // Alternate the value so that every write really rewrites the file.
    profile.Write(scratch.path().c_str(), "SVC7", "PR_DISPLAY_NAME", (i++ & 1) ? "odd" : "even");
  }
}

void BM_Delete(benchmark::State& state) {
  const BenchDir scratch;
  WriteFile(scratch.path(), RealisticFile(size_t(state.range(0))));
  DiskProfile on_disk;
  quillpost::ProfileFile& profile = on_disk.profile;
  for (auto _ : state) {
    state.PauseTiming();
    profile.Write(scratch.path().c_str(), "Services", "MSPST AB", "Personal Address Book");
    state.ResumeTiming();
    profile.Delete(scratch.path().c_str(), "Services", "MSPST AB");
  }
}

void BM_ProvregRun(benchmark::State& state) {
  const BenchDir scratch;
  const std::string base = RealisticFile(size_t(state.range(0)));
  setenv("QUILLPOST_SYSTEM_DIR", scratch.dir().c_str(), 1);
  for (auto _ : state) {
    state.PauseTiming();
    WriteFile(scratch.path(), base);  // every run registers into a file without the service
    state.ResumeTiming();
    const char* args[] = {"provreg", "-norm", "C:\\QP"};
    quillpost::ProvregMain(quillpost::NativePlatform(), 3, args);
  }
}

std::uint32_t QUILLPOST_WIZARD_CALL QuietWizard(void*, std::uint32_t, const char**, std::uint32_t,
                                                char*) {
  return 0;
}

/// The real platform on the real disk, with a wizard that returns at once.
class QuietWizardPlatform : public quillpost::PosixPlatform {
 public:
  using PosixPlatform::PosixPlatform;
  void* OpenLibrary(const char*) override { return this; }
  void* FindEntry(void*, const char*) override { return reinterpret_cast<void*>(&QuietWizard); }
  void CloseLibrary(void*) override {}
};

void BM_WiztestRun(benchmark::State& state) {
  const BenchDir scratch;
  WriteFile(scratch.path(), RealisticFile(size_t(state.range(0))));
  setenv("QUILLPOST_SYSTEM_DIR", scratch.dir().c_str(), 1);
  quillpost::RealDiskInterface disk;
  QuietWizardPlatform platform(disk);
  quillpost::ProcessEntryGuard guard(platform);
  for (auto _ : state) quillpost::WizardTestRun(platform, guard);
}

constexpr int64_t k30K = 30 << 10, k1M = 1 << 20, k8M = 8 << 20;

BENCHMARK(BM_Read)->Arg(k30K)->Arg(k1M)->Arg(k8M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write)->Arg(k30K)->Arg(k1M)->Arg(k8M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Delete)->Arg(k30K)->Arg(k1M)->Arg(k8M)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Floor, x1, 1)->Arg(k30K)->Arg(k1M)->Arg(k8M)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Floor, x19, 19)->Arg(k30K)->Arg(k1M)->Arg(k8M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProvregRun)->Arg(k30K)->Arg(k1M)->Arg(k8M)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Floor, x2, 2)->Arg(k30K)->Arg(k1M)->Arg(k8M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WiztestRun)->Arg(k30K)->Arg(k1M)->Arg(k8M)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
