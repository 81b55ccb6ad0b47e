// The bridge's tests run with an application object and the real browser engine,
// offscreen; as root the browser runs without its sandbox.
#include <QApplication>
#include <gtest/gtest.h>

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
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox");
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
