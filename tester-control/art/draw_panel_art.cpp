// Draws the control's pictures into a folder at build time: the front panel (202), the
// four LED pictures (203 to 206), the LED mask (208) and the toolbox picture (102), as
// PNG files named by number.
//   draw_panel_art FOLDER
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>

#include "tevlo_ctrl.h"

namespace {

constexpr int PanelWidth = 1519;
constexpr int PanelHeight = 250;
const QColor Plate(246, 204, 38);
const QColor Ink(40, 34, 20);

void Label(QPainter& p, int centreX, int y, const QString& text, int size = 13) {
  QFont font("DejaVu Sans", size);
  font.setPixelSize(size);
  p.setFont(font);
  p.setPen(Ink);
  p.drawText(QRect(centreX - 150, y, 300, size + 8), Qt::AlignHCenter | Qt::AlignTop, text);
}

void Group(QPainter& p, const QRect& frame, const QString& title) {
  p.setPen(QPen(Ink, 2));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(frame, 8, 8);
  Label(p, frame.center().x(), frame.top() + 8, title, 15);
}

// An LED's socket: a dark ring that the LED picture covers.
void Socket(QPainter& p, int centreX) {
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(70, 60, 30));
  p.drawEllipse(QPoint(centreX, LedCentreY), 20, 20);
}

void RoundConnector(QPainter& p, QPoint centre, int radius) {
  QRadialGradient metal(centre - QPoint(radius / 3, radius / 3), radius * 1.4);
  metal.setColorAt(0, QColor(235, 235, 235));
  metal.setColorAt(1, QColor(110, 110, 115));
  p.setPen(QPen(QColor(60, 60, 60), 2));
  p.setBrush(metal);
  p.drawEllipse(centre, radius, radius);
  p.setBrush(QColor(30, 30, 30));
  p.drawEllipse(centre, radius / 2, radius / 2);
  p.setBrush(QColor(200, 170, 80));
  for (int i = 0; i < 5; ++i) {
    QPointF pin = QPointF(centre) + QPointF((i - 2) * radius / 7.0, (i % 2 ? -1 : 1) * radius / 8.0);
    p.drawEllipse(pin, 2.5, 2.5);
  }
}

void FibreConnector(QPainter& p, QPoint centre) {
  p.setPen(QPen(QColor(50, 50, 50), 2));
  p.setBrush(QColor(150, 150, 155));
  p.drawRect(QRect(centre.x() - 20, centre.y() - 20, 40, 40));
  p.setBrush(QColor(20, 90, 170));
  p.drawEllipse(centre, 12, 12);
  p.setBrush(QColor(10, 10, 10));
  p.drawEllipse(centre, 4, 4);
}

QImage Panel() {
  QImage image(PanelWidth, PanelHeight, QImage::Format_RGB888);
  image.fill(Plate);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  // The plate's edge and its four screws.
  p.setPen(QPen(QColor(170, 135, 20), 4));
  p.setBrush(Qt::NoBrush);
  p.drawRect(QRect(2, 2, PanelWidth - 4, PanelHeight - 4));
  p.setBrush(QColor(180, 180, 180));
  p.setPen(QPen(QColor(90, 90, 90), 1));
  for (QPoint s : {QPoint(18, 18), QPoint(PanelWidth - 18, 18), QPoint(18, PanelHeight - 18),
                   QPoint(PanelWidth - 18, PanelHeight - 18)})
    p.drawEllipse(s, 7, 7);

  Socket(p, LedPower);
  Label(p, LedPower, 136, "Power", 15);

  Group(p, QRect(280, 30, 262, 200), "Optical Connectors");
  for (auto [x, text] : {std::pair{LedRx, "Rx"}, {LedClose, "Close"}, {LedTest, "Test"}, {LedTx, "Tx"}}) {
    Socket(p, x);
    Label(p, x, 134, text);
  }
  FibreConnector(p, QPoint(356, 185));
  Label(p, 356, 208, "Rx");
  FibreConnector(p, QPoint(464, 185));
  Label(p, 464, 208, "Tx");

  Group(p, QRect(600, 30, 450, 200), "Electrical Connectors");
  RoundConnector(p, QPoint(720, 111), 36);
  Label(p, 720, 158, "left", 15);
  for (auto [x, text] : {std::pair{LedLeft, ""}, {LedExtPower, "ext. Power"}, {LedRight, ""}}) {
    Socket(p, x);
    Label(p, x, 134, text);
  }
  RoundConnector(p, QPoint(1000, 111), 36);
  Label(p, 1000, 158, "right", 15);

  Socket(p, LedBattery);
  Label(p, LedBattery, 134, "Battery", 15);
  Label(p, LedBattery, 152, "Power", 15);

  // The name plate and the battery connector.
  QRect plate(1160, 28, 330, 80);
  QLinearGradient brushed(plate.topLeft(), plate.bottomLeft());
  brushed.setColorAt(0, QColor(225, 225, 228));
  brushed.setColorAt(1, QColor(170, 170, 175));
  p.setPen(QPen(QColor(80, 80, 80), 2));
  p.setBrush(brushed);
  p.drawRoundedRect(plate, 6, 6);
  QFont name("DejaVu Sans", 26, QFont::Bold);
  name.setPixelSize(30);
  p.setFont(name);
  p.setPen(QColor(30, 50, 110));
  p.drawText(plate.adjusted(0, 6, 0, -28), Qt::AlignCenter, "VARQ");
  Label(p, plate.center().x(), plate.bottom() - 28, "Seal Tester", 15);

  QRect sub(1225, 140, 200, 46);
  QPainterPath shell;
  shell.moveTo(sub.topLeft());
  shell.lineTo(sub.topRight());
  shell.lineTo(sub.right() - 14, sub.bottom());
  shell.lineTo(sub.left() + 14, sub.bottom());
  shell.closeSubpath();
  p.setPen(QPen(QColor(60, 60, 60), 2));
  p.setBrush(QColor(160, 160, 165));
  p.drawPath(shell);
  p.setBrush(QColor(40, 40, 40));
  for (int i = 0; i < 8; ++i) p.drawEllipse(QPointF(sub.left() + 30 + i * 20, sub.top() + 15), 4, 4);
  for (int i = 0; i < 7; ++i) p.drawEllipse(QPointF(sub.left() + 40 + i * 20, sub.top() + 31), 4, 4);
  Label(p, sub.center().x(), sub.bottom() + 6, "Battery DUT / Battery Pack");
  p.end();
  return image;
}

