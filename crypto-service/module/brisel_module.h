#pragma once
// The crypto service's program: its command line, registration, start, message loop
// and orderly end.

#include <memory>
#include <string>
#include <vector>

#include "com.h"
#include "zarn_crypto.h"

namespace platform::dbus {
class LocalServer;
}
class CTokenWindow;

struct BriselOptions {
  TokenScanOptions scan;
};

class CBriselModule {
 public:
  explicit CBriselModule(BriselOptions options = {});
  ~CBriselModule();

  // False when the program is to end at once (it registered or unregistered); result
  // then holds the outcome. Only whole arguments that start with "-" or "/" and name a
  // switch are switches; the rest are the data source, user and password, in order.
  bool ParseCommandLine(const std::vector<std::string>& arguments, HRESULT& result);

  HRESULT PreMessageLoop();
  int RunMessageLoop();
  HRESULT PostMessageLoop();

  const KeyDatabaseSource& Database() const { return database_; }
  CTokenWindow* TokenWindow() const { return window_.get(); }
  CTokenScan* Scan() const { return scan_.get(); }

  HRESULT RegisterServer();
  HRESULT UnregisterServer();

 private:
  const BriselOptions options_;
  KeyDatabaseSource database_;
  std::unique_ptr<CTokenWindow> window_;
  std::unique_ptr<CTokenScan> scan_;
  std::unique_ptr<platform::dbus::LocalServer> server_;
};
