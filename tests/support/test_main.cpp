// The plug-in tests' main: GoogleTest's flags, and --wide, which makes every
// test call the wide entry points instead of the ANSI ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "tests/support/plugin_api.h"

int main(int argc, char** argv) {
  bool listing = false;  // the test list must be all that is printed then
  for (int a = 1; a < argc; ++a) listing = listing || std::strcmp(argv[a], "--gtest_list_tests") == 0;
  ::testing::InitGoogleTest(&argc, argv);
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--wide") != 0) {
      std::fprintf(stderr, "unknown argument: %s\n", argv[a]);
      return 2;
    }
    SelectForm(CallForm::kWide);
  }
  if (!listing) std::printf("calling the %s entry points\n", TestedForm() == CallForm::kWide ? "wide" : "ANSI");
  return RUN_ALL_TESTS();
}
