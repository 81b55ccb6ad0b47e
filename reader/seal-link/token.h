#pragma once
// The client of the crypto service: the reader holds no keys, so every MAC, signature
// check, en- and decryption and the storing of a new key-set is a call into the
// service's process. On top of those calls, the seal protocol's message
// authentication in its 8-byte (triple DES) and 16-byte (AES-128) forms.

#include <cstdint>
#include <stdexcept>

#include "brisel.h"
#include "tools.h"

// The key of the selected key-set that a call uses.
enum class KeyIndex : uint32_t {
  Authentication = 0,  // signatures of log pages
  Authorization = 1,   // request MACs
  Identification = 2,  // reply MACs
  Encryption = 3,      // request and reply data, the stored form of pad pages
};

// The service could not be created; the only exception the seal link raises.
class ETokenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint16_t KeysetRecordSize = 80;

class TCryptoToken {
 public:
  // Enters the component model on the calling thread and creates the service object,
  // starting the service when it is not running. Raises ETokenError when it cannot.
  // The class is the service's own unless a test points the client elsewhere.
  explicit TCryptoToken(REFCLSID clsid = CLSID_ZarnCrypto);
  // A client of a crypto object at hand in this process (the fuzz targets' stand-in).
  explicit TCryptoToken(ComPtr<IZarnCrypto> crypto);
  // On the thread that created the object: releases the service, then leaves the model.
  ~TCryptoToken();
  TCryptoToken(const TCryptoToken&) = delete;
  TCryptoToken& operator=(const TCryptoToken&) = delete;

  // The key-set later calls use; its time is kept as seconds since SealEpoch.
  void SelectKeyset(uint32_t number, TSealTime time);
  uint32_t SelectedKeysetNumber() const { return keysetNumber_; }
  uint32_t SelectedKeysetTime() const { return keysetTime_; }

  // The service's keyless 8-byte CBC-MAC of blocks × 8 bytes, chained from value.
  bool Hash(const uint8_t* data, uint32_t blocks, uint8_t value[8]);
  // In place, with the given key of the selected key-set; 8-byte or 16-byte blocks.
  // On failure the data is left as it was.
  bool Encrypt(uint8_t* data, uint32_t blocks, KeyIndex key);
  bool Decrypt(uint8_t* data, uint32_t blocks, KeyIndex key);
  bool Encrypt16(uint8_t* data, uint32_t blocks, KeyIndex key);
  bool Decrypt16(uint8_t* data, uint32_t blocks, KeyIndex key);

  // With the encryption key; 0 or CryptoTokenError.
  SealErrorCode EncryptData(uint8_t* data, uint32_t blocks);
  SealErrorCode DecryptData(uint8_t* data, uint32_t blocks);
  SealErrorCode EncryptData16(uint8_t* data, uint32_t blocks);
  SealErrorCode DecryptData16(uint8_t* data, uint32_t blocks);

  // Writes the MAC of a request payload (command, option and dataLength plain data
  // bytes in their places after the MAC field) into the payload's MAC field.
  SealErrorCode MakeRequestMac(const uint8_t chain[8], uint16_t dataLength, uint8_t* payload);
  SealErrorCode MakeRequestMac16(const uint8_t chain[16], uint16_t dataLength, uint8_t* payload);

  // Checks the MAC of blocks of decrypted reply data against the chaining value that
  // was current before the reply: 0, AuthenticationFailed or CryptoTokenError.
  SealErrorCode CheckReplyMac(const uint8_t previous[8], const uint8_t* data, uint32_t blocks, const uint8_t mac[8]);
  SealErrorCode CheckReplyMac16(const uint8_t previous[16], const uint8_t* data, uint32_t blocks,
                                const uint8_t mac[16]);

  // Checks the signature in bytes 8-15 of a decrypted 64-byte log page.
  SealErrorCode CheckPageSignature(const uint8_t page[64]);
  SealErrorCode CheckPageSignature16(const uint8_t page[64]);
  // The same for many pages (64 bytes each) with few calls. In 8-byte mode the check is
  // a keyless hash of each page, then one encryption of every hash: values holds the
  // pages' hashes (8 bytes each), and a verdict other than 0 marks a page whose hash
  // failed; the others get their verdict. In 16-byte mode three calls check them all.
  bool PageSignatureHash(const uint8_t page[64], uint8_t value[8]);
  void CheckPageSignatureHashes(const uint8_t* pages, uint8_t* values, size_t count, SealErrorCode* verdicts);
  void CheckPageSignatures16(const uint8_t* pages, size_t count, SealErrorCode* verdicts);

  // Stores the key-set record a seal sent on creating it (number, time, five keys)
  // and selects that key-set.
  SealErrorCode StoreKeyset(const uint8_t record[KeysetRecordSize]);

 private:
  bool Blocks(bool encrypt, uint8_t* data, uint32_t blocks, uint32_t blockSize, uint32_t keysetKey);

  ComPtr<IZarnCrypto> crypto_;
  uint32_t keysetNumber_ = 0;
  uint32_t keysetTime_ = 0;  // seconds since SealEpoch
};
