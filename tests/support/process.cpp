#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/process.h"

namespace quillpost::test {

int ScaledSeconds(int seconds) {
  const char* scale = std::getenv("QUILLPOST_TEST_TIME_SCALE");
  const int factor = scale ? std::atoi(scale) : 1;
  return seconds * (factor > 0 ? factor : 1);
}

void ReportHang(const std::string& program, int seconds, const std::string& what) {
  if (what.empty()) {
    ADD_FAILURE() << "hang: " << program << " did not end within " << seconds
                  << " s and was killed";
  } else {
    ADD_FAILURE() << "hang: " << program << " gave no " << what << " within " << seconds << " s";
  }
}

}  // namespace quillpost::test
