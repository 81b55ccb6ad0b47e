#pragma once
// The program's real message boxes and beeps, behind the one message-box function.

namespace platform {

// Boxes appear on the thread of the application object, whichever thread asks.
void InstallQtMessageBoxes();

}  // namespace platform
