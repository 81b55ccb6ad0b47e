#pragma once
// Backs a window's message queue with Qt's event loop: a posted message is a queued
// call on the thread of the context object.

#include <QObject>
#include <QPointer>

#include "winmsg.h"

namespace platform {

class QtMessageQueue : public MessageQueue {
 public:
  explicit QtMessageQueue(QObject* context) : context_(context) {}
  void Post(std::function<void()> work) override;
  bool IsOwnerThread() const override;

 private:
  QPointer<QObject> context_;
};

}  // namespace platform
