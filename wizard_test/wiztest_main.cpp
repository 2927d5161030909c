// wiztest: runs the platform's profile wizard for a new profile with the
// Varnholt Quillpost service, holding "MSPST AB" out of Mapisvc.inf meanwhile.

#include <cstdio>

#include "platform/guard/entry_guard.h"
#include "platform/platform.h"
#include "wizard_test/wizard_run.h"

int main() {
  quillpost::Platform& platform = quillpost::NativePlatform();
  quillpost::ProcessEntryGuard guard(platform);
  const int status = quillpost::WiztestMain(platform, guard);
  std::fflush(stdout);
  return status;
}
