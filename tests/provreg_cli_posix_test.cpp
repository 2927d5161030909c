// Black-box tests of provreg and provunreg on POSIX: the exact bytes our
// profile-file engine writes, symbolic links, each class of file
// (permissions, owners, links, mounts, special files), concurrent runs,
// kills, a full disk and failures.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "tests/provreg_fixture.h"
#include "tests/support/other_user_posix.h"

namespace quillpost {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

const char kHandEditedFile[] = "; hand edited\r\n[Services]\r\nMSPST AB=PAB\r\n";

std::string WriteFailure(const std::string& file, const std::string& cause) {
  return "Cannot write the service definition to \"" + file + "\"\n" + cause + "\n";
}

/// A user and group id that no account or group has: the caller a test
/// switches a child to when it runs as root.
std::pair<uid_t, gid_t> UnusedIds() {
  for (unsigned id = 40000;; ++id) {
    if (getpwuid(id) == nullptr && getgrgid(id) == nullptr) return {id, id};
  }
}

/// Makes |path| a bound Unix socket. Returns 0, or -1.
int MakeSocket(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) {
    close(fd);
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strcpy(address.sun_path, path);
  const int r = bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address);
  close(fd);
  return r;
}

TEST_F(ProvregTest, HandEditedFileKeepsEveryOtherByte) {
  const std::string before =
      "\xEF\xBB\xBF; Mapisvc.inf, edited by hand\n"
      "[Services]\n"
      "MSPST AB=Personal Address Book\n"
      "vrqpn = an old name\n"
      "\n"
      "; the service section, with a key of our own\n"
      "[vrqpn]\n"
      "Custom Key = kept\n"
      "PR_DISPLAY_NAME=Old\n"
      "[Default Services]\n"
      "MSPST AB=Personal Address Book";
  WriteFileBytes(file_, before);
  ASSERT_EQ(chmod(file_.c_str(), 0604), 0);
  ASSERT_EQ(Run({"-norm"}).exit_status, 1);
  // Only the key lines of the definition change or join; added lines end
  // like the file's first line.
  std::string provider_sections = std::strstr(kNormalFile, "[VRQPN_AB]");
  ReplaceAll(&provider_sections, "C:\\QP\\", "");
  ReplaceAll(&provider_sections, "\r\n", "\n");
  EXPECT_EQ(File(),
            "\xEF\xBB\xBF; Mapisvc.inf, edited by hand\n"
            "[Services]\n"
            "MSPST AB=Personal Address Book\n"
            "vrqpn=Varnholt Quillpost\n"
            "\n"
            "; the service section, with a key of our own\n"
            "[vrqpn]\n"
            "Custom Key = kept\n"
            "PR_DISPLAY_NAME=Varnholt Quillpost\n"
            "PR_RESOURCE_FLAGS=SERVICE_SINGLE_COPY\n"
            "Providers=VRQPN_AB, VRQPN_XP\n"
            "PR_SERVICE_DLL_NAME=vrqpn.dll\n"
            "PR_SERVICE_SUPPORT_FILES=vrqpn.dll\n"
            "PR_SERVICE_DELETE_FILES=vrqpn.dll\n"
            "PR_SERVICE_ENTRY_NAME=ServiceEntry\n"
            "WIZARD_ENTRY_NAME=QuillpostWizard\n"
            "[Default Services]\n"
            "MSPST AB=Personal Address Book\n" +
                provider_sections);
  ExpectDefinition(false, "");
  EXPECT_EQ(Value("VRQPN", "Custom Key"), "kept");
  struct stat st;
  ASSERT_EQ(stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
}

enum class Who { kTester, kStranger };  // the test's own user, or an unused uid and gid

/// A class of file, who runs provreg on it, and what must come of it.
struct FileClass {
  const char* name;
  Who caller;
  Who owner, group;  // of the file
  mode_t mode;       // of the file
  Who dir_owner;
  mode_t dir_mode;
  bool second_link;  // another name links to the file
  bool registered;   // it already holds the definition
  int status;        // provreg's exit status
  bool same_inode;   // updated in place, or not at all; else replaced by a rename
};

const FileClass kFileClasses[] = {
    {"read-only file", Who::kTester, Who::kTester, Who::kTester, 0444, Who::kTester, 0755, false,
     false, 2, true},
    {"read-only file, by its owner", Who::kStranger, Who::kStranger, Who::kStranger, 0444,
     Who::kStranger, 0755, false, false, 2, true},
    {"read-only file that already holds the definition", Who::kTester, Who::kTester, Who::kTester,
     0444, Who::kTester, 0755, false, true, 1, true},
    {"another user's file", Who::kStranger, Who::kTester, Who::kTester, 0644, Who::kStranger, 0755,
     false, false, 2, true},
    {"another user's file that the caller's group may write", Who::kStranger, Who::kTester,
     Who::kStranger, 0664, Who::kStranger, 0755, false, false, 1, true},
    {"another user's private file, by root", Who::kTester, Who::kStranger, Who::kStranger, 0600,
     Who::kTester, 0755, false, false, 1, false},
    {"read-only directory", Who::kStranger, Who::kStranger, Who::kStranger, 0644, Who::kTester,
     0555, false, false, 1, true},
    {"hard link", Who::kTester, Who::kTester, Who::kTester, 0644, Who::kTester, 0755, true, false,
     1, true},
    {"hard link, by its owner", Who::kStranger, Who::kStranger, Who::kStranger, 0644,
     Who::kStranger, 0755, true, false, 1, true},
};

// Whatever the class of file, provreg changes it only where the caller may
// write it, and never its owner, group, mode or links; a rename happens only
// where it keeps all of them, else the file is updated in place.
TEST_F(ProvregTest, EachClassOfFileKeepsItsPermissionsOwnerAndLinks) {
  const bool root = geteuid() == 0;
  const auto [stranger_uid, stranger_gid] = UnusedIds();
  auto uid_of = [&](Who who) { return who == Who::kStranger ? stranger_uid : geteuid(); };
  auto gid_of = [&](Who who) { return who == Who::kStranger ? stranger_gid : getegid(); };
  test::TempDir elsewhere;
  const std::string link = elsewhere.Join("second-link.inf");
  const test::OtherUserCopies stranger_copies(stranger_uid, stranger_gid, {PROVREG_PATH});
  std::string skipped;
  for (const FileClass& c : kFileClasses) {
    SCOPED_TRACE(c.name);
    const bool stranger = c.caller == Who::kStranger || c.owner == Who::kStranger ||
                          c.group == Who::kStranger || c.dir_owner == Who::kStranger;
    if (stranger && !root) {
      skipped += std::string(skipped.empty() ? "" : "; ") + c.name + " (needs root)";
      continue;
    }
    ASSERT_EQ(chmod(sys_.path().c_str(), 0755), 0);
    if (root) {
      ASSERT_EQ(chown(sys_.path().c_str(), geteuid(), getegid()), 0);
    }
    std::filesystem::remove(file_);
    unlink(link.c_str());
    const std::string before = c.registered ? kNormalFile : kHandEditedFile;
    WriteFileBytes(file_, before);
    if (c.second_link) {
      ASSERT_EQ(::link(file_.c_str(), link.c_str()), 0);
    }
    if (root) {
      ASSERT_EQ(chown(file_.c_str(), uid_of(c.owner), gid_of(c.group)), 0);
    }
    ASSERT_EQ(chmod(file_.c_str(), c.mode), 0);
    if (root) {
      ASSERT_EQ(chown(sys_.path().c_str(), uid_of(c.dir_owner), gid_of(c.dir_owner)), 0);
    }
    ASSERT_EQ(chmod(sys_.path().c_str(), c.dir_mode), 0);
    struct stat was, now;
    ASSERT_EQ(stat(file_.c_str(), &was), 0);
    // Held, so that a rename cannot free its inode number for a later copy.
    const int old_inode = open(file_.c_str(), O_PATH);

    LaunchOptions launch = Launch({"-norm", "C:\\QP"});
    if (c.caller == Who::kStranger) {
      if (!stranger_copies.why_not().empty()) {
        skipped += std::string(skipped.empty() ? "" : "; ") + c.name + " (" +
                   stranger_copies.why_not() + ")";
        close(old_inode);
        continue;
      }
      stranger_copies.Prepare(&launch);
    }
    const ProcessResult r = RunProcess(launch);
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_EQ(r.output, c.status == 1 ? ""
                        : c.mode & 0222
                            ? WriteFailure(file_,
                                           "Permission denied: the file or its directory "
                                           "may not be written by this user")
                            : WriteFailure(file_, "The file is read-only"));
    if (c.status == 1 && !c.registered) {
      ExpectDefinition(false, "C:\\QP\\");
      EXPECT_EQ(Value("Services", "MSPST AB"), "PAB");
    } else {
      EXPECT_EQ(File(), before);
    }
    ASSERT_EQ(stat(file_.c_str(), &now), 0);
    EXPECT_EQ(now.st_uid, was.st_uid);
    EXPECT_EQ(now.st_gid, was.st_gid);
    EXPECT_EQ(now.st_mode, was.st_mode);
    EXPECT_EQ(now.st_ino == was.st_ino, c.same_inode);
    close(old_inode);
    if (c.second_link) {
      EXPECT_EQ(now.st_nlink, 2u);
      EXPECT_EQ(ReadFileBytes(link), File());
    }
    EXPECT_EQ(test::ListDirectory(sys_.path()), "Mapisvc.inf\n");
  }
  if (!skipped.empty()) GTEST_SKIP() << "not run: " << skipped;
}

// A file mounted over the name (a configuration file bound into a
// container) cannot be replaced by a rename: it is updated in place, whether
// it comes from the same file system or another.
TEST_F(ProvregTest, BindMountedFileIsUpdatedInPlace) {
  enum Mount { kSameFileSystem, kTmpfs, kReadOnly };
  for (const Mount kind : {kSameFileSystem, kTmpfs, kReadOnly}) {
    SCOPED_TRACE(kind == kTmpfs ? "from a tmpfs" : kind == kReadOnly ? "read-only" : "same");
    test::TempDir source_dir;
    if (kind == kTmpfs && mount("tmpfs", source_dir.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "); needs root";
    }
    const std::string source = source_dir.Join("real.inf");
    WriteFileBytes(source, kHandEditedFile);
    WriteFileBytes(file_, "");
    bool bound = mount(source.c_str(), file_.c_str(), nullptr, MS_BIND, nullptr) == 0;
    // A read-only mount says so, rather than that the user may not write.
    if (bound && kind == kReadOnly) {
      bound =
          mount(nullptr, file_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    const int bind_error = errno;
    if (bound) {
      const ProcessResult r = Run({"-norm", "C:\\QP"});
      if (kind == kReadOnly) {
        EXPECT_EQ(r.exit_status, 2);
        EXPECT_EQ(r.output, WriteFailure(file_, "The file is read-only"));
        EXPECT_EQ(File(), kHandEditedFile);
      } else {
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.output, "");
        ExpectDefinition(false, "C:\\QP\\");
        EXPECT_EQ(Value("Services", "MSPST AB"), "PAB");
      }
      EXPECT_EQ(ReadFileBytes(source), File());
      EXPECT_EQ(test::ListDirectory(sys_.path()), "Mapisvc.inf\n");
      umount2(file_.c_str(), MNT_DETACH);
    }
    if (kind == kTmpfs) umount2(source_dir.path().c_str(), MNT_DETACH);
    if (!bound) {
      GTEST_SKIP() << "cannot bind-mount a file here (" << std::strerror(bind_error)
                   << "); needs root";
    }
  }
}

// Anything but a regular file of the name is refused at once with one line
// and left as it is; nothing waits on it (a FIFO would block an open).
// A file too large to hold in memory (sparse, a terabyte) fails the run with
// the one line, the file untouched, instead of ending the program.
TEST_F(ProvregTest, AFileTooLargeForMemoryFailsWithTheOneLine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer ends a process whose allocation is too large by design";
#endif
  WriteFileBytes(file_, "[Services]\r\n");
  if (truncate(file_.c_str(), off_t{1} << 40) != 0) {
    GTEST_SKIP() << "this file system cannot hold a sparse file of a terabyte";
  }
  for (const char* program : {PROVREG_PATH, PROVUNREG_PATH}) {
    LaunchOptions launch = Launch({"-norm"});
    launch.argv[0] = program;
    const ProcessResult r = RunProcess(launch);
    EXPECT_EQ(r.exit_status, 2) << program;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 2) << r.output;
    EXPECT_NE(r.output.find("\nThe file is too large"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(file_), std::string::npos) << r.output;
  }
  struct stat st;
  ASSERT_EQ(stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t{1} << 40);
}

TEST_F(ProvregTest, OnlyRegularFilesAreEdited) {
  const std::pair<const char*, int (*)(const char*)> kinds[] = {
      {"FIFO", [](const char* p) { return mkfifo(p, 0666); }},
      {"directory", [](const char* p) { return mkdir(p, 0755); }},
      {"socket", MakeSocket},
      {"character device", [](const char* p) { return mknod(p, S_IFCHR | 0666, makedev(1, 3)); }},
  };
  std::string skipped;
  for (const auto& [kind, make] : kinds) {
    SCOPED_TRACE(kind);
    std::filesystem::remove_all(file_);
    if (make(file_.c_str()) != 0) {
      skipped += std::string(kind) + " (" + std::strerror(errno) + ") ";
      continue;
    }
    struct stat was, now;
    ASSERT_EQ(lstat(file_.c_str(), &was), 0);
    const ProcessResult r = Run({"-norm", "C:\\QP"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.output, WriteFailure(file_, "The file is not a regular file"));
    ASSERT_EQ(lstat(file_.c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, was.st_ino);
    EXPECT_EQ(now.st_mode, was.st_mode);
    EXPECT_EQ(test::ListDirectory(sys_.path()), "Mapisvc.inf\n");
  }
  if (!skipped.empty()) GTEST_SKIP() << "cannot make here: " << skipped;
}

// A system directory too long for the path is no system directory. (An
// unset one, and a directory where the file should be, are rows of
// Diagnostics.EveryMessageOfEachPageIsPrintedWithItsStatus.)
TEST_F(ProvregTest, ASystemDirectoryTooLongIsSaidSoByBothPrograms) {
  for (const char* program : {PROVREG_PATH, PROVUNREG_PATH}) {
    LaunchOptions launch = Launch({"-norm"});
    launch.argv[0] = program;
    launch.env = {{"QUILLPOST_SYSTEM_DIR", std::string(300, 'd')}};
    const ProcessResult r = RunProcess(launch);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.output, "The system directory is too long: at most 243 characters\n");
  }
}

TEST_F(ProvregTest, AMissingDirectoryIsOneLineNamingTheFile) {
  LaunchOptions launch = Launch({"-lite"});
  const std::string missing = sys_.path() + "/" + std::string("no-such-dir");
  launch.env = {{"QUILLPOST_SYSTEM_DIR", missing}};
  const ProcessResult r = RunProcess(launch);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output,
            WriteFailure(missing + "/Mapisvc.inf", "The file's directory does not exist"));
}

// provreg killed with SIGKILL at random moments of a run on a large file:
// the file is always as before the run or as after it, and the temporary
// files of killed runs are removed by the runs that follow.
TEST_F(ProvregTest, KilledRunsNeverTearTheFile) {
  std::string base = "[Services]\r\nMSPST AB=PAB\r\n";
  for (int i = 0; base.size() < (2u << 20); ++i) {
    base += "[S" + std::to_string(i) + "]\r\nPR_DISPLAY_NAME=Service number " + std::to_string(i) +
            "\r\n; a comment line to make the file realistic\r\n";
  }
  std::string complete = base;
  ReplaceAll(&complete, "MSPST AB=PAB\r\n", "MSPST AB=PAB\r\nVRQPN=Varnholt Quillpost\r\n");
  complete += std::strstr(kNormalFile, "[VRQPN]\r\n");
  const std::set<std::string> states = {base, complete};
  WriteFileBytes(file_, base);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Run({"-norm", "C:\\QP"}).exit_status, 1);
  // Kills land within one run's length of the start, whatever the machine.
  const auto run_us =
      std::max<long long>(1000, std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - started)
                                    .count());
  ASSERT_EQ(File(), complete);

  std::mt19937 random(7);
  int killed_mid_run = 0, left_behind = 0;
  for (int i = 0; i < 200; ++i) {
    WriteFileBytes(file_, base);
    test::Child child(Launch({"-norm", "C:\\QP"}));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % run_us));
    child.Kill(SIGKILL);
    const ProcessResult r = child.Wait();
    killed_mid_run += r.signal == SIGKILL;
    ASSERT_TRUE(states.count(File())) << "torn file after kill " << i;
    // A killed writer may leave its temporary file behind, never the file
    // torn; the next writer removes it.
    if (test::ListDirectory(sys_.path()) != "Mapisvc.inf\n") ++left_behind;
  }
  WriteFileBytes(file_, base);
  EXPECT_EQ(Run({"-norm", "C:\\QP"}).exit_status, 1);
  EXPECT_EQ(test::ListDirectory(sys_.path()), "Mapisvc.inf\n");
  std::printf("200 kills, %d of them during a run, %d left a temporary file\n", killed_mid_run,
              left_behind);
  EXPECT_GT(killed_mid_run, 40);
}

