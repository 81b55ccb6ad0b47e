#pragma once
// A person's hands on the X display: pointer and keys go through the X server's test
// extension (xdotool), so a program gets them as it gets any input of the window system.
#include <QRect>
#include <QString>
#include <QStringList>

#include <optional>

namespace x_input {

// The frame of the visible top-level window with exactly this title, once it is shown.
std::optional<QRect> WindowTitled(const QString& title, int timeoutMs);
// Waits until the window with exactly this title has the keyboard's focus, so that the keys
// pressed next go to it; false when it never had it within the time.
bool Focused(const QString& title, int timeoutMs);
// Gives the visible top-level window with exactly this title a new size, as dragging its
// corner does; false when there is no such window.
bool ResizeWindow(const QString& title, int width, int height);
// A click at a point of the screen, of the left button unless told (X numbers them: 8 is
// the mouse's back button, 9 its forward button); the pointer stays there.
bool ClickAt(int x, int y, int button = 1);
// Keys pressed in turn, by their X names: "Home", "Return", "alt+v".
bool Keys(const QStringList& keys);
// Text typed as keys.
bool Type(const QString& text);

}  // namespace x_input
