// zarn, the reader: zarn [seal data file], or zarn /RegServer | /UnregServer
#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <memory>

#include "activation.h"
#include "main_form.h"
#include "zarn_module.h"
#include "zarn_startup.h"

int main(int argc, char** argv) {
  TZarnStartup startup(argc, argv);

  std::vector<std::string> arguments;
  for (const QString& a : QCoreApplication::arguments()) arguments.push_back(a.toStdString());
  TZarnModule module;
  HRESULT result = S_OK;
  if (!module.ParseCommandLine(arguments, result)) return SUCCEEDED(result) ? 0 : 1;

  // A seal data file's absolute path also starts with "/": only the four switches count as such.
  const std::string first = arguments.size() > 1 ? arguments[1] : std::string();
  auto mainForm =
      std::make_unique<TMainForm>(platform::ServerSwitchOf(first).empty() ? QString::fromStdString(first) : QString());
  if (HRESULT hr = module.StartServer(mainForm.get()); FAILED(hr))
    std::fprintf(stderr, "zarn: the automation classes are not served on the session bus (0x%08X)\n",
                 unsigned(hr));
  mainForm->show();
  const int exitCode = QApplication::exec();
  // The window saves the setup as it goes; the name is given up after, when all is written.
  mainForm.reset();
  module.StopServer();
  return exitCode;
}
