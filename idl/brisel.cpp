#include "brisel.h"

const InterfaceInfo& ZarnCryptoInterfaceInfo() {
  static const InterfaceInfo info{
      IID_IZarnCrypto,
      "IZarnCrypto",
      "IZarnCrypto Interface",
      {
          {1, "Hash", MemberKind::Method,
           {{"pData", VT_BSTR, ParamDir::In, true}, {"Count", VT_I4}, {"pHash", VT_BSTR, ParamDir::InOut, true}},
           VT_EMPTY, "method Hash"},
          {2, "Encrypt", MemberKind::Method,
           {{"KeysetNumber", VT_I4}, {"KeysetTime", VT_I4}, {"KeysetKey", VT_I4},
            {"pData", VT_BSTR, ParamDir::InOut, true}, {"Count", VT_I4}},
           VT_EMPTY, "method Encrypt"},
          {3, "Decrypt", MemberKind::Method,
           {{"KeysetNumber", VT_I4}, {"KeysetTime", VT_I4}, {"KeysetKey", VT_I4},
            {"pData", VT_BSTR, ParamDir::InOut, true}, {"Count", VT_I4}},
           VT_EMPTY, "method Decrypt"},
          {4, "Store", MemberKind::Method,
           {{"KeysetNumber", VT_I4}, {"KeysetTime", VT_I4}, {"AuthenticationKey", VT_BSTR, ParamDir::In, true},
            {"AuthorizationKey", VT_BSTR, ParamDir::In, true}, {"IdentificationKey", VT_BSTR, ParamDir::In, true},
            {"EncryptionKey", VT_BSTR, ParamDir::In, true}, {"QuarelKey", VT_BSTR, ParamDir::In, true}},
           VT_EMPTY, "method Store"},
      }};
  return info;
}

const CoClassInfo& ZarnCryptoClassInfo() {
  static const CoClassInfo info{CLSID_ZarnCrypto, "ZarnCrypto", "ZarnCrypto Class", &ZarnCryptoInterfaceInfo()};
  return info;
}

const TypeLibInfo& BriselTypeLibInfo() {
  static const TypeLibInfo info{LIBID_BriselLib, "BriselLib", "Brisel 1.0 Type Library", 1, 0,
                                {&ZarnCryptoClassInfo()}, {&ZarnCryptoInterfaceInfo()}};
  return info;
}

HRESULT InvokeZarnCrypto(IZarnCrypto& object, const MemberInfo& member, std::vector<Variant>& a) {
  auto i = [&](size_t n) { return int32_t(a[n].Integer()); };
  switch (member.id) {
    case 1: return object.Hash(&a[0].String(), i(1), &a[2].String());
    case 2: return object.Encrypt(i(0), i(1), i(2), &a[3].String(), i(4));
    case 3: return object.Decrypt(i(0), i(1), i(2), &a[3].String(), i(4));
    case 4: return object.Store(i(0), i(1), a[2].String(), a[3].String(), a[4].String(), a[5].String(), a[6].String());
    default: return DISP_E_MEMBERNOTFOUND;
  }
}

namespace {

class ZarnCryptoProxy final : public DispatchProxy<IZarnCrypto> {
 public:
  explicit ZarnCryptoProxy(IDispatch* bus) : DispatchProxy(bus, IID_IZarnCrypto) {}

  HRESULT Hash(Bstr* pData, int32_t Count, Bstr* pHash) override {
    std::vector<Variant> args{Variant(*pData), Variant(Count), Variant(*pHash)};
    HRESULT hr = Call(1, DISPATCH_METHOD, args);
    if (SUCCEEDED(hr)) *pHash = args[2].String();
    return hr;
  }
  HRESULT Encrypt(int32_t number, int32_t time, int32_t key, Bstr* pData, int32_t Count) override {
    return Blocks(2, number, time, key, pData, Count);
  }
  HRESULT Decrypt(int32_t number, int32_t time, int32_t key, Bstr* pData, int32_t Count) override {
    return Blocks(3, number, time, key, pData, Count);
  }
  HRESULT Store(int32_t number, int32_t time, const Bstr& a, const Bstr& b, const Bstr& c, const Bstr& d,
                const Bstr& q) override {
    return Call(4, DISPATCH_METHOD,
                {Variant(number), Variant(time), Variant(a), Variant(b), Variant(c), Variant(d), Variant(q)});
  }

 private:
  HRESULT Blocks(DISPID id, int32_t number, int32_t time, int32_t key, Bstr* data, int32_t count) {
    std::vector<Variant> args{Variant(number), Variant(time), Variant(key), Variant(*data), Variant(count)};
    HRESULT hr = Call(id, DISPATCH_METHOD, args);
    if (SUCCEEDED(hr)) *data = args[3].String();
    return hr;
  }
};

}  // namespace

IUnknown* MakeZarnCryptoProxy(IDispatch* bus) {
  auto* proxy = new ZarnCryptoProxy(bus);
  proxy->AddRef();
  return static_cast<IZarnCrypto*>(proxy);
}
