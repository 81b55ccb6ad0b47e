#include "zarn_startup.h"

#include <QCoreApplication>
#include <QtGlobal>
#include <unistd.h>

#include "qt_message_box.h"

TZarnStartup::TBeforeApplication::TBeforeApplication() {
  QCoreApplication::setApplicationName("zarn");
  // The browser shares its drawing contexts with the window's.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  // The browser's sandbox cannot run as root, whoever started the program (a script, the bus).
  if (::geteuid() == 0) {
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (!flags.split(' ').contains("--no-sandbox")) qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags + " --no-sandbox");
  }
  platform::InstallQtMessageBoxes();
}

TZarnStartup::TZarnStartup(int& argc, char** argv) : application_(argc, argv) {}
