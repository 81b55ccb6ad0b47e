// Brisel: the crypto service. Started by the session bus for a client, or by hand with
// the key database's data source, user and password; "-RegServer" and "-UnregServer"
// register and unregister it.
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "brisel_module.h"
#include "com.h"
#include "qt_message_box.h"

namespace {

// A headless session has no display: the service still serves, without icons.
void ChooseDisplay() {
  if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

BriselOptions OptionsFromEnvironment() {
  BriselOptions options;
  // Tests shorten the scan's period.
  if (const char* period = std::getenv("ZARN_TOKEN_SCAN_PERIOD_MS"); period && std::atoi(period) > 0)
    options.scan.period = std::chrono::milliseconds(std::atoi(period));
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  CBriselModule module(OptionsFromEnvironment());
  HRESULT result = S_OK;
  if (!module.ParseCommandLine(std::vector<std::string>(argv, argv + argc), result)) {
    if (FAILED(result)) std::fprintf(stderr, "brisel: registration failed (0x%08X)\n", unsigned(result));
    return FAILED(result) ? 1 : 0;
  }
  ChooseDisplay();
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  // A headless service has nobody to answer a box: it is written to the error output.
  if (QGuiApplication::platformName() != "offscreen") platform::InstallQtMessageBoxes();
  CoInitialize();
  result = module.PreMessageLoop();
  if (FAILED(result)) {
    std::fprintf(stderr, "brisel: cannot start (0x%08X)\n", unsigned(result));
    module.PostMessageLoop();
    return 1;
  }
  module.RunMessageLoop();
  module.PostMessageLoop();
  return 0;
}
