#include "qt_message_queue.h"

#include <QCoreApplication>

namespace platform {

QtMessageQueue::QtMessageQueue(QObject* context) : context_(context), thread_(context->thread()) {
  // After the program's loop has ended nothing runs posted work any more: a sender
  // must not wait for it.
  if (QCoreApplication* app = QCoreApplication::instance(); app && app->thread() == thread_)
    quitWatch_ = QObject::connect(app, &QCoreApplication::aboutToQuit, [this] { Close(); });
}

QtMessageQueue::~QtMessageQueue() {
  QObject::disconnect(quitWatch_);
  Close();
}

void QtMessageQueue::Deliver(std::function<void()> work) {
  // Work for a context that is destroyed before it runs is dropped, which a waiting sender sees.
  QMetaObject::invokeMethod(context_, std::move(work), Qt::QueuedConnection);
}

bool QtMessageQueue::IsOwnerThread() const { return thread_ == QThread::currentThread(); }

}  // namespace platform
