// The crypto service client against the real service in its own process, checked with
// the seal simulator's own formulas (computed with libcrypto, not through the service).
#include "token.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "faulty_crypto.h"
#include "seal_test_env.h"

using Bytes = std::vector<uint8_t>;
using seal_test::TestWorld;

namespace {

constexpr uint32_t Serial = 1234;

// Bytes that a text transport would mangle: NULs, the high half, the frame's own flags.
Bytes Awkward(size_t n) {
  static const uint8_t pattern[] = {0x00, 0xFF, 0x80, 0x7F, 0xC0, 0xC1, 0x7D, 0x00, 0x0A, 0x0D, 0xE9, 0x20};
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(pattern[i % sizeof pattern] ^ (i / sizeof pattern));
  return b;
}

Bytes Cipher(const sim::SealKeyset& k, sim::SealKeyType type, size_t block, Bytes data, bool encrypt) {
  EXPECT_TRUE(sim::SealCipher(k.Key(type), block, data.data(), data.size(), encrypt));
  return data;
}

struct CryptoService : ::testing::Test {
  sim::SealKeyset keyset = sim::SealKeyset::Random(Serial << 8 | 1, sim::SimSealTime(812345678));

  void SetUp() override {
    TestWorld::Get().ServeKeyDatabase(true);
    seal_test::FreshDatabase();
    seal_test::StoreInDatabase(keyset);
  }
  void Select(TCryptoToken& token) const { token.SelectKeyset(keyset.number, keyset.time); }
};

}  // namespace

TEST_F(CryptoService, EveryKeyInBothBlockModesAndTheHashCarryRawBytes) {
  TCryptoToken token;
  Select(token);
  const Bytes plain = Awkward(64);
  struct Mode {
    size_t block;
    bool (TCryptoToken::*encrypt)(uint8_t*, uint32_t, KeyIndex);
    bool (TCryptoToken::*decrypt)(uint8_t*, uint32_t, KeyIndex);
  } modes[] = {{8, &TCryptoToken::Encrypt, &TCryptoToken::Decrypt},
               {16, &TCryptoToken::Encrypt16, &TCryptoToken::Decrypt16}};
  for (const Mode& m : modes) {
    for (int type = 0; type < 4; ++type) {
      SCOPED_TRACE(testing::Message() << m.block << "-byte blocks, key " << type);
      const auto key = KeyIndex(type);
      Bytes data = plain;
      ASSERT_TRUE((token.*m.encrypt)(data.data(), uint32_t(64 / m.block), key));
      EXPECT_EQ(data, Cipher(keyset, sim::SealKeyType(type), m.block, plain, true));
      ASSERT_TRUE((token.*m.decrypt)(data.data(), uint32_t(64 / m.block), key));
      EXPECT_EQ(data, plain);
    }
  }
  // The data operations use the encryption key.
  Bytes data = plain;
  ASSERT_EQ(token.EncryptData16(data.data(), 4), 0);
  EXPECT_EQ(data, Cipher(keyset, sim::Encryption, 16, plain, true));
  data = plain;
  ASSERT_EQ(token.DecryptData(data.data(), 8), 0);
  EXPECT_EQ(data, Cipher(keyset, sim::Encryption, 8, plain, false));

  uint8_t value[8] = {0x00, 0x80, 0xFF, 0x00, 0x01, 0x7F, 0xC0, 0x00}, expected[8];
  std::memcpy(expected, value, 8);
  ASSERT_TRUE(sim::SealHash(plain.data(), 8, expected));
  ASSERT_TRUE(token.Hash(plain.data(), 8, value));
  EXPECT_EQ(Bytes(value, value + 8), Bytes(expected, expected + 8));
}

