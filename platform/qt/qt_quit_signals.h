#pragma once
// The signals that end a program from outside (SIGTERM, SIGINT, SIGHUP) become a
// WM_QUIT to its window, so the program ends in order: loop, then its own shutdown.

#include "winmsg.h"

namespace platform {

// Call on the window's thread, with a running Qt application, once.
void PostQuitOnSignals(HWND window);

}  // namespace platform
