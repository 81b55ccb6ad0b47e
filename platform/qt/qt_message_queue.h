#pragma once
// Backs a window's message queue with Qt's event loop: a posted message is a queued
// call on the thread of the context object. The queue closes when the application's
// loop ends (for a context on the application's thread) or when the queue goes, which
// must be before its context does (a member of the context object is).

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include "winmsg.h"

namespace platform {

class QtMessageQueue : public MessageQueue {
 public:
  explicit QtMessageQueue(QObject* context);
  ~QtMessageQueue() override;
  bool IsOwnerThread() const override;

 protected:
  void Deliver(std::function<void()> work) override;

 private:
  QObject* const context_;
  QThread* const thread_;  // fixed: read from any thread
  QMetaObject::Connection quitWatch_;
};

}  // namespace platform
