// zarn, the reader: zarn [seal data file]
#include <QApplication>
#include <QStringList>

#include "main_form.h"
#include "qt_message_box.h"

namespace {

// The switches with which the component model registers or starts the program as an
// automation server. A seal data file's absolute path also starts with "/", so only
// these four count as switches.
bool IsAutomationSwitch(const QString& argument) {
  if (argument.size() < 2 || (argument[0] != '/' && argument[0] != '-')) return false;
  static const QStringList switches{"REGSERVER", "UNREGSERVER", "AUTOMATION", "EMBEDDING"};
  return switches.contains(argument.mid(1).toUpper());
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setApplicationName("zarn");
  platform::InstallQtMessageBoxes();

  const QStringList arguments = app.arguments().mid(1);
  const QString first = arguments.value(0);
  // The automation server's registration and class factories join here; a switch is
  // never taken for a file.
  TMainForm mainForm(IsAutomationSwitch(first) ? QString() : first);
  mainForm.show();
  return app.exec();
}
