#pragma once
// The reader's small pictures, resources of the program: the tree images (25 x 16), the
// state images (16 x 16) and the tool bar's images (20 x 20). Qt trees have one icon a node, so a node's state image is drawn to the
// left of its tree image in one icon.

#include <QIcon>
#include <QPixmap>

// Tree images.
enum TreeImage : int { ComputerImage = 0, ComPortImage = 1, InterfaceImage = 2, SealImage = 3, GroupImage = 4 };
// State images: 0 shows none.
enum StateImage : int {
  NoStateImage = 0,
  IdleStateImage = 1,
  FoundStateImage = 2,
  LoggedOnStateImage = 3,
  NotFoundStateImage = 4,
  BusyGlyphImage = 5
};

namespace ReaderImages {

inline constexpr int TreeImageCount = 5;
inline constexpr int StateImageCount = 6;
// Open, Save, Find, Remove, Refresh, Cancel, Back, Forward, Print.
inline constexpr int ToolbarImageCount = 9;

QPixmap TreeImage(int index);
QPixmap StateImage(int index);
QPixmap ToolbarImage(int index);
// The state image (none for 0) and the tree image side by side.
QIcon NodeIcon(int image, int state);

}  // namespace ReaderImages
