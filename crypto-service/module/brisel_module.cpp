#include "brisel_module.h"

#include <QApplication>
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "activation.h"
#include "local_server.h"
#include "qt_quit_signals.h"
#include "token_window.h"
#include "unicode.h"

namespace {

platform::ClassRegistration CryptoClass() {
  return {CLSID_ZarnCrypto, "ZarnCrypto Class", "Brisel.ZarnCrypto.1", "Brisel.ZarnCrypto", LIBID_BriselLib,
          APPID_Brisel, true};
}

platform::LocalServerRegistration Server() {
  std::error_code ec;
  std::string path = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  return {APPID_Brisel, "Brisel", "Brisel.EXE", path, BriselBusName};
}

}  // namespace

CBriselModule::CBriselModule(BriselOptions options) : options_(options) {}

CBriselModule::~CBriselModule() = default;

bool CBriselModule::ParseCommandLine(const std::vector<std::string>& arguments, HRESULT& result) {
  result = S_OK;
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string word = platform::ServerSwitchOf(arguments[i]);
    if (word == "unregserver") {
      result = UnregisterServer();
      return false;
    }
    if (word == "regserver") {
      result = RegisterServer();
      return false;
    }
  }
  std::vector<std::wstring> plain;
  for (size_t i = 1; i < arguments.size(); ++i)
    if (platform::ServerSwitchOf(arguments[i]).empty()) plain.push_back(platform::Utf8ToWide(arguments[i]));
  if (plain.size() > 0) {
    database_.dataSource = plain[0];
    database_.set = true;
  }
  if (plain.size() > 1) database_.user = plain[1];
  if (plain.size() > 2) database_.password = plain[2];
  return true;
}

HRESULT CBriselModule::RegisterServer() {
  HRESULT hr = platform::RegisterAppId(Server());
  if (SUCCEEDED(hr)) hr = platform::RegisterLocalServerClass(CryptoClass(), Server());
  if (SUCCEEDED(hr)) hr = platform::RegisterTypeLib(BriselTypeLibInfo(), Server().serverPath);
  return hr;
}

HRESULT CBriselModule::UnregisterServer() {
  HRESULT hr = platform::UnregisterLocalServerClass(CryptoClass(), Server());
  if (SUCCEEDED(hr)) hr = platform::UnregisterTypeLib(BriselTypeLibInfo());
  if (SUCCEEDED(hr)) hr = platform::UnregisterAppId(Server());
  return hr;
}

HRESULT CBriselModule::PreMessageLoop() {
  window_ = std::make_unique<CTokenWindow>(database_);
  HWND window = window_->Create();
  scan_ = std::make_unique<CTokenScan>(window, options_.scan);
  server_ = std::make_unique<platform::dbus::LocalServer>(BriselBusName);
  server_->RegisterClassObject(CLSID_ZarnCrypto, new CZarnCryptoFactory(scan_.get(), database_));
  // The name first: a second service must fail before it opens any token's port.
  if (HRESULT hr = server_->Start(); FAILED(hr)) return hr;
  QObject::connect(server_.get(), &platform::dbus::LocalServer::busLost, qApp, &QCoreApplication::quit);
  platform::PostQuitOnSignals(window);
  try {
    scan_->StartTokenScan();
  } catch (int error) {
    return HRESULT_FROM_WIN32(uint32_t(error));
  }
  return S_OK;
}

int CBriselModule::RunMessageLoop() { return QApplication::exec(); }

HRESULT CBriselModule::PostMessageLoop() {
  if (scan_) scan_->StopTokenScan();
  if (window_) window_->Destroy();
  if (server_) server_->Stop();
  return S_OK;
}
