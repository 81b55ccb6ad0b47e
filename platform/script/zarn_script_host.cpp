// Runs a script that drives controls and other scriptable objects.
//   zarn-script-host SCRIPT
// `new ActiveXObject(progId)` creates a registered object that is safe for scripting; a
// control is shown in a window of its own. The host ends when the script has ended and
// every control window is closed. Exit code 1 when the script threw (the error is shown
// on the error output as "file:line: message").
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "script_host.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: zarn-script-host SCRIPT\n");
    return 2;
  }
  int code = 0;
  {
    platform::ScriptHost host;
    // The script runs inside the event loop, so that a quit request while it waits is seen.
    QTimer::singleShot(0, [&] {
      QString error;
      if (!host.RunFile(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        code = 1;
      }
      bool open = false;
      for (const auto& w : host.Windows()) open = open || w->isVisible();
      if (!open) QCoreApplication::exit(code);
    });
    int loop = app.exec();
    if (code == 0) code = loop;
  }
  return code;
}
