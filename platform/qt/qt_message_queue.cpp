#include "qt_message_queue.h"

#include <QMetaObject>
#include <QThread>

namespace platform {

void QtMessageQueue::Post(std::function<void()> work) {
  // A work item for a context that is gone is dropped, which a waiting sender sees.
  if (QObject* context = context_) QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
}

bool QtMessageQueue::IsOwnerThread() const {
  QObject* context = context_;
  return context && context->thread() == QThread::currentThread();
}

}  // namespace platform
