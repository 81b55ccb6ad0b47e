#include "com_test_calc.h"

#include <algorithm>
#include <unistd.h>

const InterfaceInfo& TestCalcInfo() {
  static const InterfaceInfo info{
      IID_ITestCalc,
      "ITestCalc",
      "ITestCalc Interface",
      {
          {1, "Add", MemberKind::Method, {{"a", VT_I4}, {"b", VT_I4}}, VT_I4},
          {2, "Reverse", MemberKind::Method, {{"data", VT_BSTR, ParamDir::InOut, true}}},
          {3, "Name", MemberKind::PropertyGet, {}, VT_BSTR},
          {3, "Name", MemberKind::PropertyPut, {{"value", VT_BSTR}}},
          {4, "Child", MemberKind::PropertyGet, {}, VT_DISPATCH},
          {5, "LiveObjects", MemberKind::PropertyGet, {}, VT_I4},
          {6, "Pid", MemberKind::PropertyGet, {}, VT_I4},
          {7, "Fail", MemberKind::Method, {}},
      }};
  return info;
}

HRESULT CTestCalc::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ITestCalc) {
    *object = static_cast<ITestCalc*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT CTestCalc::Add(int32_t a, int32_t b, int32_t* sum) {
  *sum = a + b;
  return S_OK;
}

HRESULT CTestCalc::Reverse(Bstr* data) {
  std::string bytes = data->ByteString();
  std::reverse(bytes.begin(), bytes.end());
  *data = Bstr::FromBytes(bytes);
  return S_OK;
}

HRESULT CTestCalc::get_Name(Bstr* name) {
  *name = name_;
  return S_OK;
}

HRESULT CTestCalc::put_Name(const Bstr& name) {
  name_ = name;
  return S_OK;
}

HRESULT CTestCalc::get_Child(IDispatch** child) {
  *child = ComPtr<IDispatch>(new CTestCalc).Detach();
  return S_OK;
}

HRESULT CTestCalc::get_LiveObjects(int32_t* count) {
  *count = live;
  return S_OK;
}

HRESULT CTestCalc::get_Pid(int32_t* pid) {
  *pid = int32_t(::getpid());
  return S_OK;
}

HRESULT CTestCalc::Fail() { return E_FAIL; }

HRESULT CTestCalc::InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) {
  HRESULT hr = S_OK;
  int32_t n = 0;
  switch (member.id) {
    case 1:
      hr = Add(int32_t(args[0].Integer()), int32_t(args[1].Integer()), &n);
      result = Variant(n);
      return hr;
    case 2:
      return Reverse(&args[0].String());
    case 3:
      if (member.kind == MemberKind::PropertyPut) return put_Name(args[0].String());
      result = Variant(Bstr());
      return get_Name(&result.String());
    case 4: {
      ComPtr<IDispatch> child;
      hr = get_Child(child.Put());
      result = Variant(child);
      return hr;
    }
    case 5:
      hr = get_LiveObjects(&n);
      result = Variant(n);
      return hr;
    case 6:
      hr = get_Pid(&n);
      result = Variant(n);
      return hr;
    case 7:
      return Fail();
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

namespace {

class TestCalcProxy final : public DispatchProxy<ITestCalc> {
 public:
  explicit TestCalcProxy(IDispatch* bus) : DispatchProxy(bus, IID_ITestCalc) {}

  HRESULT Add(int32_t a, int32_t b, int32_t* sum) override {
    Variant r;
    HRESULT hr = Call(1, DISPATCH_METHOD, {Variant(a), Variant(b)}, &r);
    if (SUCCEEDED(hr)) *sum = int32_t(r.Integer());
    return hr;
  }
  HRESULT Reverse(Bstr* data) override {
    std::vector<Variant> args{Variant(*data)};
    HRESULT hr = Call(2, DISPATCH_METHOD, args);
    if (SUCCEEDED(hr)) *data = args[0].String();
    return hr;
  }
  HRESULT get_Name(Bstr* name) override {
    Variant r;
    HRESULT hr = Call(3, DISPATCH_PROPERTYGET, {}, &r);
    if (SUCCEEDED(hr)) *name = r.String();
    return hr;
  }
  HRESULT put_Name(const Bstr& name) override { return Call(3, DISPATCH_PROPERTYPUT, {Variant(name)}); }
  HRESULT get_Child(IDispatch** child) override {
    Variant r;
    HRESULT hr = Call(4, DISPATCH_PROPERTYGET, {}, &r);
    if (SUCCEEDED(hr)) *child = ComPtr<IDispatch>(r.Dispatch()).Detach();
    return hr;
  }
  HRESULT get_LiveObjects(int32_t* count) override {
    Variant r;
    HRESULT hr = Call(5, DISPATCH_PROPERTYGET, {}, &r);
    if (SUCCEEDED(hr)) *count = int32_t(r.Integer());
    return hr;
  }
  HRESULT get_Pid(int32_t* pid) override {
    Variant r;
    HRESULT hr = Call(6, DISPATCH_PROPERTYGET, {}, &r);
    if (SUCCEEDED(hr)) *pid = int32_t(r.Integer());
    return hr;
  }
  HRESULT Fail() override { return Call(7, DISPATCH_METHOD, {}); }
};

}  // namespace

IUnknown* MakeTestCalcProxy(IDispatch* bus) {
  auto* proxy = new TestCalcProxy(bus);
  proxy->AddRef();
  return static_cast<ITestCalc*>(proxy);
}

HRESULT CTestCalcFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (outer) return CLASS_E_NOAGGREGATION;
  ComPtr<CTestCalc> calc(new CTestCalc);
  return calc->QueryInterface(iid, object);
}
