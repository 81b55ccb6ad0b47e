#include "com_test_variants.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <cstdio>

namespace {

enum : DISPID { Echo = 1, Describe, Value, Self, CallBack, Fail, Kept, Opaque, OnOwnThread, Typed, Live, Busy };

std::atomic<int> live{0};

// An object that is no automation object: it cannot cross to another process.
class Plain final : public IUnknown, private ComObjectRoot {
 public:
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown) return E_NOINTERFACE;
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
};

std::string DescriptionOf(const Variant& v) {
  char text[64];
  switch (v.Type()) {
    case VT_EMPTY: return "empty";
    case VT_NULL: return "null";
    case VT_BOOL: return v.Bool() ? "bool:true" : "bool:false";
    case VT_R8: case VT_DATE:
      std::snprintf(text, sizeof text, "%s:%.17g", v.Type() == VT_R8 ? "r8" : "date", v.RealValue());
      return text;
    case VT_BSTR: return "bstr:" + std::to_string(v.String().ByteLength());
    case VT_DISPATCH: return v.Dispatch() ? "dispatch" : "dispatch:null";
    case VT_UNKNOWN: return v.Unknown() ? "unknown" : "unknown:null";
    default:
      std::snprintf(text, sizeof text, "%d:%lld", int(v.Type()), static_cast<long long>(v.Integer()));
      return text;
  }
}

class CTestVariants final : public DispatchImpl<IDispatch>, private ComObjectRoot {
 public:
  CTestVariants() { ++live; }
  ~CTestVariants() override { --live; }
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ITestVariants) return E_NOINTERFACE;
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }

 protected:
  const InterfaceInfo& TypeInformation() const override { return TestVariantsInfo(); }

  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override {
    switch (member.id) {
      case Echo:  // nothing written to the out value of an empty one
        if (args[0].Type() != VT_EMPTY) args[1] = args[0];
        return S_OK;
      case Describe:
        result = Variant(Bstr::FromUtf8(DescriptionOf(args[0])));
        return S_OK;
      case Value:
        if (member.kind == MemberKind::PropertyPut) value_ = args[0];
        else result = value_;
        return S_OK;
      case Self:
        result = Variant(ComPtr<IDispatch>(this));
        return S_OK;
      case CallBack: {
        // Calls the caller's object by name, as late-bound script does.
        ComPtr<IDispatch> other = args[0].Dispatch();
        if (!other) return E_POINTER;
        DISPID id = DISPID_UNKNOWN;
        if (HRESULT hr = other->GetIDsOfNames(IID_IDispatch, {"Describe"}, 0, &id); FAILED(hr)) return hr;
        DISPPARAMS params{{args[1]}};
        return other->Invoke(id, IID_IDispatch, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
      }
      case Fail:
        return Raise({1001, "ZarnTest", "The test asked for a failure.", E_FAIL});
      case Kept:  // leaves the out value as it came
        return S_OK;
      case Opaque:
        args[0] = Variant(ComPtr<IUnknown>(new Plain));
        return S_OK;
      case OnOwnThread:
        result = Variant(QThread::currentThread() == QCoreApplication::instance()->thread());
        return S_OK;
      case Typed: {
        std::string all;
        for (const Variant& a : args) all += DescriptionOf(a) + ";";
        result = Variant(Bstr::FromUtf8(all));
        return S_OK;
      }
      case Live:
        result = Variant(int32_t(live));
        return S_OK;
      case Busy:  // keeps the serving thread from its loop
        QThread::msleep(unsigned(args[0].Integer()));
        return S_OK;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

 private:
  Variant value_;
};

}  // namespace

const InterfaceInfo& TestVariantsInfo() {
  static const InterfaceInfo info{
      IID_ITestVariants,
      "ITestVariants",
      "Every argument kind",
      {
          {Echo, "Echo", MemberKind::Method, {{"In", VT_VARIANT}, {"Out", VT_VARIANT, ParamDir::Out}}},
          {Describe, "Describe", MemberKind::Method, {{"Value", VT_VARIANT}}, VT_BSTR},
          {Value, "Value", MemberKind::PropertyGet, {}, VT_VARIANT},
          {Value, "Value", MemberKind::PropertyPut, {{"Value", VT_VARIANT}}},
          {Self, "Self", MemberKind::PropertyGet, {}, VT_DISPATCH},
          {CallBack, "CallBack", MemberKind::Method, {{"Object", VT_DISPATCH}, {"Value", VT_VARIANT}}, VT_BSTR},
          {Fail, "Fail", MemberKind::Method, {}},
          {Kept, "Kept", MemberKind::Method, {{"Value", VT_VARIANT, ParamDir::Out}}},
          {Opaque, "Opaque", MemberKind::Method, {{"Value", VT_VARIANT, ParamDir::Out}}},
          {OnOwnThread, "OnOwnThread", MemberKind::PropertyGet, {}, VT_BOOL},
          {Typed,
           "Typed",
           MemberKind::Method,
           {{"A", VT_I2}, {"B", VT_I4}, {"C", VT_UI4}, {"D", VT_R8}, {"E", VT_DATE}, {"F", VT_BOOL}, {"G", VT_BSTR},
            {"H", VT_BSTR, ParamDir::In, true}, {"I", VT_DISPATCH}, {"J", VT_UNKNOWN}},
           VT_BSTR},
          {Live, "Live", MemberKind::PropertyGet, {}, VT_I4},
          {Busy, "Busy", MemberKind::Method, {{"Milliseconds", VT_I4}}},
      }};
  return info;
}

int TestVariantsLive() { return live; }

HRESULT CTestVariantsFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (outer) return CLASS_E_NOAGGREGATION;
  ComPtr<IDispatch> created(new CTestVariants);
  return created->QueryInterface(iid, object);
}
