#include "crypto_primitives.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// Only the first 128 bytes of a password count, as they always have for the tokens.
constexpr size_t kMaxPasswordBytes = 128;
constexpr unsigned kSha1Bytes = 20;

}  // namespace

bool GenerateRandom(uint8_t* buffer, uint32_t length) {
  if (length == 0) return true;
  if (!buffer) return false;
  while (length > 0) {
    const int chunk = static_cast<int>(std::min<uint32_t>(length, INT_MAX));
    if (RAND_bytes(buffer, chunk) != 1) return false;
    buffer += chunk;
    length -= static_cast<uint32_t>(chunk);
  }
  return true;
}

bool HmacSha1(const uint8_t* key, uint32_t keyLength, const uint8_t* data, uint32_t length, uint8_t* output) {
  static const uint8_t kNothing = 0;  // libcrypto wants a pointer even for empty input
  if (!output || (!key && keyLength) || (!data && length) || keyLength > INT_MAX) return false;
  unsigned size = 0;
  return HMAC(EVP_sha1(), key ? key : &kNothing, static_cast<int>(keyLength), data ? data : &kNothing, length,
              output, &size) != nullptr &&
         size == kSha1Bytes;
}

bool DeriveKey(const char* password, int rounds, const uint8_t* salt, int saltLength, uint8_t* key,
               int keyLength, uint8_t* verifier, unsigned verifierLength) {
  if (!password || !*password || rounds < 1 || !salt || saltLength < 1 || !key || keyLength < 1 ||
      (verifierLength && !verifier))
    return false;
  const size_t passwordLength = strnlen(password, kMaxPasswordBytes);
  if (PKCS5_PBKDF2_HMAC(password, static_cast<int>(passwordLength), salt, saltLength, rounds, EVP_sha1(),
                        keyLength, key) != 1)
    return false;
  if (verifierLength == 0) return true;
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned digestLength = 0;
  if (EVP_Digest(key, static_cast<size_t>(keyLength), digest, &digestLength, EVP_sha1(), nullptr) != 1 ||
      digestLength != kSha1Bytes)
    return false;
  std::memcpy(verifier, digest, std::min(verifierLength, kSha1Bytes));
  return true;
}
