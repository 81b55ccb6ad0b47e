#include "dialog_template.h"

#include <QFontMetrics>

#include "message_box.h"

DialogUnits::DialogUnits(const QFont& font) {
  QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  baseWidth_ = (letters / 26 + 1) / 2;
  baseHeight_ = metrics.height();
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
  auto horizontal = [this](int units) { return (units * baseWidth_ + 2) / 4; };
  auto vertical = [this](int units) { return (units * baseHeight_ + 4) / 8; };
  return QRect(horizontal(x), vertical(y), horizontal(width), vertical(height));
}

DialogTemplate::DialogTemplate(QDialog* dialog, const char* caption, int width, int height, const char* fontFamily,
                               int pointSize)
    : dialog_(dialog), units_([&] {
        QFont font(fontFamily, pointSize);
        dialog->setFont(font);
        return dialog->font();  // the font actually used: Debian has no Tahoma, so its fallback
      }()) {
  dialog->setWindowTitle(caption);
  const QRect client = units_.ToPixels(0, 0, width, height);
  dialog->setFixedSize(client.size());
  dialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
}

int DialogMessage(QWidget* owner, const std::string& text, const char* caption, unsigned flags) {
  return platform::MessageBox(text, caption, flags, owner);
}
