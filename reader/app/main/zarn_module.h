#pragma once
// zarn as an automation server: registering and unregistering its classes, and serving
// their class factories on the session bus while the program runs.

#include <memory>
#include <string>
#include <vector>

#include "com.h"

namespace platform::dbus {
class LocalServer;
}
class TMainForm;

class TZarnModule {
 public:
  TZarnModule();
  ~TZarnModule();

  // False when the program is to end at once because it registered or unregistered;
  // result then holds the outcome.
  bool ParseCommandLine(const std::vector<std::string>& arguments, HRESULT& result);
  HRESULT RegisterServer();
  HRESULT UnregisterServer();

  // The class factories on the session bus, each object for the client that creates it;
  // a session acts on the one main window. Fails when the bus or the name is not to be had
  // (another zarn serves them): the window works all the same.
  HRESULT StartServer(TMainForm* form);
  void StopServer();

 private:
  std::unique_ptr<platform::dbus::LocalServer> server_;
};

