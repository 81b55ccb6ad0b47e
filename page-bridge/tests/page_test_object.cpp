// The test class: a name to read and write, sums, bytes, failures, objects in and out,
// whether it was given a site, a call and a write that keep the event loop running, and a
// record of the members run, in the order they ran.
#include <QEventLoop>
#include <QTimer>
#include <string>

#include "object_with_site.h"
#include "page_test_object.h"

namespace {

std::atomic<int> alive{0};
std::string seen;  // "Name=a Add ...": each member as it starts, a write with its value

const InterfaceInfo& Info() {
  static const InterfaceInfo info{
      MakeGuid("{3E9A41C7-0B52-4D6E-8F13-A27C5D90B603}"),
      "IPageTestObject",
      "",
      {{1, "Name", MemberKind::PropertyGet, {}, VT_BSTR},
       {1, "Name", MemberKind::PropertyPut, {{"newVal", VT_BSTR}}},
       {2, "Add", MemberKind::Method, {{"a", VT_I4}, {"b", VT_I4}}, VT_I4},
       {3, "Byte", MemberKind::Method, {{"value", VT_UI1}}, VT_I4},
       {4, "Fail", MemberKind::Method, {}},
       {5, "Child", MemberKind::PropertyGet, {}, VT_DISPATCH},
       {6, "Describe", MemberKind::Method, {{"other", VT_DISPATCH}}, VT_BSTR},
       {7, "Sited", MemberKind::PropertyGet, {}, VT_BOOL},
       {8, "Wait", MemberKind::Method, {{"milliseconds", VT_I4}}, VT_DISPATCH},
       {9, "Delay", MemberKind::PropertyPut, {{"milliseconds", VT_I4}}}}};
  return info;
}

class PageTestObject final : public DispatchImpl<IDispatch>, public IObjectWithSite, private ComObjectRoot {
 public:
  PageTestObject() { ++alive; }
  ~PageTestObject() override { --alive; }
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch)
      *object = static_cast<IDispatch*>(this);
    else if (iid == IID_IObjectWithSite)
      *object = static_cast<IObjectWithSite*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  HRESULT SetSite(IUnknown* site) override {
    site_ = ComPtr<IUnknown>(site);
    return S_OK;
  }
  HRESULT GetSite(REFIID iid, void** site) override {
    if (!site) return E_POINTER;
    *site = nullptr;
    return site_ ? site_->QueryInterface(iid, site) : E_FAIL;
  }

 protected:
  const InterfaceInfo& TypeInformation() const override { return Info(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override {
    seen += (seen.empty() ? "" : " ") + std::string(member.name);
    if (member.kind == MemberKind::PropertyPut)
      seen += "=" + (args[0].Type() == VT_BSTR ? args[0].String().Utf8() : std::to_string(args[0].Integer()));
    switch (member.id) {
      case 1:
        if (member.kind == MemberKind::PropertyPut)
          name_ = args[0].String();
        else
          result = Variant(name_);
        return S_OK;
      case 2: result = Variant(int32_t(args[0].Integer() + args[1].Integer())); return S_OK;
      case 3: result = Variant(int32_t(args[0].Integer())); return S_OK;
      case 4: return Raise({0, "PageTestObject", PageTestFailureText, PageTestFailure});
      case 5: result = Variant(ComPtr<IDispatch>(new PageTestObject)); return S_OK;
      case 6: return Describe(args[0].Dispatch(), result);
      case 7: result = Variant(bool(site_)); return S_OK;
      case 8:
        KeepTheLoopRunning(int(args[0].Integer()));
        result = Variant(ComPtr<IDispatch>(new PageTestObject));
        return S_OK;
      case 9:
        if (args[0].Integer() < 0) return E_INVALIDARG;
        KeepTheLoopRunning(int(args[0].Integer()));
        return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  static void KeepTheLoopRunning(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
  }

  // "other is <its Name>", read through the other object's IDispatch.
  static HRESULT Describe(const ComPtr<IDispatch>& other, Variant& result) {
    if (!other) return E_POINTER;
    DISPID id = 0;
    if (HRESULT hr = other->GetIDsOfNames(IID_IDispatch, {"name"}, 0, &id); FAILED(hr)) return hr;
    DISPPARAMS none;
    Variant name;
    if (HRESULT hr = other->Invoke(id, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, &name, nullptr, nullptr);
        FAILED(hr))
      return hr;
    result = Variant(Bstr::FromUtf8("other is " + name.String().Utf8()));
    return S_OK;
  }

  Bstr name_;
  ComPtr<IUnknown> site_;
};

class Factory final : public ClassFactoryRoot {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ComPtr<IDispatch> created(new PageTestObject);
    return created->QueryInterface(iid, object);
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                                                           void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  // Both classes are the same code; only their registrations differ.
  if (clsid != CLSID_PageTestObject && clsid != CLSID_UnsafeTestObject) return CLASS_E_CLASSNOTAVAILABLE;
  ComPtr<IClassFactory> factory(new Factory);
  return factory->QueryInterface(iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() { return alive == 0 ? S_OK : S_FALSE; }

extern "C" __attribute__((visibility("default"))) int PageTestObjectsAlive() { return alive; }

// What was run since the last time this was asked.
extern "C" __attribute__((visibility("default"))) const char* PageTestObjectsSeen() {
  static std::string taken;
  taken = std::exchange(seen, {});
  return taken.c_str();
}
