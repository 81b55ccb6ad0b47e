#pragma once
// What the token password dialogs turn a password into: an 8-byte random salt, and the
// PBKDF2-HMAC-SHA1 key and verifier that the token's unlock and lock commands carry.
// None of them keeps state, shows anything or throws; every failure is a false result.

#include <cstdint>

// Fills buffer with length random bytes from the system's generator.
bool GenerateRandom(uint8_t* buffer, uint32_t length);

// HMAC-SHA1 of length bytes of data under a key of keyLength bytes, into 20 bytes of output.
bool HmacSha1(const uint8_t* key, uint32_t keyLength, const uint8_t* data, uint32_t length, uint8_t* output);

// PBKDF2-HMAC-SHA1 of a NUL-terminated single-byte password (only its first 128 bytes count)
// into keyLength bytes of key. When verifierLength is not 0, the verifier receives the first
// min(20, verifierLength) bytes of SHA-1 of the derived key. Refused, with nothing written:
// an empty or null password, rounds, salt length or key length below 1, a null salt or key,
// and a null verifier whose length is not 0.
bool DeriveKey(const char* password, int rounds, const uint8_t* salt, int saltLength, uint8_t* key,
               int keyLength, uint8_t* verifier, unsigned verifierLength);
