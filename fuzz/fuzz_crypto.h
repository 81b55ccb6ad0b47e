#pragma once
// A crypto object in the fuzz target's own process that answers at once: its cipher is
// the identity and its hash the XOR of the blocks, so the fuzzer can write MACs and
// signatures that check out and reach what the reader does after the checks. Key-sets
// whose number ends in 0xFF fail every call but the store, for the reader's error paths
// (a failed store would only make the reader pause between its tries).

#include <memory>

#include "brisel.h"
#include "token.h"

class FuzzCrypto final : public DispatchImpl<IZarnCrypto>, private ComObjectRoot {
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
  HRESULT Hash(Bstr* pData, int32_t Count, Bstr* pHash) override {
    if (Count < 0 || pData->ByteLength() != size_t(Count) * 8 || pHash->ByteLength() != 8) return E_INVALIDARG;
    for (size_t i = 0; i < pData->ByteLength(); ++i) pHash->Bytes()[i % 8] ^= pData->Bytes()[i];
    return S_OK;
  }
  HRESULT Encrypt(int32_t KeysetNumber, int32_t, int32_t KeysetKey, Bstr* pData, int32_t Count) override {
    return Blocks(KeysetNumber, KeysetKey, *pData, Count);
  }
  HRESULT Decrypt(int32_t KeysetNumber, int32_t, int32_t KeysetKey, Bstr* pData, int32_t Count) override {
    return Blocks(KeysetNumber, KeysetKey, *pData, Count);
  }
  HRESULT Store(int32_t, int32_t, const Bstr&, const Bstr&, const Bstr&, const Bstr&, const Bstr&) override {
    return S_OK;
  }

  static std::unique_ptr<TCryptoToken> Client() { return std::make_unique<TCryptoToken>(ComPtr<IZarnCrypto>(new FuzzCrypto)); }

 protected:
  const InterfaceInfo& TypeInformation() const override { return ZarnCryptoInterfaceInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant&) override {
    return InvokeZarnCrypto(*this, member, args);
  }

 private:
  static bool Fails(int32_t keysetNumber) { return (uint32_t(keysetNumber) & 0xFF) == 0xFF; }
  static HRESULT Blocks(int32_t keysetNumber, int32_t keysetKey, const Bstr& data, int32_t count) {
    const size_t block = uint32_t(keysetKey) & KeysetKeyAes ? 16 : 8;
    if (count < 0 || data.ByteLength() != size_t(count) * block) return E_INVALIDARG;
    return Fails(keysetNumber) ? E_FAIL : S_OK;
  }
};
