#include "crypto_primitives.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cp1252.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Derive(const std::string& password, int rounds, const Bytes& salt, int keyLength) {
  Bytes key(keyLength);
  EXPECT_TRUE(
      DeriveKey(password.c_str(), rounds, salt.data(), int(salt.size()), key.data(), keyLength, nullptr, 0));
  return key;
}

const Bytes kDialogSalt = {1, 2, 3, 4, 5, 6, 7, 8};

}  // namespace

TEST(HmacSha1, Rfc2202Vectors) {
  struct Case {
    Bytes key, data;
    const char* mac;
  } cases[] = {
      {Bytes(20, 0x0b), Text("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
      {Text("Jefe"), Text("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {Bytes(20, 0xaa), Bytes(50, 0xdd), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
       "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {Bytes(20, 0x0c), Text("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {Bytes(80, 0xaa), Text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {Bytes(80, 0xaa), Text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
      {Bytes(), Bytes(), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"},
  };
  for (const auto& c : cases) {
    Bytes mac(20);
    ASSERT_TRUE(
        HmacSha1(c.key.data(), uint32_t(c.key.size()), c.data.data(), uint32_t(c.data.size()), mac.data()));
    EXPECT_EQ(mac, FromHex(c.mac)) << c.mac;
  }
  uint8_t mac[20];
  EXPECT_FALSE(HmacSha1(nullptr, 4, nullptr, 0, mac));
  EXPECT_FALSE(HmacSha1(nullptr, 0, nullptr, 0, nullptr));
}

TEST(DeriveKey, Rfc6070Vectors) {
  // The vector with an embedded NUL cannot be a NUL-terminated password, and the one of
  // 16777216 rounds would take seconds for nothing new.
  struct Case {
    const char* password;
    const char* salt;
    int rounds;
    const char* key;
  } cases[] = {
      {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
  };
  for (const auto& c : cases) {
    const Bytes expected = FromHex(c.key);
    EXPECT_EQ(Derive(c.password, c.rounds, Text(c.salt), int(expected.size())), expected) << c.key;
  }
}

TEST(DeriveKey, OneRoundIsTheFirstHmacOfEachBlock) {
  const Bytes key = Derive("password", 1, Text("salt"), 40);
  for (uint8_t block : {1, 2}) {
    Bytes data = Text("salt");
    data.insert(data.end(), {0, 0, 0, block});
    Bytes u1(20);
    ASSERT_TRUE(HmacSha1(Text("password").data(), 8, data.data(), uint32_t(data.size()), u1.data()));
    EXPECT_EQ(Bytes(key.begin() + 20 * (block - 1), key.begin() + 20 * block), u1);
  }
}

TEST(DeriveKey, KeyLengthsTakeWholeAndPartialBlocks) {
  const Bytes two = Derive("secret", 3, kDialogSalt, 40);
  EXPECT_EQ(Derive("secret", 3, kDialogSalt, 16), Bytes(two.begin(), two.begin() + 16));
  EXPECT_EQ(Derive("secret", 3, kDialogSalt, 21), Bytes(two.begin(), two.begin() + 21));
}

TEST(DeriveKey, DialogFiguresAndTheVerifierLengths) {
  // Independently computed: PBKDF2-HMAC-SHA1 of the 1252 bytes of the password, salt 01..08,
  // 32768 rounds, 16 bytes; and SHA-1 of that key.
  const std::string password = platform::Utf8ToCp1252("caf\u00E9 \u20AC");
  const Bytes expectedKey = FromHex("7e83daa89635e53544bd3ab8c85c6040");
  const Bytes sha1 = FromHex("4917073f958ee102fc8003f0084577129d359dd6");
  struct Case {
    unsigned verifierLength;
    size_t written;
  } cases[] = {{16, 16}, {20, 20}, {24, 20}};
  for (const auto& c : cases) {
    Bytes key(16), verifier(24, 0xEE);
    ASSERT_TRUE(DeriveKey(password.c_str(), 32768, kDialogSalt.data(), 8, key.data(), 16, verifier.data(),
                          c.verifierLength));
    EXPECT_EQ(key, expectedKey);
    EXPECT_EQ(Bytes(verifier.begin(), verifier.begin() + c.written),
              Bytes(sha1.begin(), sha1.begin() + c.written));
    EXPECT_EQ(Bytes(verifier.begin() + c.written, verifier.end()), Bytes(24 - c.written, 0xEE));
  }
  Bytes key(16);
  EXPECT_TRUE(DeriveKey(password.c_str(), 1, kDialogSalt.data(), 8, key.data(), 16, nullptr, 0));
}

TEST(DeriveKey, OnlyTheFirst128BytesOfThePasswordCount) {
  std::string longPassword;
  for (int i = 0; i < 200; ++i) longPassword += char((i * 7 + 33) % 94 + 33);
  const std::string first128 = longPassword.substr(0, 128);
  Bytes key(16), verifier(16), key128(16), verifier128(16);
  ASSERT_TRUE(
      DeriveKey(longPassword.c_str(), 32768, kDialogSalt.data(), 8, key.data(), 16, verifier.data(), 16));
  ASSERT_TRUE(
      DeriveKey(first128.c_str(), 32768, kDialogSalt.data(), 8, key128.data(), 16, verifier128.data(), 16));
  EXPECT_EQ(key, key128);
  EXPECT_EQ(verifier, verifier128);
  EXPECT_EQ(key, FromHex("303449fed50ddfac3f2951c4fb52598b"));
  EXPECT_EQ(verifier, FromHex("393e7973b3a4126147c6119deca13ad4"));
  EXPECT_NE(Derive(longPassword.substr(0, 127), 32768, kDialogSalt, 16), key);
}

TEST(DeriveKey, RefusedInputsWriteNothing) {
  const uint8_t* salt = kDialogSalt.data();
  struct Case {
    const char* what;
    const char* password;
    int rounds;
    const uint8_t* salt;
    int saltLength;
    int keyLength;
    bool nullKey;
    bool nullVerifier;
  } cases[] = {
      {"null password", nullptr, 1, salt, 8, 16, false, false},
      {"empty password", "", 1, salt, 8, 16, false, false},
      {"no rounds", "pw", 0, salt, 8, 16, false, false},
      {"negative rounds", "pw", -5, salt, 8, 16, false, false},
      {"no salt", "pw", 1, salt, 0, 16, false, false},
      {"null salt", "pw", 1, nullptr, 8, 16, false, false},
      {"no key", "pw", 1, salt, 8, 0, false, false},
      {"negative key length", "pw", 1, salt, 8, -1, false, false},
      {"null key", "pw", 1, salt, 8, 16, true, false},
      {"null verifier with a length", "pw", 1, salt, 8, 16, false, true},
  };
  for (const auto& c : cases) {
    Bytes key(16, 0xEE), verifier(16, 0xEE);
    EXPECT_FALSE(DeriveKey(c.password, c.rounds, c.salt, c.saltLength, c.nullKey ? nullptr : key.data(),
                           c.keyLength, c.nullVerifier ? nullptr : verifier.data(), 16))
        << c.what;
    EXPECT_EQ(key, Bytes(16, 0xEE)) << c.what;
    EXPECT_EQ(verifier, Bytes(16, 0xEE)) << c.what;
  }
}

TEST(GenerateRandom, FillsTheBufferWithFreshBytes) {
  Bytes a(8, 0), b(8, 0);
  ASSERT_TRUE(GenerateRandom(a.data(), 8));
  ASSERT_TRUE(GenerateRandom(b.data(), 8));
  EXPECT_NE(a, b);  // a 2^-64 chance of a false alarm
  Bytes big(4096, 0);
  ASSERT_TRUE(GenerateRandom(big.data(), uint32_t(big.size())));
  EXPECT_GT(std::count(big.begin(), big.end(), 0), 0);
  EXPECT_LT(std::count(big.begin(), big.end(), 0), 64);
  EXPECT_TRUE(GenerateRandom(nullptr, 0));
  EXPECT_FALSE(GenerateRandom(nullptr, 8));
}
