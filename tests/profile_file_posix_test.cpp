#include "platform/profile/profile_file_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/native/posix_platform.h"
#include "tests/support/faulty_disk_posix.h"
#include "tests/support/temp_dir.h"

namespace quillpost {
namespace {

using test::ListDirectory;
using test::ReadFileBytes;
using test::WriteFileBytes;

class ProfileFileTest : public ::testing::Test {
 protected:
  std::string Read(const std::string& section, const std::string& key) {
    char buffer[256];
    profile_.Read(path_.c_str(), section, key, "<default>", buffer, sizeof buffer);
    return buffer;
  }

  test::TempDir dir_;
  std::string path_ = dir_.Join("Mapisvc.inf");
  RealDiskInterface disk_;
  FailureRecord record_;
  ProfileFile profile_{disk_, record_};
};

TEST_F(ProfileFileTest, CreatesMissingFileAndReadsBack) {
  EXPECT_EQ(Read("Services", "VRQPN"), "<default>");
  ASSERT_TRUE(profile_.Write(path_.c_str(), "Services", "VRQPN", "Varnholt Quillpost"));
  EXPECT_EQ(ReadFileBytes(path_), "[Services]\r\nVRQPN=Varnholt Quillpost\r\n");
  EXPECT_EQ(Read("SERVICES", "vrqpn"), "Varnholt Quillpost");
  EXPECT_EQ(ListDirectory(dir_.path()), "Mapisvc.inf\n");  // no temporary left
}

TEST_F(ProfileFileTest, ReadCutsToCapacityAndStripsQuotes) {
  WriteFileBytes(path_, "[S]\nK=\"0123456789\"\n");
  char buffer[8];
  EXPECT_EQ(profile_.Read(path_.c_str(), "S", "K", "", buffer, sizeof buffer), 7u);
  EXPECT_STREQ(buffer, "0123456");
  EXPECT_EQ(profile_.Read(path_.c_str(), "S", "none", "long default", buffer, 5), 4u);
  EXPECT_STREQ(buffer, "long");
  EXPECT_EQ(profile_.Read(path_.c_str(), "S", "K", "", buffer, 0), 0u);
  WriteFileBytes(path_, "[S]\nE=\"\"\n");
  EXPECT_EQ(Read("S", "E"), "");

  // The section list is cut the platform's way: capacity - 2, two nulls.
  WriteFileBytes(path_, "[S]\nK=\"0123456789\"\nL = 1\n");
  PosixPlatform platform(disk_);
  char list[32];
  EXPECT_EQ(platform.ReadSection("S", list, sizeof list, path_.c_str()), 19u);
  EXPECT_EQ(std::string(list, 20), std::string("K=\"0123456789\"\0L=1\0\0", 20));
  EXPECT_EQ(platform.ReadSection("S", list, 10, path_.c_str()), 8u);
  EXPECT_EQ(std::string(list, 10), std::string("K=\"01234\0\0", 10));
  // Entries that fill the buffer exactly, with or without the final null:
  // nothing is written past it.
  for (const unsigned capacity : {20u, 19u}) {
    std::fill(std::begin(list), std::end(list), 'x');
    EXPECT_EQ(platform.ReadSection("S", list, capacity, path_.c_str()), capacity == 20 ? 19u : 17u);
    EXPECT_EQ(std::string(list + capacity - 2, 3), std::string("\0\0x", 3)) << capacity;
  }
  EXPECT_EQ(platform.ReadSection("none", list, sizeof list, path_.c_str()), 0u);
  EXPECT_EQ(std::string(list, 2), std::string(2, '\0'));
}

TEST_F(ProfileFileTest, DeleteNeverCreatesAFile) {
  EXPECT_TRUE(profile_.Delete(path_.c_str(), "Services", "MSPST AB"));
  EXPECT_EQ(ListDirectory(dir_.path()), "");
}

TEST_F(ProfileFileTest, UnchangedWriteDoesNotRewrite) {
  WriteFileBytes(path_, "[S]\r\nK=V\r\n");
  struct stat before, after;
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  ASSERT_TRUE(profile_.Write(path_.c_str(), "S", "K", "V"));
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(ProfileFileTest, RefusedInputLeavesFileUntouched) {
  const std::string text = "[S]\nK=V\n";
  WriteFileBytes(path_, text);
  EXPECT_FALSE(profile_.Write(path_.c_str(), "S", "K", "line\ninjected"));
  EXPECT_FALSE(profile_.Write(path_.c_str(), "S]", "K", "V"));
  EXPECT_FALSE(profile_.Delete(path_.c_str(), "S", "K=V"));
  EXPECT_EQ(ReadFileBytes(path_), text);
  EXPECT_FALSE(profile_.Write(dir_.Join("new.inf").c_str(), "S", "", "V"));
  EXPECT_EQ(ListDirectory(dir_.path()), "Mapisvc.inf\n");
}

TEST_F(ProfileFileTest, SymlinkIsUpdatedAtItsTargetAndStaysALink) {
  ASSERT_EQ(mkdir(dir_.Join("real").c_str(), 0755), 0);
  WriteFileBytes(dir_.Join("real/target.inf"), "[S]\nA=1\n");
  ASSERT_EQ(symlink("real/target.inf", path_.c_str()), 0);
  ASSERT_TRUE(profile_.Write(path_.c_str(), "S", "B", "2"));
  ASSERT_TRUE(profile_.Delete(path_.c_str(), "S", "A"));
  struct stat st;
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFileBytes(dir_.Join("real/target.inf")), "[S]\nB=2\n");
  EXPECT_EQ(ListDirectory(dir_.Join("real")), "target.inf\n");
  // A target longer than 256 bytes is followed whole.
  const std::string deep = std::string(200, 'd') + "/" + std::string(200, 'e');
  ASSERT_TRUE(std::filesystem::create_directories(dir_.Join("real/" + deep)));
  WriteFileBytes(dir_.Join("real/" + deep + "/t.inf"), "[S]\nA=1\n");
  ASSERT_EQ(symlink(("real/" + deep + "/t.inf").c_str(), dir_.Join("long").c_str()), 0);
  ASSERT_TRUE(profile_.Write(dir_.Join("long").c_str(), "S", "A", "2"));
  EXPECT_EQ(ReadFileBytes(dir_.Join("real/" + deep + "/t.inf")), "[S]\nA=2\n");
  // A dangling link gets its target created.
  ASSERT_EQ(symlink("real/later.inf", dir_.Join("dangling").c_str()), 0);
  ASSERT_TRUE(profile_.Write(dir_.Join("dangling").c_str(), "S", "K", "V"));
  EXPECT_EQ(ReadFileBytes(dir_.Join("real/later.inf")), "[S]\r\nK=V\r\n");
}

// Links are followed only where the kernel's link protection would, at
// any step of the path: the target of one not followed is neither changed
// nor created.
TEST_F(ProfileFileTest, LinksAreFollowedOnlyWhereTheKernelsProtectionWould) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may own a link as another user";
  const struct {
    const char* name;
    mode_t dir_mode;
    uid_t dir_owner, link_owner;
    bool followed;
  } rows[] = {{"another user's, sticky world-writable", 01777, 0, 4242, false},
              {"the directory owner's", 01777, 4242, 4242, true},
              {"the caller's", 01777, 4242, 0, true},
              {"another user's, world-writable not sticky", 0777, 0, 4242, true},
              {"another user's, sticky not world-writable", 01775, 0, 4242, true}};
  ASSERT_EQ(mkdir(dir_.Join("real").c_str(), 0755), 0);
  for (const auto& row : rows) {
    for (const bool last : {true, false}) {  // a dangling link as the file, or one to a directory
      SCOPED_TRACE(testing::Message() << row.name << (last ? ", the file" : ", a directory"));
      const std::string sub = dir_.Join("sub"), link = sub + (last ? "/Mapisvc.inf" : "/via");
      std::filesystem::remove_all(sub);
      ASSERT_EQ(mkdir(sub.c_str(), 0755) | chown(sub.c_str(), row.dir_owner, 0) |
                    chmod(sub.c_str(), row.dir_mode),
                0);
      ASSERT_EQ(symlink(last ? "../real/new.inf" : "../real", link.c_str()) |
                    lchown(link.c_str(), row.link_owner, 0),
                0);
      WriteFileBytes(dir_.Join("real/target.inf"), "[S]\nA=1\n");
      std::filesystem::remove(dir_.Join("real/new.inf"));
      EXPECT_EQ(profile_.Write((link + (last ? "" : "/target.inf")).c_str(), "S", "B", "2"),
                row.followed);
      const char* const expected[2][2] = {{"[S]\nA=1\n", "[S]\nA=1\nB=2\n"},
                                          {"<missing>", "[S]\r\nB=2\r\n"}};
      EXPECT_EQ(ReadFileBytes(dir_.Join(last ? "real/new.inf" : "real/target.inf")),
                expected[last][row.followed]);
    }
  }
}

/// The real disk, recording the mode each new file is created with.
class CreationRecorder : public RealDiskInterface {
 public:
  std::vector<mode_t> created;
  int Open(const char* path, int flags, mode_t mode) override {
    if (flags & O_CREAT) created.push_back(mode);
    return RealDiskInterface::Open(path, flags, mode);
  }
};

// The copy that replaces a file never grants more than the file does, even
// before it gets the file's mode; the file keeps its mode.
TEST_F(ProfileFileTest, TemporariesAreBornPrivateAndTheModeIsKept) {
  for (const mode_t mode : {0600, 0640, 0604, 0664}) {
    SCOPED_TRACE(mode);
    WriteFileBytes(path_, "[S]\n");
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    CreationRecorder disk;
    FailureRecord profile_record;
    ProfileFile profile(disk, profile_record);
    ASSERT_TRUE(profile.Write(path_.c_str(), "S", "K", std::to_string(mode)));
    ASSERT_EQ(disk.created.size(), 1u);
    EXPECT_EQ(disk.created[0] & ~mode, 0u);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
  }
}

// A writer removes the temporaries that dead writers left beside the file,
// and nothing else: not a live writer's (it holds a lock on it), not a name
// of another pattern or of another file, not a directory or a link.
TEST_F(ProfileFileTest, StaleTemporariesAreSweptAndOnlyThose) {
  WriteFileBytes(path_, "[S]\n");
  WriteFileBytes(dir_.Join(".Mapisvc.inf.tmp4242-1-99"), "dead writer");
  WriteFileBytes(dir_.Join(".Mapisvc.inf.tmp4242-2-99"), "live writer");
  const int live = open(dir_.Join(".Mapisvc.inf.tmp4242-2-99").c_str(), O_RDWR);
  ASSERT_GE(live, 0);
  ASSERT_EQ(flock(live, LOCK_EX), 0);
  WriteFileBytes(dir_.Join(".Mapisvc.inf.tmpsaved"), "not ours");
  WriteFileBytes(dir_.Join(".Other.inf.tmp4242-3-99"), "another file's");
  ASSERT_EQ(mkdir(dir_.Join(".Mapisvc.inf.tmp4242-4-99").c_str(), 0755), 0);
  ASSERT_EQ(symlink("Mapisvc.inf", dir_.Join(".Mapisvc.inf.tmp4242-5-99").c_str()), 0);
  ASSERT_TRUE(profile_.Write(path_.c_str(), "S", "K", "V"));
  close(live);
  EXPECT_EQ(ListDirectory(dir_.path()),
            ".Mapisvc.inf.tmp4242-2-99\n.Mapisvc.inf.tmp4242-4-99\n.Mapisvc.inf.tmp4242-5-99\n"
            ".Mapisvc.inf.tmpsaved\n.Other.inf.tmp4242-3-99\nMapisvc.inf\n");
  EXPECT_EQ(ReadFileBytes(path_), "[S]\nK=V\n");
  if (geteuid() == 0) {  // another user's stale copy stays, unless the file is theirs too
    const std::string theirs = dir_.Join(".Mapisvc.inf.tmp4242-6-99");
    WriteFileBytes(theirs, "another user's");
    ASSERT_EQ(chown(theirs.c_str(), 4242, 0), 0);
    for (const uid_t owner : {0u, 4242u}) {
      ASSERT_EQ(chown(path_.c_str(), owner, 0), 0);
      FailureRecord fresh_record;
      ProfileFile fresh(disk_, fresh_record);
      ASSERT_TRUE(fresh.Write(path_.c_str(), "S", "K", std::to_string(owner)));
      EXPECT_EQ(access(theirs.c_str(), F_OK) == 0, owner == 0);
    }
  }
}

// A lock that another holder never lets go (a stopped writer, any reader
// of the file) makes a change fail in the end, with the file untouched,
// rather than hang.
TEST_F(ProfileFileTest, ALockHeldForEverFailsTheChangeInsteadOfHanging) {
  WriteFileBytes(path_, "[S]\nK=V\n");
  const int holder = open(path_.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_SH), 0);
  RealDiskInterface patient(1);
  FailureRecord profile_record;
  ProfileFile profile(patient, profile_record);
  EXPECT_FALSE(profile.Write(path_.c_str(), "S", "K", "W"));
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(ReadFileBytes(path_), "[S]\nK=V\n");
  close(holder);
  EXPECT_TRUE(profile.Write(path_.c_str(), "S", "K", "W"));
}

