#include "token.h"

#include <cstring>
#include <vector>

#include "activation.h"
#include "crc.h"
#include "local_client.h"

namespace {

constexpr const char* CreateFailedText = "Could not initialize ZARN cryptographic services";

uint32_t KeysetKey(KeyIndex key, bool aes) { return uint32_t(key) | (aes ? KeysetKeyAes : 0); }

// Takes what the service handed back only when it is exactly as long as what was sent:
// anything else is a broken service, and a short or long copy would corrupt the caller.
bool CopyBack(const Bstr& result, uint8_t* data, size_t length) {
  if (result.ByteLength() != length) return false;
  std::memcpy(data, result.Bytes(), length);
  return true;
}

void XorInto(uint8_t* target, const uint8_t* source, size_t length) {
  for (size_t i = 0; i < length; ++i) target[i] ^= source[i];
}

}  // namespace

TCryptoToken::TCryptoToken(REFCLSID clsid) {
  CoInitialize();
  platform::dbus::RegisterInterface(ZarnCryptoInterfaceInfo(), MakeZarnCryptoProxy);
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IZarnCrypto, crypto_.PutVoid());
  if (FAILED(hr) || !crypto_) {
    crypto_.Reset();
    CoUninitialize();
    throw ETokenError(CreateFailedText);
  }
}

TCryptoToken::TCryptoToken(ComPtr<IZarnCrypto> crypto) : crypto_(std::move(crypto)) {
  // Entered all the same: the destructor leaves the model on every path.
  CoInitialize();
}

TCryptoToken::~TCryptoToken() {
  crypto_.Reset();
  CoUninitialize();
}

void TCryptoToken::SelectKeyset(uint32_t number, TSealTime time) {
  keysetNumber_ = number;
  keysetTime_ = SealTimeSeconds(time);
}

bool TCryptoToken::Hash(const uint8_t* data, uint32_t blocks, uint8_t value[8]) {
  Bstr bytes = Bstr::FromBytes(data, size_t(blocks) * 8);
  Bstr hash = Bstr::FromBytes(value, 8);
  return crypto_->Hash(&bytes, int32_t(blocks), &hash) == S_OK && CopyBack(hash, value, 8);
}

bool TCryptoToken::Blocks(bool encrypt, uint8_t* data, uint32_t blocks, uint32_t blockSize, uint32_t keysetKey) {
  const size_t length = size_t(blocks) * blockSize;
  Bstr bytes = Bstr::FromBytes(data, length);
  const int32_t number = int32_t(keysetNumber_), time = int32_t(keysetTime_), key = int32_t(keysetKey);
  HRESULT hr = encrypt ? crypto_->Encrypt(number, time, key, &bytes, int32_t(blocks))
                       : crypto_->Decrypt(number, time, key, &bytes, int32_t(blocks));
  return hr == S_OK && CopyBack(bytes, data, length);
}

bool TCryptoToken::Encrypt(uint8_t* data, uint32_t blocks, KeyIndex key) {
  return Blocks(true, data, blocks, 8, KeysetKey(key, false));
}

bool TCryptoToken::Decrypt(uint8_t* data, uint32_t blocks, KeyIndex key) {
  return Blocks(false, data, blocks, 8, KeysetKey(key, false));
}

bool TCryptoToken::Encrypt16(uint8_t* data, uint32_t blocks, KeyIndex key) {
  return Blocks(true, data, blocks, 16, KeysetKey(key, true));
}

bool TCryptoToken::Decrypt16(uint8_t* data, uint32_t blocks, KeyIndex key) {
  return Blocks(false, data, blocks, 16, KeysetKey(key, true));
}

SealErrorCode TCryptoToken::EncryptData(uint8_t* data, uint32_t blocks) {
  return Encrypt(data, blocks, KeyIndex::Encryption) ? 0 : SealError::CryptoTokenError;
}

SealErrorCode TCryptoToken::DecryptData(uint8_t* data, uint32_t blocks) {
  return Decrypt(data, blocks, KeyIndex::Encryption) ? 0 : SealError::CryptoTokenError;
}

SealErrorCode TCryptoToken::EncryptData16(uint8_t* data, uint32_t blocks) {
  return Encrypt16(data, blocks, KeyIndex::Encryption) ? 0 : SealError::CryptoTokenError;
}

SealErrorCode TCryptoToken::DecryptData16(uint8_t* data, uint32_t blocks) {
  return Decrypt16(data, blocks, KeyIndex::Encryption) ? 0 : SealError::CryptoTokenError;
}

// The request MAC: the chaining value with the command, the option and the CRC of the
// plain data folded in, run backwards through the cipher (the seal has only the
// forward direction and checks by encrypting the MAC).
SealErrorCode TCryptoToken::MakeRequestMac(const uint8_t chain[8], uint16_t dataLength, uint8_t* payload) {
  uint8_t b[8];
  std::memcpy(b, chain, 8);
  b[0] ^= payload[10];
  b[2] ^= payload[11];
  uint16_t crc = CalcCrc16(0, payload + 12, dataLength);
  b[4] ^= uint8_t(crc);
  b[6] ^= uint8_t(crc >> 8);
  if (!Decrypt(b, 1, KeyIndex::Authorization)) return SealError::CryptoTokenError;
  std::memcpy(payload + 2, b, 8);
  return 0;
}

