#include "wizard_test/wizard_run.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/ascii_case.h"
#include "platform/config_path.h"
#include "platform/guard/entry_guard.h"
#include "platform/listing.h"
#include "platform/platform.h"
#include "wizard_test/wizard_entry.h"

namespace quillpost {
namespace {

// Wizard flags: MAPI_PW_LAUNCHED_BY_CONFIG | MAPI_PW_PROVIDER_UI_ONLY.
constexpr std::uint32_t kMapiPwLaunchedByConfig = 0x2;
constexpr std::uint32_t kMapiPwProviderUiOnly = 0x8;
constexpr std::uint32_t kWizardFlags = kMapiPwLaunchedByConfig | kMapiPwProviderUiOnly;

constexpr unsigned kBufferSize = 256;
constexpr unsigned kSystemDirSize = 260;
constexpr unsigned kProfileNameCapacity = 255;
constexpr unsigned kSavedEntryCapacity = 255;
// Room for the whole of section "Services" as the platform lists it.
constexpr unsigned kSectionSize = 32768;

const char kSection[] = "Services";
const char kHeldKey[] = "MSPST AB";

// Said of an entry whose file could not be read: the record says why.
const char kUnread[] = "<the file could not be read>";

/// Prints why |path| could not be read, as the platform's record says.
void SayUnread(Platform& platform, const char* path) {
  std::printf("Cannot read \"%s\": %s\n", path, platform.LastFailure().line);
}

/// Decides whether the entry, read as |saved| (|length| characters stored),
/// can be held out: only a value that the write accepts and that then reads
/// back identically can be put back exactly. Uses |section| of |size| bytes
/// for the raw listing of the section. Returns nullptr when it can, else
/// why not.
const char* WhyNotHeldOut(Platform& platform, const char* path, const char* saved, unsigned length,
                          char* section, unsigned size) {
  // The read stores at most 254 characters: a value of that length may
  // have been cut short.
  if (length >= kSavedEntryCapacity - 1) return "its value may be longer than 254 characters";
  // A NUL cuts the value short; the write refuses CR and LF.
  if (std::strlen(saved) != length || std::strpbrk(saved, "\r\n") != nullptr) {
    return "its value holds a byte that cannot be written back";
  }
  const unsigned listed = platform.ReadSection(kSection, section, size, path);
  if (platform.LastFailure().kind != FailureKind::kNone) return kUnread;
  if (listed >= size - 2) return "the section is too large to check";
  unsigned found = 0;
  std::string_view spelled;
  ForEachListed(section, [&](std::string_view item) {
    const ListedEntry<char> entry = SplitListedEntry(item);
    if (!entry.has_value || !AsciiCaseEqual(entry.name, kHeldKey)) return;
    if (found++ == 0) spelled = entry.value;
  });
  if (found > 1) return "the section holds it more than once";
  if (found == 0) return "the section does not list it";
  const std::string_view value(saved, length);
  if (spelled.size() == length + 2 && (spelled[0] == '"' || spelled[0] == '\'') &&
      spelled.back() == spelled[0] && spelled.substr(1, length) == value) {
    return "the read strips the quotes around its value";
  }
  if (spelled != value) return "its value does not read back as the file spells it";
  return nullptr;
}

}  // namespace

int WizardTestRun(Platform& platform, EntryGuard& guard) {
  const char* services[] = {"Varnholt Quillpost", nullptr};
  char profile_name[kBufferSize] = "Testing profile";  // zero bytes to the end
  char path[kSystemDirSize];
  char saved[kBufferSize] = "";
  char section[kSectionSize];
  // Large enough for the fixed text, a full path and a full saved value.
  char restore_failure[kSystemDirSize + kBufferSize + 128];
  char not_deleted[kBufferSize + kSystemDirSize];
  bool removed = false;

  void* library = platform.OpenLibrary("mapi32.dll");
  if (library == nullptr) {
    const Failure why = platform.LastFailure();
    std::puts("Cannot load \"mapi32.dll\"");
    if (why.kind == FailureKind::kLibraryRefused) std::puts(why.line);
    return 0;
  }
  if (!ServiceConfigPathOrSay(platform, path, kSystemDirSize, kSystemDirSize)) {
    platform.CloseLibrary(library);
    return 0;
  }
  // The wizard of a messaging subsystem with a Mapisvc.inf of its own reads
  // that one: the entry is held out of it, and the system directory's file
  // is left alone (docs/windows.md).
  char subsystem_file[kSystemDirSize];
  if (platform.LocateSubsystemFile(library, subsystem_file, kSystemDirSize) ==
      Platform::Located::kPresent) {
    std::memcpy(path, subsystem_file, sizeof path);
    std::printf(
        "\"%s\" is held out of \"%s\", the Mapisvc.inf the messaging subsystem reads, "
        "when it is there\n",
        kHeldKey, path);
  }

  const unsigned length =
      platform.ReadString(kSection, kHeldKey, "", saved, kSavedEntryCapacity, path);
  // A read that could not be made (a lock held for the whole wait, a file
  // this user may not read, a link not followed) is no "no entry": the
  // wizard does not run against a file whose entry is unknown.
  if (platform.LastFailure().kind != FailureKind::kNone) {
    SayUnread(platform, path);
    platform.CloseLibrary(library);
    return 0;
  }
  // An entry that is missing or empty is left alone. One that could not be
  // put back exactly stays in place, and the wizard runs all the same. The
  // guard stands before the entry leaves the file.
  if (saved[0] != '\0') {
    const char* why = WhyNotHeldOut(platform, path, saved, length, section, kSectionSize);
    // Planned before the delete: the entry leaves only when its own bytes
    // can go back, under the limits in force (docs/profile-format.md).
    if (why == nullptr && !platform.PlanHoldOut(kSection, kHeldKey, path)) {
      const Failure failure = platform.LastFailure();
      const bool refused =
          failure.kind == FailureKind::kRefusedInput || failure.kind == FailureKind::kTooLarge;
      why = refused ? failure.line : kUnread;
    }
    if (why == kUnread) {
      SayUnread(platform, path);
      platform.CloseLibrary(library);
      return 0;
    }
    if (why == nullptr) {
      std::snprintf(restore_failure, sizeof restore_failure,
                    "Cannot restore \"%s\" in section \"%s\" of \"%s\"; put it back by hand: "
                    "%s=%s\n",
                    kHeldKey, kSection, path, kHeldKey, saved);
      if (!guard.Hold(kSection, kHeldKey, saved, path, restore_failure)) {
        why =
            guard.WhyNotHeld() ? guard.WhyNotHeld() : "it cannot be guarded while the wizard runs";
      } else if (!platform.HoldOut(kSection, kHeldKey, path) &&
                 platform.LastFailure().remains == nullptr) {
        const Failure failure = platform.LastFailure();
        std::snprintf(not_deleted, sizeof not_deleted, "it could not be deleted: %s",
                      failure.line != nullptr ? failure.line : "no reason given");
        guard.Release();
        why = not_deleted;
      } else {
        // Held out; or a delete that failed and whose undo failed too
        // (Windows), which the file may hold: either way the entry goes
        // back after the wizard.
        removed = true;
      }
    }
    if (why != nullptr) {
      std::printf("\"%s\" stays in section \"%s\" of \"%s\": %s\n", kHeldKey, kSection, path, why);
    }
  }

  // Looked up only now, with the entry held out.
  void* entry = platform.FindEntry(library, "LAUNCHWIZARD");
  if (entry == nullptr) {
    std::puts("Cannot find \"LAUNCHWIZARD\" function in the\"mapi32.dll\"");
  } else {
    const auto wizard = reinterpret_cast<LaunchWizardFn>(entry);
    // A wizard may end the process with _exit(): nothing of ours may wait
    // in a buffer then.
    std::fflush(stdout);
    wizard(nullptr, kWizardFlags, services, kProfileNameCapacity, profile_name);
    // A process that the wizard forked may return here too: only the
    // program's own process writes the entry back and reports.
    guard.EndIfForked();
  }

  bool restored = true;
  if (removed) {
    restored = platform.PutBack(kSection, kHeldKey, saved, path);
    // Why it failed, kept before anything else leaves a record: said when
    // nobody takes the write-back over.
    const Failure failure = platform.LastFailure();
    const std::string why_not_back = !restored && failure.line ? failure.line : "";
    // Whatever the wizard left behind in this process (descriptors used
    // up, a lowered limit, another user, a lock of its own or another
    // holder's), the guard's process, which set aside what the write-back
    // needs, makes it.
    const EntryGuard::HandedOver guard_outcome =
        restored ? EntryGuard::HandedOver::kNo : guard.HandOver();
    switch (guard_outcome) {
      case EntryGuard::HandedOver::kNo:
        guard.Release();
        if (!restored) std::fputs(restore_failure, stdout);
        if (!why_not_back.empty()) std::puts(why_not_back.c_str());
        break;
      case EntryGuard::HandedOver::kWrittenBack:
        restored = true;
        break;
      case EntryGuard::HandedOver::kWaiting:
      case EntryGuard::HandedOver::kAtEnd:
        std::printf("\"%s\" will be written back into section \"%s\" of \"%s\" %s\n", kHeldKey,
                    kSection, path,
                    guard_outcome == EntryGuard::HandedOver::kWaiting
                        ? "as soon as the lock on the file is released"
                        : "when wiztest has ended");
        std::fputs(restore_failure, stdout);
        break;
      case EntryGuard::HandedOver::kFailed:
        break;  // the guard has said what to put back
    }
  }
  platform.CloseLibrary(library);
  return entry != nullptr && restored ? 1 : 0;
}

int WiztestMain(Platform& platform, EntryGuard& guard) {
  if (WizardTestRun(platform, guard)) return kExitWizardRan;
  std::puts("\nPress <Return>...");
  std::fflush(stdout);
  std::getchar();  // returns at once at the end of input
  return kExitWizardTestFailed;
}

}  // namespace quillpost
