// The faulty crypto service's program, started by the test bus.
#include <QCoreApplication>

#include "brisel.h"
#include "faulty_crypto.h"
#include "local_server.h"

namespace {

// Applies the fault to a byte string the service hands back.
HRESULT Spoil(int32_t fault, Bstr* data) {
  std::string bytes = data->ByteString();
  switch (fault) {
    case AnswerShort:
      if (!bytes.empty()) bytes.pop_back();
      break;
    case AnswerLong:
      bytes.push_back('\x5A');
      break;
    case AnswerSuccessCode:
      for (char& c : bytes) c = char(~c);
      *data = Bstr::FromBytes(bytes);
      return S_FALSE;
    default:
      return S_OK;
  }
  *data = Bstr::FromBytes(bytes);
  return S_OK;
}

class FaultyCrypto final : public DispatchImpl<IZarnCrypto>, private ComObjectRoot {
 public:
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_IZarnCrypto) return E_NOINTERFACE;
    *object = static_cast<IZarnCrypto*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT Hash(Bstr*, int32_t, Bstr* pHash) override {
    return Spoil(pHash->ByteLength() ? pHash->Bytes()[0] : 0, pHash);
  }
  HRESULT Encrypt(int32_t number, int32_t, int32_t, Bstr* pData, int32_t) override { return Spoil(number, pData); }
  HRESULT Decrypt(int32_t number, int32_t, int32_t, Bstr* pData, int32_t) override { return Spoil(number, pData); }
  HRESULT Store(int32_t number, int32_t, const Bstr&, const Bstr&, const Bstr&, const Bstr&, const Bstr&) override {
    return number == AnswerRight ? S_OK : S_FALSE;
  }

 protected:
  const InterfaceInfo& TypeInformation() const override { return ZarnCryptoInterfaceInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant&) override {
    return InvokeZarnCrypto(*this, member, args);
  }
};

class FaultyCryptoFactory final : public ClassFactoryRoot {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    ComPtr<IZarnCrypto> crypto(new FaultyCrypto);
    return crypto->QueryInterface(iid, object);
  }
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  platform::dbus::LocalServer server(FaultyCryptoBusName);
  server.RegisterClassObject(CLSID_FaultyCrypto, new FaultyCryptoFactory);
  QObject::connect(&server, &platform::dbus::LocalServer::busLost, &app, &QCoreApplication::quit);
  if (FAILED(server.Start())) return 1;
  return app.exec();
}