QImage Led(QColor core, QColor rim) {
  QImage image(LedBoxSize, LedBoxSize, QImage::Format_RGB888);
  image.fill(Qt::black);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QRadialGradient glow(QPointF(13, 12), 20);
  glow.setColorAt(0, core.lighter(140));
  glow.setColorAt(0.5, core);
  glow.setColorAt(1, rim);
  p.setPen(Qt::NoPen);
  p.setBrush(glow);
  p.drawEllipse(QRectF(0, 0, LedBoxSize, LedBoxSize));
  return image;
}

// The control's toolbox picture: a small yellow panel with a lit LED, in 16 colours.
QImage Toolbox() {
  QImage image(16, 16, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setPen(QColor(128, 128, 0));
  p.setBrush(QColor(255, 255, 0));
  p.drawRect(0, 3, 15, 9);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 255, 0));
  p.drawEllipse(QPoint(4, 7), 2, 2);
  p.setBrush(QColor(128, 0, 0));
  p.drawEllipse(QPoint(11, 7), 2, 2);
  p.end();
  QList<QRgb> palette;
  for (QRgb c : {0x000000u, 0x800000u, 0x008000u, 0x808000u, 0x000080u, 0x800080u, 0x008080u, 0xC0C0C0u,
                 0x808080u, 0xFF0000u, 0x00FF00u, 0xFFFF00u, 0x0000FFu, 0xFF00FFu, 0x00FFFFu, 0xFFFFFFu})
    palette.append(0xFF000000u | c);
  return image.convertToFormat(QImage::Format_Indexed8, palette);
}

// 1 inside the disc that touches all four sides, 0 in the corners.
QImage Mask() {
  QImage image(LedBoxSize, LedBoxSize, QImage::Format_Mono);
  image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
  const double r = LedBoxSize / 2.0;
  for (int y = 0; y < LedBoxSize; ++y)
    for (int x = 0; x < LedBoxSize; ++x) {
      double dx = x + 0.5 - r, dy = y + 0.5 - r;
      image.setPixel(x, y, dx * dx + dy * dy <= r * r ? 1 : 0);
    }
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_panel_art FOLDER\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  const QString folder = QString::fromLocal8Bit(argv[1]);
  auto save = [&](const QImage& image, int id) { return image.save(QString("%1/%2.png").arg(folder).arg(id)); };
  bool ok = save(Panel(), IDB_PANEL) && save(Led(QColor(20, 80, 20), QColor(5, 35, 5)), IDB_LED_GREEN_OFF) &&
            save(Led(QColor(170, 255, 40), QColor(60, 150, 10)), IDB_LED_GREEN_ON) &&
            save(Led(QColor(150, 75, 15), QColor(80, 35, 5)), IDB_LED_AMBER_OFF) &&
            save(Led(QColor(255, 200, 40), QColor(220, 120, 0)), IDB_LED_AMBER_ON) && save(Mask(), IDB_LED_MASK) &&
            save(Toolbox(), IDB_TOOLBOX);
  return ok ? 0 : 1;
}
