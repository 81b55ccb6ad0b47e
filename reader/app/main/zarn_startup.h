#pragma once
// What zarn sets up before its application object and window exist, and undoes after them.
// Its main and every test that runs the program's window make one, in the same place, so
// that a test never has what the program lacks.

#include "com.h"

class TZarnStartup {
 public:
  // Before the QApplication: the browser's flags and Qt's attributes are read when it starts.
  TZarnStartup();

  TZarnStartup(const TZarnStartup&) = delete;
  TZarnStartup& operator=(const TZarnStartup&) = delete;

 private:
  // Page script creates the page bridge in the window thread's apartment.
  ApartmentScope apartment_;
};
