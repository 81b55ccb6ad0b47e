#pragma once
// Where classes are found: their registration under HKEY_CLASSES_ROOT (written by each
// server's registrar, with a session-bus activation file for a local server) and the
// creation of their objects from it.

#include <string>

#include "com.h"

namespace platform {

// Environment variable naming the folder of activation files instead of the user's.
inline constexpr const char* ActivationDirectoryVariable = "ZARN_DBUS_SERVICE_DIR";

// $ZARN_DBUS_SERVICE_DIR, else $XDG_DATA_HOME/dbus-1/services, else ~/.local/share/dbus-1/services:
// the session bus starts a local server from the file there when a client asks for it.
std::string ActivationDirectory();

struct ClassRegistration {
  CLSID clsid;
  std::string description;               // "ZarnCrypto Class"
  std::string progId;                    // "Brisel.ZarnCrypto.1"
  std::string versionIndependentProgId;  // "Brisel.ZarnCrypto"
  GUID libId;
  GUID appId;          // null for none
  bool programmable = false;
};

struct LocalServerRegistration {
  GUID appId;
  std::string appName;     // "Brisel"
  std::string exeName;     // "Brisel.EXE"
  std::string serverPath;  // the program
  std::string busName;     // the session-bus name it owns while it runs
  std::string activationSwitch = "-Embedding";  // what the bus adds when it starts the server
};

// The registration or activation switch an argument names ("-RegServer", "/regserver",
// "/Automation", "-Embedding"), as a lower-case word; empty when it names none.
std::string ServerSwitchOf(const std::string& argument);

// The Exec= line that starts the server: its path quoted as the bus reads it (a home
// folder may hold spaces or quotes), then its activation switch.
std::string ActivationCommand(const LocalServerRegistration& server);

// Each returns S_OK or the registry's failure as an HRESULT.
HRESULT RegisterAppId(const LocalServerRegistration& server);
HRESULT UnregisterAppId(const LocalServerRegistration& server);
HRESULT RegisterLocalServerClass(const ClassRegistration& cls, const LocalServerRegistration& server);
HRESULT UnregisterLocalServerClass(const ClassRegistration& cls, const LocalServerRegistration& server);
HRESULT RegisterInprocServerClass(const ClassRegistration& cls, const std::string& libraryPath,
                                  const std::string& threadingModel);
HRESULT UnregisterInprocServerClass(const ClassRegistration& cls);
HRESULT RegisterTypeLib(const TypeLibInfo& lib, const std::string& path);
HRESULT UnregisterTypeLib(const TypeLibInfo& lib);

}  // namespace platform

// The class a ProgID names (a version-independent one through its CurVer too), and the
// ProgID a class was registered with; REGDB_E_CLASSNOTREG when there is none.
HRESULT CLSIDFromProgID(const std::string& progId, CLSID* clsid);
HRESULT ProgIDFromCLSID(REFCLSID clsid, std::string* progId);

// Creates an object of a registered class: an in-process server from its shared
// library, or a local server's object over the session bus (the bus starts the server
// when it is not running). The calling thread must have entered with CoInitialize.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, uint32_t context, REFIID iid, void** object);
// The same for the class a ProgID names.
HRESULT CoCreateInstance(const std::string& progId, IUnknown* outer, uint32_t context, REFIID iid, void** object);
