#include "message_pump.h"

#include <QCoreApplication>
#include <QEvent>

namespace platform {

namespace {

// Keeps a quit request from ending the loop inside the wait.
class QuitCatcher : public QObject {
 public:
  bool caught = false;

 protected:
  bool eventFilter(QObject* target, QEvent* event) override {
    if (event->type() == QEvent::Quit && target == QCoreApplication::instance()) {
      caught = true;
      return true;
    }
    return false;
  }
};

}  // namespace

bool DispatchWaitingMessages() {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return true;
  QuitCatcher catcher;
  app->installEventFilter(&catcher);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  app->removeEventFilter(&catcher);
  if (catcher.caught) QCoreApplication::postEvent(app, new QEvent(QEvent::Quit));
  return !catcher.caught;
}

}  // namespace platform