TEST_F(CryptoService, TheKeysetTimeIsSecondsSinceTheEpoch) {
  // Low half 1, high half 43200: the first second of the second half-day.
  keyset = sim::SealKeyset::Random(Serial << 8 | 2, MakeSealTime(1, 43200));
  ASSERT_EQ(keyset.Seconds(), 43200u);
  seal_test::StoreInDatabase(keyset);
  TCryptoToken token;
  token.SelectKeyset(keyset.number, MakeSealTime(1, 43200));
  EXPECT_EQ(token.SelectedKeysetTime(), 43200u);
  Bytes data = Awkward(16);
  ASSERT_EQ(token.EncryptData16(data.data(), 1), 0);
  EXPECT_EQ(data, Cipher(keyset, sim::Encryption, 16, Awkward(16), true));

  // One second later is another key-set, which the database does not hold.
  token.SelectKeyset(keyset.number, MakeSealTime(1, 43199));
  data = Awkward(16);
  EXPECT_EQ(token.EncryptData16(data.data(), 1), SealError::CryptoTokenError);
  EXPECT_EQ(data, Awkward(16));
}

TEST_F(CryptoService, RequestMacsOverThePlainData) {
  TCryptoToken token;
  Select(token);
  for (size_t block : {8u, 16u}) {
    for (size_t dataLength : {size_t(0), block, size_t(64)}) {
      SCOPED_TRACE(testing::Message() << block << "-byte blocks, " << dataLength << " data bytes");
      const size_t head = 4 + block;
      Bytes payload(head + dataLength, 0);
      payload[0] = 'Q';
      payload[2 + block] = 'W';
      payload[3 + block] = 0xC1;
      Bytes data = Awkward(dataLength);
      std::copy(data.begin(), data.end(), payload.begin() + long(head));
      const Bytes chain = Awkward(block + 3);  // any bytes; the first block of them
      const Bytes chainBlock(chain.begin(), chain.begin() + long(block));

      SealErrorCode e = block == 8 ? token.MakeRequestMac(chainBlock.data(), uint16_t(dataLength), payload.data())
                                   : token.MakeRequestMac16(chainBlock.data(), uint16_t(dataLength), payload.data());
      ASSERT_EQ(e, 0);
      EXPECT_EQ(Bytes(payload.begin() + 2, payload.begin() + 2 + long(block)),
                sim::SealRequestMac(keyset, chainBlock, 'W', 0xC1, data));
      EXPECT_EQ(Bytes(payload.begin() + long(head), payload.end()), data);  // the data is left plain
      if (dataLength == 0) {
        // The CRC of no bytes is 0: only the command and the option are folded in.
        Bytes folded = chainBlock;
        folded[0] ^= 'W';
        folded[2] ^= 0xC1;
        EXPECT_EQ(Bytes(payload.begin() + 2, payload.begin() + 2 + long(block)),
                  Cipher(keyset, sim::Authorization, block, folded, false));
      }
    }
  }
}

TEST_F(CryptoService, ReplyMacsAndPageSignaturesInBothBlockModes) {
  TCryptoToken token;
  Select(token);
  for (size_t block : {8u, 16u}) {
    SCOPED_TRACE(testing::Message() << block << "-byte blocks");
    const Bytes previous = Awkward(block), data = Awkward(96);
    const uint32_t blocks = uint32_t(96 / block);
    Bytes mac = sim::SealReplyMac(keyset, previous, data);
    auto check = [&](const Bytes& d, const Bytes& m) {
      return block == 8 ? token.CheckReplyMac(previous.data(), d.data(), blocks, m.data())
                        : token.CheckReplyMac16(previous.data(), d.data(), blocks, m.data());
    };
    EXPECT_EQ(check(data, mac), 0);
    Bytes flipped = data;
    flipped[95] ^= 0x01;
    EXPECT_EQ(check(flipped, mac), SealError::AuthenticationFailed);
    mac[block - 1] ^= 0x80;
    EXPECT_EQ(check(data, mac), SealError::AuthenticationFailed);

    sim::SealPage page;
    Bytes content = Awkward(64);
    std::copy(content.begin(), content.end(), page.begin());
    sim::SealKey8 signature = sim::SealPageSignature(keyset, block, page);
    std::copy(signature.begin(), signature.end(), page.begin() + 8);
    auto checkPage = [&] {
      return block == 8 ? token.CheckPageSignature(page.data()) : token.CheckPageSignature16(page.data());
    };
    EXPECT_EQ(checkPage(), 0);
    page[15] ^= 0x01;
    EXPECT_EQ(checkPage(), SealError::AuthenticationFailed);
  }
}

