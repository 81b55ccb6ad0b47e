// The bridge's tests run in a program started as zarn starts, which loads the bridge, with
// the real browser engine, offscreen.
#include <gtest/gtest.h>

#include "unexpected_boxes.h"
#include "zarn_startup.h"

// The browser engine frees some of its own objects with a size other than the one it
// allocated (its code, not ours): under AddressSanitizer that report must not end the run.
// The options of the environment still apply on top.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "new_delete_type_mismatch=0";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TZarnStartup startup(argc, argv);
  platform::UnexpectedBoxesFail unexpectedBoxes;
  return RUN_ALL_TESTS();
}
