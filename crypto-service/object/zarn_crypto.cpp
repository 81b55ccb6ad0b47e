#include "zarn_crypto.h"

#include <cstring>
#include <openssl/evp.h>

#include "hash_key.h"
#include "keyset_datasource.h"

namespace {

constexpr size_t DesBlock = 8;
constexpr size_t AesBlock = 16;

// One ECB run without padding: the result is exactly as long as the input.
bool EcbCrypt(const EVP_CIPHER* cipher, const uint8_t* key, uint8_t* data, size_t length, bool encrypt) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  if (!context) return false;
  int out = 0;
  bool ok = EVP_CipherInit_ex(context, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(context, 0) == 1 &&
            (length == 0 || EVP_CipherUpdate(context, data, &out, data, int(length)) == 1) && size_t(out) == length;
  EVP_CIPHER_CTX_free(context);
  return ok;
}

// Single DES under the fixed key, as three-key DES-EDE with K|K|K: OpenSSL keeps plain
// DES in a provider we do not load.
bool HashBlock(uint8_t block[DesBlock]) {
  uint8_t key[24];
  for (int i = 0; i < 3; ++i) std::memcpy(key + 8 * i, HashKeyBytes, 8);
  return EcbCrypt(EVP_des_ede3_ecb(), key, block, DesBlock, true);
}

// Two-key triple DES: K1, K2, K1.
const EVP_CIPHER* KeysetCipher(bool aes) { return aes ? EVP_aes_128_ecb() : EVP_des_ede_ecb(); }

bool HasBytes(const Bstr& s, size_t length) { return s.ByteLength() >= length; }

}  // namespace

CZarnCrypto::CZarnCrypto(const CTokenScan* scan, const KeyDatabaseSource& database) : scan_(scan), database_(database) {}

CZarnCrypto::~CZarnCrypto() = default;

