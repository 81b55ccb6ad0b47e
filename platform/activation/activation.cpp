#include "activation.h"

#include <QString>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "local_client.h"
#include "registry.h"

namespace platform {

namespace {

namespace fs = std::filesystem;

HRESULT FromRegistry(const Registry& r) { return HRESULT_FROM_WIN32(uint32_t(r.LastError())); }

// Writes the default value of a key (and creates it).
bool SetDefault(Registry& r, const std::string& path, const std::string& value) {
  return r.OpenKey(path, true) && r.WriteString("", value);
}

std::string ClassKey(REFCLSID clsid) { return "\\CLSID\\" + clsid.ToString(); }

HRESULT WriteClassKeys(const ClassRegistration& cls, Registry& r) {
  bool ok = true;
  for (const std::string& progId : {cls.progId, cls.versionIndependentProgId}) {
    if (progId.empty()) continue;
    ok = ok && SetDefault(r, "\\" + progId, cls.description) && SetDefault(r, "\\" + progId + "\\CLSID", cls.clsid.ToString());
  }
  if (ok && !cls.versionIndependentProgId.empty() && !cls.progId.empty())
    ok = SetDefault(r, "\\" + cls.versionIndependentProgId + "\\CurVer", cls.progId);
  // The class's own key is replaced whole, so nothing of an older registration stays.
  std::string key = ClassKey(cls.clsid);
  if (ok && r.KeyExists(key)) ok = r.DeleteKey(key);
  ok = ok && SetDefault(r, key, cls.description);
  if (ok && !cls.progId.empty()) ok = SetDefault(r, key + "\\ProgID", cls.progId);
  if (ok && !cls.versionIndependentProgId.empty())
    ok = SetDefault(r, key + "\\VersionIndependentProgID", cls.versionIndependentProgId);
  if (ok && cls.programmable) ok = r.OpenKey(key + "\\Programmable", true);
  if (ok && !cls.libId.IsNull()) ok = SetDefault(r, key + "\\TypeLib", cls.libId.ToString());
  if (ok && !cls.appId.IsNull()) ok = r.OpenKey(key, false) && r.WriteString("AppID", cls.appId.ToString());
  return ok ? S_OK : FromRegistry(r);
}

HRESULT RemoveKeys(Registry& r, const std::vector<std::string>& keys) {
  for (const std::string& key : keys)
    if (r.KeyExists(key) && !r.DeleteKey(key)) return FromRegistry(r);
  return S_OK;
}

std::string ActivationFile(const std::string& busName) { return ActivationDirectory() + "/" + busName + ".service"; }

std::optional<std::string> ReadDefault(const std::string& key, const std::string& name = "") {
  Registry r(HKEY_CLASSES_ROOT);
  if (!r.OpenKeyReadOnly(key)) return std::nullopt;
  return r.ReadString(name);
}

using GetClassObject = HRESULT (*)(const CLSID&, const IID&, void**);

// Libraries stay loaded for the process: objects of them may be anywhere.
HRESULT CreateInprocInstance(const std::string& library, REFCLSID clsid, IUnknown* outer, REFIID iid, void** object) {
  static std::mutex mutex;
  static std::map<std::string, void*> loaded;
  void* handle;
  {
    std::lock_guard lock(mutex);
    handle = loaded[library];
    if (!handle) handle = loaded[library] = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      loaded.erase(library);
      return CO_E_DLLNOTFOUND;
    }
  }
  auto get = reinterpret_cast<GetClassObject>(::dlsym(handle, "DllGetClassObject"));
  if (!get) return CO_E_ERRORINDLL;
  ComPtr<IClassFactory> factory;
  HRESULT hr = get(clsid, IID_IClassFactory, factory.PutVoid());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, iid, object);
}

}  // namespace

std::string ActivationDirectory() {
  if (const char* d = std::getenv(ActivationDirectoryVariable); d && *d) return d;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return std::string(x) + "/dbus-1/services";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/root") + "/.local/share/dbus-1/services";
}

std::string ServerSwitchOf(const std::string& argument) {
  if (argument.size() < 2 || (argument[0] != '-' && argument[0] != '/')) return {};
  std::string word = argument.substr(1);
  std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  for (const char* known : {"regserver", "unregserver", "embedding", "automation"})
    if (word == known) return word;
  return {};
}

std::string ActivationCommand(const LocalServerRegistration& server) {
  // In double quotes only these four keep a meaning, each taken literally after a backslash.
  std::string quoted = "\"";
  for (char c : server.serverPath) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  quoted += "\"";
  return server.activationSwitch.empty() ? quoted : quoted + " " + server.activationSwitch;
}

HRESULT RegisterAppId(const LocalServerRegistration& server) {
  Registry r(HKEY_CLASSES_ROOT);
  bool ok = SetDefault(r, "\\AppID\\" + server.appId.ToString(), server.appName) &&
            r.OpenKey("\\AppID\\" + server.exeName, true) && r.WriteString("AppID", server.appId.ToString());
  return ok ? S_OK : FromRegistry(r);
}

HRESULT UnregisterAppId(const LocalServerRegistration& server) {
  Registry r(HKEY_CLASSES_ROOT);
  return RemoveKeys(r, {"\\AppID\\" + server.appId.ToString(), "\\AppID\\" + server.exeName});
}

