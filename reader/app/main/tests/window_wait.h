#pragma once
// Waits for what the main window shows. The window hears of a log-on or log-off, a seal
// found and a seal that enters the document by posted messages, which may still be queued
// when the operation that caused them has answered: a test reads the window once it shows
// the change, never right after the answer.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

namespace window_wait {

// Generous: it is only reached when the window never shows what is awaited.
constexpr int Deadline = 20000;

// Lets the window work until the condition holds or the time is up. Unlike QTest's wait it
// sleeps only while no event is due, so each call a page makes costs no fixed pause. It
// hands out the posted events itself: a wait inside a posted call (a dialog handler under a
// page's call) would otherwise leave the events queued behind that call unsent, the
// browser's own scheduled work among them, and the page could not answer until it returned.
inline bool Until(const std::function<bool()>& condition, int ms) {
  QElapsedTimer elapsed;
  elapsed.start();
  QTimer wake;
  wake.start(5);
  while (!condition()) {
    if (elapsed.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents();
  }
  return true;
}

// Lets the window work until read() gives what is expected; a failure shows what it read last.
template <class Read, class Value>
::testing::AssertionResult Reads(Read read, const Value& expected, int ms = Deadline) {
  auto last = read();
  if (Until([&] { return (last = read()) == expected; }, ms)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the window still read " << ::testing::PrintToString(last) << " after "
                                       << ms << " ms, not " << ::testing::PrintToString(expected);
}

}  // namespace window_wait