HRESULT CZarnCrypto::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IZarnCrypto) {
    *object = static_cast<IZarnCrypto*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT CZarnCrypto::FinalConstruct() {
  // The ciphers must be there; the hash key is checked by one encryption.
  uint8_t probe[DesBlock] = {};
  m_hProvider = EVP_aes_128_ecb() && EVP_des_ede_ecb() && HashBlock(probe);
  return m_hProvider ? S_OK : E_FAIL;
}

HRESULT CZarnCrypto::Hash(Bstr* pData, int32_t Count, Bstr* pHash) {
  if (!pData || !pHash || Count < 0 || !HasBytes(*pData, size_t(Count) * DesBlock) || !HasBytes(*pHash, DesBlock))
    return E_FAIL;
  uint8_t* h = pHash->Bytes();
  const uint8_t* d = pData->Bytes();
  for (int32_t i = 0; i < Count; ++i) {
    for (size_t k = 0; k < DesBlock; ++k) h[k] ^= d[DesBlock * size_t(i) + k];
    if (!HashBlock(h)) return E_FAIL;
  }
  return S_OK;
}

HRESULT CZarnCrypto::Encrypt(int32_t number, int32_t time, int32_t keysetKey, Bstr* pData, int32_t Count) {
  return Blocks(true, number, time, keysetKey, pData, Count);
}

HRESULT CZarnCrypto::Decrypt(int32_t number, int32_t time, int32_t keysetKey, Bstr* pData, int32_t Count) {
  return Blocks(false, number, time, keysetKey, pData, Count);
}

HRESULT CZarnCrypto::Blocks(bool encrypt, int32_t number, int32_t time, int32_t keysetKey, Bstr* data,
                            int32_t count) {
  m_bAes = uint32_t(keysetKey) & KeysetKeyAes;
  int type = int(uint32_t(keysetKey) & ~KeysetKeyAes);
  const size_t block = m_bAes ? AesBlock : DesBlock;
  if (!data || count < 0 || !HasBytes(*data, size_t(count) * block)) return E_FAIL;
  struct Release {
    std::shared_ptr<CToken>& token;
    ~Release() { token.reset(); }
  } release{m_pToken};
  if (!SelectKeyset(uint32_t(number), uint32_t(time), type)) return E_FAIL;
  uint8_t* bytes = data->Bytes();
  if (m_pToken) {
    TokenStatus status = 0;
    if (!m_pToken->SelectKeyset(m_nTokenIndex, &status) || (status & TokenError)) return E_FAIL;
    for (int32_t i = 0; i < count; ++i) {
      uint8_t* b = bytes + block * size_t(i);
      bool ok = encrypt ? m_pToken->Encrypt(type, b, int(block), &status) : m_pToken->Decrypt(type, b, int(block), &status);
      // A block the token refused stays as it was: the call must not pass it off as done.
      if (!ok || (status & TokenError)) return E_FAIL;
    }
    return S_OK;
  }
  if (type < 0 || type > 3 || !m_bSessionKeySet[type]) return E_FAIL;
  return EcbCrypt(KeysetCipher(m_bAes), m_hSessionKeys[type].data(), bytes, size_t(count) * block, encrypt) ? S_OK
                                                                                                          : E_FAIL;
}

bool CZarnCrypto::SelectKeyset(uint32_t number, uint32_t time, int keyType) {
  m_pToken.reset();
  if (number == 0) {
    m_nCachedNumber = 0;
    static const uint8_t zero[16] = {};
    const uint8_t* keys[4] = {zero, zero, zero, zero};
    return ImportSessionKeys(keys);
  }
  if (number == m_nCachedNumber && time == m_nCachedTime && m_bAes == m_bCachedAes) return true;
  if (scan_) {
    for (auto& token : scan_->Tokens()) {
      if (token->FindKeyset(number, time, keyType, m_nTokenIndex)) {
        m_pToken = token;
        return true;
      }
    }
  }
  uint8_t loaded[4][16];
  try {
    if (!database_.set) return false;
    CKeysetDatasource db(database_.dataSource.c_str(), database_.user.c_str(), database_.password.c_str());
    if (!db.LoadKeyset(number, time, loaded[0], loaded[1], loaded[2], loaded[3])) return false;
  } catch (int) {
    return false;
  }
  m_nCachedNumber = 0;
  const uint8_t* keys[4] = {loaded[0], loaded[1], loaded[2], loaded[3]};
  if (!ImportSessionKeys(keys)) return false;
  m_nCachedNumber = number;
  m_nCachedTime = time;
  m_bCachedAes = m_bAes;
  return true;
}

bool CZarnCrypto::ImportSessionKeys(const uint8_t* keys[4]) {
  // Keys are kept as bytes; the cipher of the call's mode takes them, 16 bytes each
  // (for triple DES K1 then K2).
  bool all = true;
  for (int type = 0; type < 4; ++type) {
    m_bSessionKeySet[type] = keys[type] != nullptr;
    if (keys[type]) std::memcpy(m_hSessionKeys[type].data(), keys[type], 16);
    all = all && m_bSessionKeySet[type];
  }
  return all;
}

HRESULT CZarnCrypto::Store(int32_t KeysetNumber, int32_t KeysetTime, const Bstr& a, const Bstr& b, const Bstr& c,
                           const Bstr& d, const Bstr& q) {
  if (!HasBytes(a, 16) || !HasBytes(b, 16) || !HasBytes(c, 16) || !HasBytes(d, 16) || !HasBytes(q, 8)) return E_FAIL;
  try {
    if (!database_.set) return E_FAIL;
    CKeysetDatasource db(database_.dataSource.c_str(), database_.user.c_str(), database_.password.c_str());
    return db.StoreKeyset(uint32_t(KeysetNumber), uint32_t(KeysetTime), a.Bytes(), b.Bytes(), c.Bytes(), d.Bytes(),
                          q.Bytes())
               ? S_OK
               : E_FAIL;
  } catch (int) {
    return E_FAIL;
  }
}

HRESULT CZarnCrypto::InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant&) {
  return InvokeZarnCrypto(*this, member, args);
}

HRESULT CZarnCryptoFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  ComPtr<CZarnCrypto> crypto(new CZarnCrypto(scan_, database_));
  if (FAILED(crypto->FinalConstruct())) return E_FAIL;
  return crypto->QueryInterface(iid, object);
}
