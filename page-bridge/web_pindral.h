#pragma once
// CWebPindral: the object page script creates to reach the reader. Given its site by
// the browser, it asks the reader's main window on its own thread for the session.

#include "object_with_site.h"
#include "pindral.h"
#include "provide_class_info.h"

inline constexpr HRESULT DISP_E_BADVARTYPE = HRESULT(0x80020008u);

class CWebPindral final : public TypeInfoDispatch<IWebPindral>, public IObjectWithSite, public IProvideClassInfo {
 public:
  CWebPindral();
  ~CWebPindral() override;
  CWebPindral(const CWebPindral&) = delete;
  CWebPindral& operator=(const CWebPindral&) = delete;

  // IUnknown; the count is plain: the object lives on one thread.
  HRESULT QueryInterface(REFIID iid, void** object) override;
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override;

  // IObjectWithSite
  HRESULT SetSite(IUnknown* site) override;
  HRESULT GetSite(REFIID iid, void** site) override;

  // IWebPindral
  HRESULT get_Info(Bstr* pVal) override;
  HRESULT get_Session(IDispatch** pVal) override;

  // IDispatch: names from the bridge's own table, calls by DISPID alone.
  HRESULT GetIDsOfNames(REFIID iid, const std::vector<std::string>& names, uint32_t lcid, DISPID* ids) override;
  HRESULT Invoke(DISPID id, REFIID iid, uint32_t lcid, uint16_t flags, DISPPARAMS* params, Variant* result,
                 EXCEPINFO* exception, uint32_t* argError) override;

  // IProvideClassInfo
  HRESULT GetClassInfo(ITypeInfo** info) override;

  // Objects alive, for unloading the library.
  static int Objects();

 protected:
  const InterfaceInfo& TypeInformation() const override { return WebPindralInterfaceInfo(); }

 private:
  uint32_t refs_ = 0;
  ComPtr<IUnknown> site_;
  ComPtr<IDispatch> session_;
};

class CWebPindralFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override;
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override;
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  HRESULT LockServer(bool lock) override;
  static int Locks();

 private:
  std::atomic<uint32_t> refs_{0};
};
