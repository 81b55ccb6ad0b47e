#pragma once
// The program-wide values loaded and saved with the setup and edited in the operator dialog.

#include <QString>

struct ReaderOptions {
  QString operator1;
  QString operator2;
  bool showDialog = true;
  bool expertMode = false;
};
