#include "images.h"

#include <QPainter>
#include <vector>

namespace ReaderImages {
namespace {

constexpr int TreeWidth = 25, TreeHeight = 16, StateSize = 16, ToolSize = 20;

QPixmap Blank(int w, int h) {
  QPixmap p(w, h);
  p.fill(Qt::transparent);
  return p;
}

// The pictures of one list, cut from its strip of equal-sized pictures.
std::vector<QPixmap> Cut(const char* strip, int width, int height, int count) {
  const QPixmap all(strip);
  std::vector<QPixmap> images;
  for (int i = 0; i < count; ++i) images.push_back(all.isNull() ? Blank(width, height) : all.copy(i * width, 0, width, height));
  return images;
}

}  // namespace

QPixmap TreeImage(int index) {
  static const std::vector<QPixmap> images = Cut(":/images/small_images.png", TreeWidth, TreeHeight, TreeImageCount);
  return index >= 0 && index < TreeImageCount ? images[index] : Blank(TreeWidth, TreeHeight);
}

QPixmap StateImage(int index) {
  static const std::vector<QPixmap> images = Cut(":/images/state_images.png", StateSize, StateSize, StateImageCount);
  return index >= 0 && index < StateImageCount ? images[index] : Blank(StateSize, StateSize);
}

QPixmap ToolbarImage(int index) {
  static const std::vector<QPixmap> images =
      Cut(":/images/toolbar_images.png", ToolSize, ToolSize, ToolbarImageCount);
  return index >= 0 && index < ToolbarImageCount ? images[index] : Blank(ToolSize, ToolSize);
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
