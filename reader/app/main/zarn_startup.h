#pragma once
// zarn's start-up: what must be set up before its application object, then the object
// itself, made in that order and undone in the other. Its main, and every test that runs
// the program's window or the page bridge it loads, make one, so that a test never has
// what the program lacks.

#include <QApplication>

#include "com.h"

class TZarnStartup {
 public:
  TZarnStartup(int& argc, char** argv);

  TZarnStartup(const TZarnStartup&) = delete;
  TZarnStartup& operator=(const TZarnStartup&) = delete;

 private:
  // The browser's flags and Qt's attributes are read when the application object starts.
  struct TBeforeApplication {
    TBeforeApplication();
  };

  TBeforeApplication before_;
  // Page script creates the page bridge in the window thread's apartment.
  ApartmentScope apartment_;
  QApplication application_;
};
