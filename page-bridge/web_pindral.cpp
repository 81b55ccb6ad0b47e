#include "web_pindral.h"

#include <strings.h>

#include "main_window_messages.h"
#include "winmsg.h"

namespace {

std::atomic<int> objects{0};
std::atomic<int> locks{0};

struct NameEntry {
  const char* name;
  DISPID id;
};
constexpr NameEntry Names[] = {
    {"Info", DISPID_PindralInfo},   {"pVal", 0}, {"get_Info", DISPID_PindralInfo}, {"Session", DISPID_PindralSession},
    {"get_Session", DISPID_PindralSession}};

}  // namespace

CWebPindral::CWebPindral() { ++objects; }

CWebPindral::~CWebPindral() { --objects; }

int CWebPindral::Objects() { return objects; }

uint32_t CWebPindral::Release() {
  uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT CWebPindral::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IObjectWithSite)
    *object = static_cast<IObjectWithSite*>(this);
  else if (iid == IID_IWebPindral || iid == IID_IDispatch)
    *object = static_cast<IWebPindral*>(this);
  else if (iid == IID_IProvideClassInfo)
    *object = static_cast<IProvideClassInfo*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

HRESULT CWebPindral::SetSite(IUnknown* site) {
  session_.Reset();
  site_ = ComPtr<IUnknown>(site);
  // The main window lives on the thread the browser calls from; a detach asks again too.
  HWND window = FindThreadWindow(MainWindowClass);
  if (window && IsWindow(window))
    session_ = ComPtr<IDispatch>::Attach(reinterpret_cast<IDispatch*>(SendMessage(window, WM_GETSESSION, 0, 0)));
  return S_OK;
}

HRESULT CWebPindral::GetSite(REFIID iid, void** site) {
  if (!site) return E_POINTER;
  *site = nullptr;
  if (!site_) return E_FAIL;
  return site_->QueryInterface(iid, site);
}

HRESULT CWebPindral::get_Info(Bstr* pVal) {
  if (!pVal) return E_POINTER;
  *pVal = Bstr::FromUtf8("WebPindral for the ZARN Reader");
  return S_OK;
}

HRESULT CWebPindral::get_Session(IDispatch** pVal) {
  if (!pVal) return E_POINTER;
  *pVal = nullptr;
  if (!session_) return E_FAIL;
  *pVal = ComPtr<IDispatch>(session_).Detach();
  return S_OK;
}

HRESULT CWebPindral::GetIDsOfNames(REFIID, const std::vector<std::string>& names, uint32_t, DISPID* ids) {
  if (names.empty()) return S_OK;
  if (!ids) return E_POINTER;
  HRESULT hr = S_OK;
  for (size_t i = 0; i < names.size(); ++i) {
    ids[i] = DISPID_UNKNOWN;
    for (const NameEntry& entry : Names)
      if (::strcasecmp(entry.name, names[i].c_str()) == 0) ids[i] = entry.id;
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

// Every kind of call reads the property: a get, a method call and a put alike.
HRESULT CWebPindral::Invoke(DISPID id, REFIID, uint32_t, uint16_t, DISPPARAMS* params, Variant* result, EXCEPINFO*,
                            uint32_t*) {
  if (!params) return DISP_E_BADVARTYPE;
  if (params->args.size() > 1) return DISP_E_BADPARAMCOUNT;
  if (result) *result = Variant();
  switch (id) {
    case DISPID_PindralInfo: {
      if (!params->args.empty()) return DISP_E_BADPARAMCOUNT;
      Bstr info;
      HRESULT hr = get_Info(&info);
      // Without a result the string is simply dropped with the local.
      if (SUCCEEDED(hr) && result) *result = Variant(std::move(info));
      return hr;
    }
    case DISPID_PindralSession: {
      if (!params->args.empty()) return DISP_E_BADPARAMCOUNT;
      IDispatch* session = nullptr;
      HRESULT hr = get_Session(&session);
      // The caller owns the added reference; without a result it is given back here.
      auto owned = ComPtr<IDispatch>::Attach(session);
      if (SUCCEEDED(hr) && result) *result = Variant(std::move(owned));
      return hr;
    }
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

HRESULT CWebPindral::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = MakeTypeInfo(WebPindralClassInfo()).Detach();
  return S_OK;
}

// ---- class factory ----

HRESULT CWebPindralFactory::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  *object = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

uint32_t CWebPindralFactory::Release() {
  uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT CWebPindralFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  ComPtr<IUnknown> bridge(static_cast<IObjectWithSite*>(new CWebPindral));
  return bridge->QueryInterface(iid, object);
}

HRESULT CWebPindralFactory::LockServer(bool lock) {
  locks += lock ? 1 : -1;
  return S_OK;
}

int CWebPindralFactory::Locks() { return locks; }