TEST_F(CryptoService, WithoutTheKeysetEveryKeyedCallFailsAndLeavesTheData) {
  seal_test::FreshDatabase();
  TCryptoToken token;
  Select(token);
  const Bytes original = Awkward(80);
  Bytes data = original, payload = original;
  const uint8_t* chain = original.data();
  EXPECT_EQ(token.EncryptData(data.data(), 8), SealError::CryptoTokenError);
  EXPECT_EQ(token.DecryptData16(data.data(), 4), SealError::CryptoTokenError);
  EXPECT_FALSE(token.Encrypt16(data.data(), 1, KeyIndex::Authentication));
  EXPECT_EQ(data, original);
  EXPECT_EQ(token.MakeRequestMac(chain, 8, payload.data()), SealError::CryptoTokenError);
  EXPECT_EQ(token.MakeRequestMac16(chain, 16, payload.data()), SealError::CryptoTokenError);
  EXPECT_EQ(payload, original);
  EXPECT_EQ(token.CheckReplyMac(chain, data.data(), 2, chain), SealError::CryptoTokenError);
  EXPECT_EQ(token.CheckReplyMac16(chain, data.data(), 2, chain), SealError::CryptoTokenError);
  EXPECT_EQ(token.CheckPageSignature(data.data()), SealError::CryptoTokenError);
  EXPECT_EQ(token.CheckPageSignature16(data.data()), SealError::CryptoTokenError);
  // The hash needs no key-set.
  uint8_t value[8] = {};
  EXPECT_TRUE(token.Hash(data.data(), 2, value));
}

TEST(CryptoServiceClient, EachThreadEntersAndLeavesTheComponentModel) {
  TestWorld::Get().ServeKeyDatabase(true);
  bool entered = false, hashed = false, left = true;
  std::thread worker([&] {
    {
      TCryptoToken token;
      entered = CoIsInitialized();
      uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8}, value[8] = {};
      hashed = token.Hash(data, 1, value);
    }
    left = CoIsInitialized();
  });
  worker.join();
  EXPECT_TRUE(entered);
  EXPECT_TRUE(hashed);
  EXPECT_FALSE(left);
}

TEST(CryptoServiceClient, AServiceThatCannotBeCreatedRaisesETokenError) {
  const CLSID unregistered = MakeGuid("{00000000-0000-4000-8000-00000000D00D}");
  try {
    TCryptoToken token(unregistered);
    FAIL() << "created";
  } catch (const ETokenError& e) {
    EXPECT_STREQ(e.what(), "Could not initialize ZARN cryptographic services");
  }
  EXPECT_FALSE(CoIsInitialized());
}

TEST(CryptoServiceClient, AResultOfAnotherLengthOrCodeIsAFailureAndNothingIsCopied) {
  TCryptoToken token(CLSID_FaultyCrypto);
  const Bytes original = Awkward(32);
  struct Case {
    FaultyCryptoFault fault;
    bool works;
  } cases[] = {{AnswerRight, true}, {AnswerShort, false}, {AnswerLong, false}, {AnswerSuccessCode, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "fault " << c.fault);
    const SealErrorCode expected = c.works ? 0 : SealError::CryptoTokenError;
    token.SelectKeyset(uint32_t(c.fault), 0);
    Bytes data = original;
    EXPECT_EQ(token.EncryptData(data.data(), 4), expected);
    EXPECT_EQ(token.DecryptData16(data.data(), 2), expected);
    EXPECT_EQ(data, original);

    uint8_t value[8] = {uint8_t(c.fault), 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(token.Hash(data.data(), 4, value), c.works);
    EXPECT_EQ(Bytes(value, value + 8), Bytes({uint8_t(c.fault), 9, 9, 9, 9, 9, 9, 9}));
  }
  uint8_t record[KeysetRecordSize] = {AnswerSuccessCode};
  EXPECT_EQ(token.StoreKeyset(record), SealError::CryptoTokenError);
  record[0] = AnswerRight;
  EXPECT_EQ(token.StoreKeyset(record), 0);
}