SealErrorCode TCryptoToken::MakeRequestMac16(const uint8_t chain[16], uint16_t dataLength, uint8_t* payload) {
  uint8_t b[16];
  std::memcpy(b, chain, 16);
  b[0] ^= payload[18];
  b[2] ^= payload[19];
  uint16_t crc = CalcCrc16(0, payload + 20, dataLength);
  b[4] ^= uint8_t(crc);
  b[6] ^= uint8_t(crc >> 8);
  if (!Decrypt16(b, 1, KeyIndex::Authorization)) return SealError::CryptoTokenError;
  std::memcpy(payload + 2, b, 16);
  return 0;
}

SealErrorCode TCryptoToken::CheckReplyMac(const uint8_t previous[8], const uint8_t* data, uint32_t blocks,
                                          const uint8_t mac[8]) {
  uint8_t v[8];
  std::memcpy(v, previous, 8);
  if (!Hash(data, blocks, v) || !Encrypt(v, 1, KeyIndex::Identification)) return SealError::CryptoTokenError;
  return std::memcmp(v, mac, 8) == 0 ? 0 : SealError::AuthenticationFailed;
}

SealErrorCode TCryptoToken::CheckReplyMac16(const uint8_t previous[16], const uint8_t* data, uint32_t blocks,
                                            const uint8_t mac[16]) {
  uint8_t d[16];
  std::memcpy(d, previous, 16);
  for (uint32_t i = 0; i < blocks; ++i) {
    XorInto(d, data + 16 * i, 16);
    if (!Encrypt16(d, 1, KeyIndex::Identification)) return SealError::CryptoTokenError;
  }
  return std::memcmp(d, mac, 16) == 0 ? 0 : SealError::AuthenticationFailed;
}

SealErrorCode TCryptoToken::CheckPageSignature(const uint8_t page[64]) {
  uint8_t value[8];
  SealErrorCode verdict = PageSignatureHash(page, value) ? 0 : SealError::CryptoTokenError;
  CheckPageSignatureHashes(page, value, 1, &verdict);
  return verdict;
}

bool TCryptoToken::PageSignatureHash(const uint8_t page[64], uint8_t value[8]) {
  std::memcpy(value, page, 8);
  return Hash(page + 16, 6, value);
}

void TCryptoToken::CheckPageSignatureHashes(const uint8_t* pages, uint8_t* values, size_t count,
                                            SealErrorCode* verdicts) {
  // ECB: one call encrypts every page's hash, each block on its own.
  const bool encrypted = Encrypt(values, uint32_t(count), KeyIndex::Authentication);
  for (size_t i = 0; i < count; ++i) {
    if (verdicts[i] != 0) continue;
    if (!encrypted)
      verdicts[i] = SealError::CryptoTokenError;
    else
      verdicts[i] = std::memcmp(values + 8 * i, pages + 64 * i + 8, 8) == 0 ? 0 : SealError::AuthenticationFailed;
  }
}

SealErrorCode TCryptoToken::CheckPageSignature16(const uint8_t page[64]) {
  SealErrorCode verdict;
  CheckPageSignatures16(page, 1, &verdict);
  return verdict;
}

void TCryptoToken::CheckPageSignatures16(const uint8_t* pages, size_t count, SealErrorCode* verdicts) {
  // The three chained steps of every page go as three calls: ECB encrypts each page's
  // block on its own, so the pages' chains do not mix.
  std::vector<uint8_t> d(16 * count, 0);
  bool ok = true;
  for (int step = 0; step < 3 && ok; ++step) {
    for (size_t i = 0; i < count; ++i) {
      if (step == 0) std::memcpy(&d[16 * i], pages + 64 * i, 8);
      XorInto(&d[16 * i], pages + 64 * i + 16 + 16 * step, 16);
    }
    ok = Encrypt16(d.data(), uint32_t(count), KeyIndex::Authentication);
  }
  for (size_t i = 0; i < count; ++i) {
    uint8_t folded[8];
    for (int k = 0; k < 8; ++k) folded[k] = d[16 * i + k] ^ d[16 * i + k + 8];
    verdicts[i] = !ok ? SealError::CryptoTokenError
                      : std::memcmp(folded, pages + 64 * i + 8, 8) == 0 ? 0 : SealError::AuthenticationFailed;
  }
}

SealErrorCode TCryptoToken::StoreKeyset(const uint8_t record[KeysetRecordSize]) {
  auto u32 = [record](int at) {
    return uint32_t(record[at]) | uint32_t(record[at + 1]) << 8 | uint32_t(record[at + 2]) << 16 |
           uint32_t(record[at + 3]) << 24;
  };
  SelectKeyset(u32(0), u32(4));
  HRESULT hr = crypto_->Store(int32_t(keysetNumber_), int32_t(keysetTime_), Bstr::FromBytes(record + 8, 16),
                              Bstr::FromBytes(record + 24, 16), Bstr::FromBytes(record + 40, 16),
                              Bstr::FromBytes(record + 56, 16), Bstr::FromBytes(record + 72, 8));
  return hr == S_OK ? 0 : SealError::CryptoTokenError;
}
