#pragma once
// The tests that show the main window share one main: offscreen, or with --xvfb on the
// virtual X display for their screenshots, in a test world whose crypto service ends last.

// True when the window is drawn on a virtual X display (grab the screen, not the widget).
extern bool underXvfb;
