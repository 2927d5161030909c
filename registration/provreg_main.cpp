// provreg: registers the Varnholt Quillpost message service (normal or Lite
// edition) in the service configuration file Mapisvc.inf.

#include <cstdio>

#include "platform/platform.h"
#include "registration/front_end.h"

int main(int argc, char** argv) {
  const int status = quillpost::ProvregMain(quillpost::NativePlatform(), argc, argv);
  std::fflush(stdout);
  return status;
}
