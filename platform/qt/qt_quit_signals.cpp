#include "qt_quit_signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

int wakeUp[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeUp[1], &byte, 1);  // async-signal-safe
}

}  // namespace

void PostQuitOnSignals(HWND window) {
  if (wakeUp[0] >= 0 || ::pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(wakeUp[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [window] {
    char bytes[16];
    while (::read(wakeUp[0], bytes, sizeof bytes) > 0) {
    }
    PostMessage(window, WM_QUIT, 0, 0);
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &action, nullptr);
}

}  // namespace platform
