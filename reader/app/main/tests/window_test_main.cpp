#include "window_test_main.h"

#include <gtest/gtest.h>

#include <string>

#include "seal_test_env.h"
#include "unexpected_boxes.h"
#include "zarn_startup.h"

bool underXvfb = false;

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  for (int i = 1; i < argc; ++i) underXvfb |= std::string(argv[i]) == "--xvfb";
  seal_test::TestWorld world;
  if (!underXvfb) qputenv("QT_QPA_PLATFORM", "offscreen");
  TZarnStartup startup(argc, argv);
  platform::UnexpectedBoxesFail unexpectedBoxes;
  int result = RUN_ALL_TESTS();
  world.EndService();
  return result;
}
