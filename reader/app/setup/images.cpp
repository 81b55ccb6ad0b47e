#include "images.h"

#include <QPainter>
#include <QPainterPath>
#include <vector>

namespace ReaderImages {
namespace {

constexpr int TreeWidth = 25, TreeHeight = 16, StateSize = 16;

QPixmap Blank(int w, int h) {
  QPixmap p(w, h);
  p.fill(Qt::transparent);
  return p;
}

void DrawSeal(QPainter& g, QPointF c, qreal r) {
  g.setPen(QPen(QColor(120, 20, 20), 1));
  g.setBrush(QColor(200, 40, 40));
  g.drawEllipse(c, r, r);
  g.setBrush(QColor(240, 200, 80));
  g.setPen(Qt::NoPen);
  g.drawEllipse(c, r * 0.4, r * 0.4);
}

QPixmap PaintTree(int index) {
  QPixmap p = Blank(TreeWidth, TreeHeight);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  switch (index) {
    case ComputerImage: {  // a screen on a foot
      g.setPen(QPen(QColor(60, 60, 70), 1));
      g.setBrush(QColor(200, 200, 210));
      g.drawRect(QRectF(4.5, 1.5, 16, 11));
      g.setBrush(QColor(70, 130, 180));
      g.drawRect(QRectF(6.5, 3.5, 12, 7));
      g.setBrush(QColor(160, 160, 170));
      g.drawRect(QRectF(8.5, 13.5, 8, 2));
      break;
    }
    case ComPortImage: {  // a nine-pin connector
      QPainterPath shell;
      shell.moveTo(3.5, 4.5);
      shell.lineTo(21.5, 4.5);
      shell.lineTo(19.5, 12.5);
      shell.lineTo(5.5, 12.5);
      shell.closeSubpath();
      g.setPen(QPen(QColor(60, 60, 70), 1));
      g.setBrush(QColor(190, 190, 200));
      g.drawPath(shell);
      g.setPen(Qt::NoPen);
      g.setBrush(QColor(40, 40, 40));
      for (int i = 0; i < 5; ++i) g.drawEllipse(QPointF(6.5 + i * 3, 7), 0.9, 0.9);
      for (int i = 0; i < 4; ++i) g.drawEllipse(QPointF(8 + i * 3, 10), 0.9, 0.9);
      break;
    }
    case InterfaceImage: {  // a network jack
      g.setPen(QPen(QColor(60, 60, 70), 1));
      g.setBrush(QColor(230, 230, 235));
      g.drawRect(QRectF(5.5, 2.5, 14, 12));
      g.setBrush(QColor(40, 40, 40));
      QPainterPath hole;
      hole.moveTo(8.5, 5.5);
      hole.lineTo(16.5, 5.5);
      hole.lineTo(16.5, 10.5);
      hole.lineTo(14.5, 10.5);
      hole.lineTo(14.5, 12.5);
      hole.lineTo(10.5, 12.5);
      hole.lineTo(10.5, 10.5);
      hole.lineTo(8.5, 10.5);
      hole.closeSubpath();
      g.drawPath(hole);
      g.setPen(QPen(QColor(220, 180, 60), 1));
      for (int i = 0; i < 4; ++i) g.drawLine(QPointF(10 + i * 1.7, 6), QPointF(10 + i * 1.7, 8));
      break;
    }
    case SealImage:
      DrawSeal(g, QPointF(12.5, 8), 6);
      break;
    case GroupImage:
      DrawSeal(g, QPointF(8, 6), 4.5);
      DrawSeal(g, QPointF(17, 6), 4.5);
      DrawSeal(g, QPointF(12.5, 11), 4.5);
      break;
  }
  return p;
}

QPixmap PaintState(int index) {
  QPixmap p = Blank(StateSize, StateSize);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  switch (index) {
    case IdleStateImage:  // blank
      break;
    case FoundStateImage: {  // green tick
      g.setPen(QPen(QColor(20, 150, 40), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      g.drawPolyline(std::vector<QPointF>{{3, 8}, {6.5, 12}, {13, 3.5}}.data(), 3);
      break;
    }
    case LoggedOnStateImage: {  // operator figure
      g.setPen(Qt::NoPen);
      g.setBrush(QColor(50, 90, 170));
      g.drawEllipse(QPointF(8, 4.5), 3, 3);
      g.drawRoundedRect(QRectF(3, 8.5, 10, 7), 3, 3);
      break;
    }
    case NotFoundStateImage: {  // red cross
      g.setPen(QPen(QColor(200, 30, 30), 2.5, Qt::SolidLine, Qt::RoundCap));
      g.drawLine(QPointF(4, 4), QPointF(12, 12));
      g.drawLine(QPointF(12, 4), QPointF(4, 12));
      break;
    }
    case BusyGlyphImage: {  // disk
      g.setPen(QPen(QColor(30, 30, 60), 1));
      g.setBrush(QColor(60, 80, 160));
      g.drawRect(QRectF(2.5, 2.5, 11, 11));
      g.setBrush(QColor(235, 235, 240));
      g.drawRect(QRectF(4.5, 2.5, 7, 4));
      g.setBrush(QColor(200, 200, 205));
      g.drawRect(QRectF(5.5, 9.5, 5, 4));
      break;
    }
  }
  return p;
}

}  // namespace

QPixmap TreeImage(int index) {
  static const std::vector<QPixmap> images = [] {
    std::vector<QPixmap> v;
    for (int i = 0; i < TreeImageCount; ++i) v.push_back(PaintTree(i));
    return v;
  }();
  return index >= 0 && index < TreeImageCount ? images[index] : Blank(TreeWidth, TreeHeight);
}

QPixmap StateImage(int index) {
  static const std::vector<QPixmap> images = [] {
    std::vector<QPixmap> v;
    for (int i = 0; i < StateImageCount; ++i) v.push_back(PaintState(i));
    return v;
  }();
  return index >= 0 && index < StateImageCount ? images[index] : Blank(StateSize, StateSize);
}

QIcon NodeIcon(int image, int state) {
  if (state == 0) return QIcon(TreeImage(image));
  QPixmap both = Blank(StateSize + TreeWidth, TreeHeight);
  QPainter g(&both);
  g.drawPixmap(0, 0, StateImage(state));
  g.drawPixmap(StateSize, 0, TreeImage(image));
  return QIcon(both);
}

}  // namespace ReaderImages
