#include "zarn_module.h"

#include <QCoreApplication>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>

#include "activation.h"
#include "igroup.h"
#include "iseal.h"
#include "isession.h"
#include "local_server.h"
#include "main_form.h"

namespace {

struct ZarnClass {
  CLSID clsid;
  const char* name;  // the coclass: "ZarnReaderSession"
  const char* description;
};

const ZarnClass Classes[] = {
    {CLASS_ZarnReaderSession, "ZarnReaderSession", "ZarnReaderSession Object"},
    {CLASS_ZarnReaderSeal, "ZarnReaderSeal", "ZarnReaderSeal Object"},
    {CLASS_ZarnReaderSealGroup, "ZarnReaderSealGroup", "ZarnReaderSealGroup Object"},
};

platform::ClassRegistration Registration(const ZarnClass& c) {
  const std::string progId = std::string("Zarn.") + c.name;
  return {c.clsid, c.description, progId + ".1", progId, LIBID_Zarn, APPID_Zarn, true};
}

platform::LocalServerRegistration Server() {
  std::error_code ec;
  const std::string path = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  // The bus starts zarn for a client as the component model starts an automation server.
  return {APPID_Zarn, "zarn", "zarn", path, ZarnBusName, "/Automation"};
}

// Makes a new object of one class for each client that asks (multi-instance).
class TZarnClassFactory final : public ClassFactoryRoot {
 public:
  explicit TZarnClassFactory(std::function<ComPtr<IDispatch>()> make) : make_(std::move(make)) {}
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ComPtr<IDispatch> made = make_();
    return made ? made->QueryInterface(iid, object) : E_OUTOFMEMORY;
  }

 private:
  std::function<ComPtr<IDispatch>()> make_;
};

}  // namespace

TZarnModule::TZarnModule() = default;
TZarnModule::~TZarnModule() { StopServer(); }

bool TZarnModule::ParseCommandLine(const std::vector<std::string>& arguments, HRESULT& result) {
  result = S_OK;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string word = platform::ServerSwitchOf(arguments[i]);
    if (word == "unregserver") {
      result = UnregisterServer();
      return false;
    }
    if (word == "regserver") {
      result = RegisterServer();
      return false;
    }
  }
  return true;
}

HRESULT TZarnModule::RegisterServer() {
  HRESULT hr = platform::RegisterAppId(Server());
  for (const ZarnClass& c : Classes)
    if (SUCCEEDED(hr)) hr = platform::RegisterLocalServerClass(Registration(c), Server());
  if (SUCCEEDED(hr)) hr = platform::RegisterTypeLib(ZarnTypeLibInfo(), Server().serverPath);
  return hr;
}

HRESULT TZarnModule::UnregisterServer() {
  HRESULT hr = S_OK;
  for (const ZarnClass& c : Classes)
    if (SUCCEEDED(hr)) hr = platform::UnregisterLocalServerClass(Registration(c), Server());
  if (SUCCEEDED(hr)) hr = platform::UnregisterTypeLib(ZarnTypeLibInfo());
  if (SUCCEEDED(hr)) hr = platform::UnregisterAppId(Server());
  return hr;
}

HRESULT TZarnModule::StartServer(TMainForm* form) {
  server_ = std::make_unique<platform::dbus::LocalServer>(ZarnBusName);
  server_->RegisterClassObject(CLASS_ZarnReaderSession, new TZarnClassFactory([form] {
    return ComPtr<IDispatch>(TZarnReaderSession::Create(form).Get());
  }));
  server_->RegisterClassObject(CLASS_ZarnReaderSeal, new TZarnClassFactory([] {
    return ComPtr<IDispatch>(static_cast<IDispatch*>(TZarnReaderSeal::Create().Get()));
  }));
  server_->RegisterClassObject(CLASS_ZarnReaderSealGroup, new TZarnClassFactory([] {
    return ComPtr<IDispatch>(static_cast<IDispatch*>(TZarnReaderSealGroup::Create().Get()));
  }));
  const HRESULT hr = server_->Start();
  if (FAILED(hr)) server_.reset();
  return hr;
}

void TZarnModule::StopServer() {
  if (server_) server_->Stop();
  server_.reset();
}