TEST_F(ProfileFileTest, FailuresLeaveNothingButTheOldFile) {
  EXPECT_FALSE(profile_.Write(dir_.Join("no/such/dir/x.inf").c_str(), "S", "K", "V"));
  ASSERT_EQ(mkdir(dir_.Join("file-is-dir").c_str(), 0755), 0);
  EXPECT_FALSE(profile_.Write(dir_.Join("file-is-dir").c_str(), "S", "K", "V"));
  EXPECT_EQ(ListDirectory(dir_.path()), "file-is-dir\n");
}

// Fails each disk call of a write that creates the file in turn: whichever
// fails, the file is missing or exactly as written, and no temporary is
// left. (A write to an existing file is covered, call by call, by
// FaultInjection.EveryFailedCallOfAProvregRunLeavesWholeWrites.)
TEST_F(ProfileFileTest, EverySingleDiskFaultOfACreationLeavesNoFileOrTheNewOne) {
  const std::string created = "[Services]\r\nVRQPN=Varnholt Quillpost\r\n";
  auto write_with = [&](test::FaultyDisk& disk) {
    unlink(path_.c_str());
    FailureRecord profile_record;
    ProfileFile profile(disk, profile_record);
    return profile.Write(path_.c_str(), "Services", "VRQPN", "Varnholt Quillpost");
  };
  test::FaultyDisk counter;
  ASSERT_TRUE(write_with(counter));
  EXPECT_GT(counter.calls, 8);
  EXPECT_EQ(counter.unsynced_renames, "");
  for (long fail_at = 0; fail_at < counter.calls; ++fail_at) {
    SCOPED_TRACE(fail_at);
    test::FaultyDisk faulty;
    faulty.fail_at = fail_at;
    const bool ok = write_with(faulty);
    const std::string now = ReadFileBytes(path_);
    if (ok) {
      EXPECT_EQ(now, created);
    } else {
      EXPECT_TRUE(now == "<missing>" || now == created) << now;
    }
    EXPECT_EQ(ListDirectory(dir_.path()), now == "<missing>" ? "" : "Mapisvc.inf\n");
    EXPECT_EQ(faulty.unsynced_renames, "");
  }
}

