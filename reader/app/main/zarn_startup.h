#pragma once
// What zarn sets up before its application object and window exist, and undoes after them.
// Its main and every test that runs the program's window make one, in the same place, so
// that a test never has what the program lacks.

class TZarnStartup {
 public:
  // Before the QApplication: the browser's flags and Qt's attributes are read when it starts.
  TZarnStartup();
  // After the window and the QApplication are gone: leaves the apartment.
  ~TZarnStartup();

  TZarnStartup(const TZarnStartup&) = delete;
  TZarnStartup& operator=(const TZarnStartup&) = delete;
};