HRESULT RegisterLocalServerClass(const ClassRegistration& cls, const LocalServerRegistration& server) {
  Registry r(HKEY_CLASSES_ROOT);
  if (HRESULT hr = WriteClassKeys(cls, r); FAILED(hr)) return hr;
  std::string key = ClassKey(cls.clsid) + "\\LocalServer32";
  if (!SetDefault(r, key, server.serverPath) || !r.WriteString("BusName", server.busName)) return FromRegistry(r);
  // The bus starts the server as the component model would: with the activation switch.
  std::error_code ec;
  fs::create_directories(ActivationDirectory(), ec);
  std::string file = ActivationFile(server.busName), temporary = file + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "[D-BUS Service]\nName=" << server.busName << "\nExec=" << ActivationCommand(server) << "\n";
    if (!out.flush()) return HRESULT_FROM_WIN32(29);  // ERROR_WRITE_FAULT
  }
  fs::rename(temporary, file, ec);
  return ec ? HRESULT_FROM_WIN32(29) : S_OK;
}

HRESULT UnregisterLocalServerClass(const ClassRegistration& cls, const LocalServerRegistration& server) {
  Registry r(HKEY_CLASSES_ROOT);
  HRESULT hr = RemoveKeys(r, {ClassKey(cls.clsid), "\\" + cls.progId, "\\" + cls.versionIndependentProgId});
  std::error_code ec;
  fs::remove(ActivationFile(server.busName), ec);
  return hr;
}

HRESULT RegisterInprocServerClass(const ClassRegistration& cls, const std::string& libraryPath,
                                  const std::string& threadingModel) {
  Registry r(HKEY_CLASSES_ROOT);
  if (HRESULT hr = WriteClassKeys(cls, r); FAILED(hr)) return hr;
  std::string key = ClassKey(cls.clsid) + "\\InprocServer32";
  bool ok = SetDefault(r, key, libraryPath) && r.WriteString("ThreadingModel", threadingModel);
  return ok ? S_OK : FromRegistry(r);
}

HRESULT UnregisterInprocServerClass(const ClassRegistration& cls) {
  Registry r(HKEY_CLASSES_ROOT);
  return RemoveKeys(r, {ClassKey(cls.clsid), "\\" + cls.progId, "\\" + cls.versionIndependentProgId});
}

HRESULT RegisterTypeLib(const TypeLibInfo& lib, const std::string& path) {
  Registry r(HKEY_CLASSES_ROOT);
  char version[16];
  std::snprintf(version, sizeof version, "%u.%u", lib.major, lib.minor);
  std::string key = "\\TypeLib\\" + lib.libid.ToString() + "\\" + version;
  bool ok = SetDefault(r, key, lib.help) && SetDefault(r, key + "\\FLAGS", "0") &&
            SetDefault(r, key + "\\0\\linux64", path) &&
            SetDefault(r, key + "\\HELPDIR", fs::path(path).parent_path().string());
  for (const InterfaceInfo* i : lib.interfaces) {
    std::string ikey = "\\Interface\\" + i->iid.ToString();
    ok = ok && SetDefault(r, ikey, i->name) && SetDefault(r, ikey + "\\TypeLib", lib.libid.ToString()) &&
         r.WriteString("Version", version);
  }
  return ok ? S_OK : FromRegistry(r);
}

HRESULT UnregisterTypeLib(const TypeLibInfo& lib) {
  Registry r(HKEY_CLASSES_ROOT);
  std::vector<std::string> keys{"\\TypeLib\\" + lib.libid.ToString()};
  for (const InterfaceInfo* i : lib.interfaces) keys.push_back("\\Interface\\" + i->iid.ToString());
  return RemoveKeys(r, keys);
}

}  // namespace platform

HRESULT CLSIDFromProgID(const std::string& progId, CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID{};
  // A name with a backslash would reach another key, not a ProgID.
  if (progId.empty() || progId.find('\\') != std::string::npos) return REGDB_E_CLASSNOTREG;
  auto text = platform::ReadDefault("\\" + progId + "\\CLSID");
  auto parsed = text ? GUID::Parse(*text) : std::nullopt;
  if (!parsed) return REGDB_E_CLASSNOTREG;
  *clsid = *parsed;
  return S_OK;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, std::string* progId) {
  if (!progId) return E_POINTER;
  progId->clear();
  auto text = platform::ReadDefault("\\CLSID\\" + clsid.ToString() + "\\ProgID");
  if (!text || text->empty()) return REGDB_E_CLASSNOTREG;
  *progId = *text;
  return S_OK;
}

HRESULT CoCreateInstance(const std::string& progId, IUnknown* outer, uint32_t context, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  CLSID clsid;
  if (HRESULT hr = CLSIDFromProgID(progId, &clsid); FAILED(hr)) return hr;
  return CoCreateInstance(clsid, outer, context, iid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, uint32_t context, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!CoIsInitialized()) return CO_E_NOTINITIALIZED;
  const std::string key = "\\CLSID\\" + clsid.ToString();
  if (context & CLSCTX_INPROC_SERVER) {
    if (auto library = platform::ReadDefault(key + "\\InprocServer32"); library && !library->empty())
      return platform::CreateInprocInstance(*library, clsid, outer, iid, object);
  }
  if (context & CLSCTX_LOCAL_SERVER) {
    if (outer) return CLASS_E_NOAGGREGATION;
    if (auto bus = platform::ReadDefault(key + "\\LocalServer32", "BusName"); bus && !bus->empty())
      return platform::dbus::CreateLocalInstance(QString::fromStdString(*bus), clsid, iid, object);
  }
  return REGDB_E_CLASSNOTREG;
}