// A UTF-16 file is written in UTF-16; one that the engine cannot read as
// the platform does (a UTF-16 mark, an odd number of bytes) is left
// byte-identical, and the user is told why.
TEST_F(ProvregTest, Utf16FileIsWrittenInUtf16OrRefusedWithTheReason) {
  const auto utf16 = [](const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out.append({c, '\0'});
    return out;
  };
  const std::string start = "[Services]\r\nMSPST AB=Personal Address Book\r\n";
  WriteFileBytes(file_, utf16(start));
  ASSERT_EQ(Run({"-norm", "C:\\QP"}).exit_status, 1);
  std::string expected = kNormalFile;
  ReplaceAll(&expected, "[Services]\r\n", start);
  EXPECT_EQ(File(), utf16(expected));

  const std::string odd = utf16(start) + "x";
  WriteFileBytes(file_, odd);
  const ProcessResult r = Run({"-norm", "C:\\QP"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, "Cannot write the service definition to \"" + file_ +
                          "\"\nWrite refused: the file starts with a UTF-16 byte-order mark but "
                          "has an odd number of bytes\n");
  EXPECT_TRUE(File() == odd) << "file changed";

  // A PathDir that is not UTF-8, into a UTF-8 file: refused before the
  // first write, so none of the 19 lands.
  const std::string utf8 = "\xEF\xBB\xBF[Services]\r\nMSPST AB=PAB\r\n";
  WriteFileBytes(file_, utf8);
  const ProcessResult refused = Run({"-norm", "C:\\Pr\xFF"});
  EXPECT_EQ(refused.exit_status, 2);
  EXPECT_EQ(refused.output, WriteFailure(file_,
                                         "Write refused: the file is UTF-8 and the text to "
                                         "write is not valid UTF-8"));
  EXPECT_TRUE(File() == utf8) << "file changed";
}

// A disk too full for the new copy: the file stays byte-identical, nothing
// is left behind, and the failure is reported.
TEST_F(ProvregTest, FullDiskLeavesTheFileUntouched) {
  const std::string disk = sys_.path() + "/disk";
  std::filesystem::create_directory(disk);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << "); needs root";
  }
  const std::string file = disk + "/Mapisvc.inf";
  std::string base = "[Services]\r\nMSPST AB=PAB\r\n";
  while (base.size() < 700 * 1024) base += "; filler line of a realistic size for the file\r\n";
  WriteFileBytes(file, base);
  LaunchOptions launch = Launch({"-norm", "C:\\QP"});
  launch.env = {{"QUILLPOST_SYSTEM_DIR", disk}};
  const ProcessResult r = RunProcess(launch);
  const std::string after = ReadFileBytes(file);
  const std::string listing = test::ListDirectory(disk);
  umount2(disk.c_str(), MNT_DETACH);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.output, WriteFailure(file, "No space left on the device"));
  EXPECT_TRUE(after == base) << "file changed";
  EXPECT_EQ(listing, "Mapisvc.inf\n");
}

}  // namespace
}  // namespace quillpost
