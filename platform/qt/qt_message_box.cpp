#include "qt_message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "message_box.h"

namespace platform {

namespace {

struct ButtonSet {
  unsigned type;
  std::initializer_list<std::pair<QMessageBox::StandardButton, int>> buttons;
};

const ButtonSet Sets[] = {
    {MB_OK, {{QMessageBox::Ok, IDOK}}},
    {MB_OKCANCEL, {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}},
    {MB_ABORTRETRYIGNORE, {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}}},
    {MB_YESNOCANCEL, {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}}},
    {MB_YESNO, {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}}},
    {MB_RETRYCANCEL, {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}}},
};

int Show(const MessageBoxRequest& request) {
  const ButtonSet* set = &Sets[0];
  for (const auto& s : Sets)
    if (s.type == (request.flags & MB_TYPEMASK)) set = &s;
  QMessageBox box;
  box.setWindowTitle(QString::fromStdString(request.caption));
  box.setText(QString::fromStdString(request.text));
  switch (request.flags & MB_ICONMASK) {
    case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  std::vector<std::pair<QAbstractButton*, int>> results;
  size_t index = 0, defaultIndex = (request.flags & MB_DEFMASK) >> 8;
  for (auto [button, result] : set->buttons) {
    QPushButton* b = box.addButton(button);
    results.emplace_back(b, result);
    if (index++ == defaultIndex) box.setDefaultButton(b);
  }
  box.exec();
  for (auto [button, result] : results)
    if (box.clickedButton() == button) return result;
  return set->buttons.size() == 1 ? IDOK : IDCANCEL;  // closed by the window's own button
}

}  // namespace

void InstallQtMessageBoxes() {
  SetMessageBoxPresenter([](const MessageBoxRequest& request) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) return Show(request);
    int result = IDCANCEL;
    QMetaObject::invokeMethod(app, [&] { result = Show(request); }, Qt::BlockingQueuedConnection);
    return result;
  });
  SetMessageBeepPresenter([](unsigned) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app) QMetaObject::invokeMethod(app, [] { QApplication::beep(); }, Qt::QueuedConnection);
  });
}

}  // namespace platform
