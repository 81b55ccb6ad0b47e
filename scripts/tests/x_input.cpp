#include "x_input.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace x_input {

namespace {

// xdotool's output, or none when it failed.
std::optional<QString> Run(const QStringList& arguments) {
  QProcess tool;
  tool.start("xdotool", arguments);
  if (!tool.waitForFinished(10000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
    return std::nullopt;
  return QString::fromUtf8(tool.readAllStandardOutput());
}

}  // namespace

std::optional<QRect> WindowTitled(const QString& title, int timeoutMs) {
  const QString pattern = "^" + QRegularExpression::escape(title) + "$";
  for (QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired(); QTest::qWait(200)) {
    const auto found = Run({"search", "--onlyvisible", "--name", pattern});
    if (!found || found->trimmed().isEmpty()) continue;
    const auto shell = Run({"getwindowgeometry", "--shell", found->split('\n').first()});
    if (!shell) continue;
    QRect frame;
    for (const QString& line : shell->split('\n')) {
      const int value = line.section('=', 1).toInt();
      if (line.startsWith("X=")) frame.moveLeft(value);
      else if (line.startsWith("Y=")) frame.moveTop(value);
      else if (line.startsWith("WIDTH=")) frame.setWidth(value);
      else if (line.startsWith("HEIGHT=")) frame.setHeight(value);
    }
    if (frame.width() > 1) return frame;
  }
  return std::nullopt;
}

bool Focused(const QString& title, int timeoutMs) {
  return QTest::qWaitFor([&] {
    const auto name = Run({"getwindowfocus", "getwindowname"});
    return name && name->trimmed() == title;
  }, timeoutMs);
}

bool ResizeWindow(const QString& title, int width, int height) {
  const auto found = Run({"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(title) + "$"});
  if (!found || found->trimmed().isEmpty()) return false;
  return bool(Run({"windowsize", found->split('\n').first(), QString::number(width), QString::number(height)}));
}

bool ClickAt(int x, int y, int button) {
  return bool(Run({"mousemove", QString::number(x), QString::number(y), "click", QString::number(button)}));
}

bool Keys(const QStringList& keys) { return bool(Run(QStringList{"key", "--delay", "50"} + keys)); }

bool Type(const QString& text) { return bool(Run({"type", "--delay", "40", text})); }

}  // namespace x_input