// Writers in parallel on one file each land every key, whether the file is
// replaced or updated in place (it has a second link), and a reader meanwhile
// never sees half an update: the last line, which every insertion moves
// across pages, always reads whole (it has no line end, so even the zeros of
// space reserved for an update would show in its value).
// Another program that keeps renaming a new file, locked, over the name
// makes the update start over on each: the lock wait still ends once, after
// the disk's one wait in all (1 s here), long before the hops end (4 s).
TEST_F(ProfileFileTest, TheLockWaitIsOneWaitHoweverOftenTheFileIsReplaced) {
  WriteFileBytes(path_, "[S]\nK=V\n");
  int held = open(path_.c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  std::atomic<bool> done{false};
  std::thread hopper([&] {
    for (int hop = 0; hop < 20 && !done; ++hop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const std::string next = dir_.Join("next");
      WriteFileBytes(next, "[S]\nK=V\n");
      const int fd = open(next.c_str(), O_RDONLY);
      flock(fd, LOCK_EX);
      rename(next.c_str(), path_.c_str());
      close(held);  // the writer now finds the file it waited for replaced
      held = fd;
    }
  });
  RealDiskInterface patient(1);
  FailureRecord record;
  ProfileFile profile(patient, record);
  EXPECT_FALSE(profile.Write(path_.c_str(), "S", "K", "W"));
  done = true;
  hopper.join();
  close(held);
  EXPECT_EQ(record.Get().kind, FailureKind::kLockHeld);
  EXPECT_EQ(ReadFileBytes(path_), "[S]\nK=V\n");
}

TEST_F(ProfileFileTest, ConcurrentWritersLoseNoUpdateAndReadersSeeWholeFiles) {
  constexpr int kWriters = 8;
  constexpr int kKeys = 25;
  const std::string link = dir_.Join("second-link");
  std::string filler;  // many pages for every insertion to move
  while (filler.size() < 64 * 1024) filler += "; a comment line of a realistic length\n";
  for (const bool in_place : {false, true}) {
    SCOPED_TRACE(in_place ? "in place" : "rename");
    unlink(link.c_str());
    WriteFileBytes(path_, "[S0]\n[S1]\n[S2]\n" + filler + "[Last]\nK=whole");
    if (in_place) {
      ASSERT_EQ(::link(path_.c_str(), link.c_str()), 0);
    }
    std::atomic<int> writing{kWriters};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back([this, w, &writing] {
        RealDiskInterface disk;
        FailureRecord profile_record;
        ProfileFile profile(disk, profile_record);
        for (int k = 0; k < kKeys; ++k) {
          const std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
          EXPECT_TRUE(profile.Write(path_.c_str(), "S" + std::to_string(k % 3), key, key));
        }
        --writing;
      });
    }
    int reads = 0;
    for (std::string seen; writing > 0; ++reads) {
      if ((seen = Read("Last", "K")) != "whole") {
        ADD_FAILURE() << "read " << reads << " saw \"" << seen << "\"";
        break;
      }
      // A reader that takes no lock, as the platform's own, may see an
      // in-place update part made, but never bytes neither text holds.
      if (ReadFileBytes(path_).find('\0') != std::string::npos) {
        ADD_FAILURE() << "read " << reads << " without a lock saw zeros";
        break;
      }
    }
    for (auto& t : threads) t.join();
    for (int w = 0; w < kWriters; ++w) {
      for (int k = 0; k < kKeys; ++k) {
        const std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
        EXPECT_EQ(Read("S" + std::to_string(k % 3), key), key);
      }
    }
    if (in_place) {
      EXPECT_EQ(ReadFileBytes(link), ReadFileBytes(path_));
    }
    EXPECT_EQ(ListDirectory(dir_.path()),
              in_place ? "Mapisvc.inf\nsecond-link\n" : "Mapisvc.inf\n");
  }
}

}  // namespace
}  // namespace quillpost
