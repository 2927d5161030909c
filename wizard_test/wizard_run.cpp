#include "wizard_test/wizard_run.h"

#include <cstdint>
#include <cstdio>

#include "platform/config_path.h"
#include "platform/platform.h"
#include "platform/wizard_entry.h"

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

const char kSection[] = "Services";
const char kHeldKey[] = "MSPST AB";

}  // namespace

int RunWizardTest(Platform& platform) {
  const char* services[] = {"Varnholt Quillpost", nullptr};
  char profile_name[kBufferSize] = "Testing profile";  // zero bytes to the end
  char path[kSystemDirSize];
  char saved[kBufferSize] = "";
  // Large enough for the fixed text, a full path and a full saved value.
  char restore_failure[kSystemDirSize + kBufferSize + 128];
  bool removed = false;

  void* library = platform.OpenLibrary("mapi32.dll");
  if (library == nullptr) {
    std::puts("Cannot load \"mapi32.dll\"");
    return 0;
  }
  if (!ServiceConfigPath(platform, path, kSystemDirSize, kSystemDirSize)) {
    std::puts("Cannot get the windows system directory");
    platform.CloseLibrary(library);
    return 0;
  }

  const unsigned length =
      platform.ReadString(kSection, kHeldKey, "", saved, kSavedEntryCapacity, path);
  // A value that filled the buffer may have been cut short: writing it back
  // would lose the rest, so such an entry stays where it is.
  if (saved[0] != '\0' && length < kSavedEntryCapacity - 1 &&
      platform.DeleteKey(kSection, kHeldKey, path)) {
    removed = true;
    std::snprintf(restore_failure, sizeof restore_failure,
                  "Cannot restore \"%s\" in section \"%s\" of \"%s\"; put it back by hand: %s=%s\n",
                  kHeldKey, kSection, path, kHeldKey, saved);
    platform.GuardHeldEntry(kSection, kHeldKey, saved, path, restore_failure);
  }

  // Looked up only now, with the entry held out.
  void* entry = platform.FindEntry(library, "LAUNCHWIZARD");
  if (entry == nullptr) {
    std::puts("Cannot find \"LAUNCHWIZARD\" function in the\"mapi32.dll\"");
  } else {
    const auto wizard = reinterpret_cast<LaunchWizardFn>(entry);
    wizard(nullptr, kWizardFlags, services, kProfileNameCapacity, profile_name);
  }

  bool restored = true;
  if (removed) {
    restored = platform.WriteString(kSection, kHeldKey, saved, path);
    platform.ReleaseEntryGuard();
    if (!restored) std::fputs(restore_failure, stdout);
  }
  platform.CloseLibrary(library);
  return entry != nullptr && restored ? 1 : 0;
}

int RunWiztest(Platform& platform) {
  if (RunWizardTest(platform)) return kExitWizardRan;
  std::puts("\nPress <Return>...");
  std::fflush(stdout);
  std::getchar();  // returns at once at the end of input
  return kExitWizardTestFailed;
}

}  // namespace quillpost
