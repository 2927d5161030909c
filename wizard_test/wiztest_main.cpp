// wiztest: runs the platform's profile wizard for a new profile with the
// Varnholt Quillpost service, holding "MSPST AB" out of Mapisvc.inf meanwhile.

#include <cstdio>

#include "platform/platform.h"
#include "wizard_test/wizard_run.h"

int main() {
  const int status = quillpost::RunWiztest(quillpost::NativePlatform());
  std::fflush(stdout);
  return status;
}
