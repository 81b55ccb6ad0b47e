#pragma once
// The crypto object: every key computation of the system. A token that holds the
// key-set computes the blocks itself; otherwise the keys come from the key database
// and OpenSSL computes with them. Each client's object has a key-set cache of its own.

#include <array>
#include <memory>
#include <string>

#include "brisel.h"
#include "token_scan.h"

// The key database's connection as the service's command line gave it.
struct KeyDatabaseSource {
  std::wstring dataSource, user, password;
  bool set = false;  // no data source given: key-sets come only from tokens
};

class CZarnCrypto final : public DispatchImpl<IZarnCrypto>, private ComObjectRoot {
 public:
  CZarnCrypto(const CTokenScan* scan, const KeyDatabaseSource& database);
  ~CZarnCrypto() override;
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override;

  // Run after creation: the object is not handed out when it fails.
  HRESULT FinalConstruct();

  HRESULT Hash(Bstr* pData, int32_t Count, Bstr* pHash) override;
  HRESULT Encrypt(int32_t KeysetNumber, int32_t KeysetTime, int32_t KeysetKey, Bstr* pData, int32_t Count) override;
  HRESULT Decrypt(int32_t KeysetNumber, int32_t KeysetTime, int32_t KeysetKey, Bstr* pData, int32_t Count) override;
  HRESULT Store(int32_t KeysetNumber, int32_t KeysetTime, const Bstr& AuthenticationKey, const Bstr& AuthorizationKey,
                const Bstr& IdentificationKey, const Bstr& EncryptionKey, const Bstr& QuarelKey) override;

  bool SelectKeyset(uint32_t number, uint32_t time, int keyType);
  bool ImportSessionKeys(const uint8_t* keys[4]);

 protected:
  const InterfaceInfo& TypeInformation() const override { return ZarnCryptoInterfaceInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override;

 private:
  using Key = std::array<uint8_t, 16>;
  HRESULT Blocks(bool encrypt, int32_t number, int32_t time, int32_t keysetKey, Bstr* data, int32_t count);

  const CTokenScan* scan_;
  const KeyDatabaseSource& database_;

  bool m_bAes = false;
  std::shared_ptr<CToken> m_pToken;  // only within the call that found it
  uint16_t m_nTokenIndex = 0;
  bool m_hProvider = false;
  Key m_hSessionKeys[4] = {};
  bool m_bSessionKeySet[4] = {};
  uint32_t m_nCachedNumber = 0;
  uint32_t m_nCachedTime = 0;
  bool m_bCachedAes = false;
};

// Makes a CZarnCrypto for every creation request.
class CZarnCryptoFactory final : public ClassFactoryRoot {
 public:
  CZarnCryptoFactory(const CTokenScan* scan, const KeyDatabaseSource& database) : scan_(scan), database_(database) {}
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;

 private:
  const CTokenScan* scan_;
  const KeyDatabaseSource& database_;
};
