// The seal simulator against the reader's side of the protocol, computed here again
// with libcrypto in other modes (CBC in place of block-by-block ECB, three-key
// triple DES with K1 K2 K1 in place of two-key), so an error in either shows.
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "erase_code.h"
#include "hash_key.h"
#include "seal_sim.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using sim::SealFault;
using sim::SimulatedSeal;

extern char** environ;

namespace {

constexpr uint32_t Serial = 4321;

Bytes Evp(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv, const Bytes& in, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 32);
  int n = 0, tail = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, encrypt), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &n, in.data(), int(in.size())), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + n, &tail), 1);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(size_t(n + tail));
  return out;
}

// The keyed block cipher of a mode: AES-128, or two-key triple DES as a three-key K1 K2 K1.
Bytes Keyed(const sim::SealKey16& key, size_t block, const Bytes& in, bool encrypt, const Bytes& cbcIv = {}) {
  if (block == 16) return Evp(cbcIv.empty() ? EVP_aes_128_ecb() : EVP_aes_128_cbc(), key.data(),
                              cbcIv.empty() ? nullptr : cbcIv.data(), in, encrypt);
  uint8_t k3[24];
  std::memcpy(k3, key.data(), 16);
  std::memcpy(k3 + 16, key.data(), 8);
  return Evp(cbcIv.empty() ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc(), k3, cbcIv.empty() ? nullptr : cbcIv.data(), in,
             encrypt);
}

Bytes LastBlock(const Bytes& v, size_t block) { return Bytes(v.end() - long(block), v.end()); }

// The Hash of the crypto service: single-DES CBC-MAC from the start value.
Bytes Hash(const Bytes& data, const Bytes& start) {
  uint8_t k3[24];
  for (int i = 0; i < 3; ++i) std::memcpy(k3 + 8 * i, HashKeyBytes, 8);
  return LastBlock(Evp(EVP_des_ede3_cbc(), k3, start.data(), data, true), 8);
}

Bytes ReplyMac(const sim::SealKeyset& k, const Bytes& chain, const Bytes& plain) {
  if (chain.size() == 8) return Keyed(k.Key(sim::Identification), 8, Hash(plain, chain), true);
  return LastBlock(Keyed(k.Key(sim::Identification), 16, plain, true, chain), 16);
}

Bytes PageSignature(const sim::SealKeyset& k, size_t block, const Bytes& page) {
  Bytes head(page.begin(), page.begin() + 8), body(page.begin() + 16, page.end());
  if (block == 8) return Keyed(k.Key(sim::Authentication), 8, Hash(body, head), true);
  head.resize(16, 0);
  Bytes d = LastBlock(Keyed(k.Key(sim::Authentication), 16, body, true, head), 16);
  Bytes f(8);
  for (size_t i = 0; i < 8; ++i) f[i] = d[i] ^ d[i + 8];
  return f;
}

uint16_t Get16(const Bytes& v, size_t at) { return uint16_t(v[at] | v[at + 1] << 8); }
uint32_t Get32(const Bytes& v, size_t at) { return uint32_t(Get16(v, at)) | uint32_t(Get16(v, at + 2)) << 16; }

sim::SealRequest Request(Bytes payload, uint32_t receiver = Serial) {
  sim::SealRequest r;
  r.receiver = receiver;
  r.sender = sim::SimReaderAddress;
  r.payload = std::move(payload);
  r.crcOk = r.lengthOk = true;
  return r;
}

// The reader's side of the chain of exchanges, from the formulas.
struct Reader {
  explicit Reader(SimulatedSeal& s) : seal(s) {}
  SimulatedSeal& seal;
  size_t block = 0;
  Bytes chain;
  sim::SealKeyset keys;

  Bytes Challenge() {
    auto reply = seal.Handle(Request({'G', 0}));
    EXPECT_TRUE(reply);
    const Bytes& p = reply->payload;
    block = p[14] >= 3 ? 16 : 8;
    EXPECT_EQ(p.size(), 16 + block);
    chain.assign(p.begin() + 16, p.end());
    keys = seal.Keyset();
    return p;
  }

  Bytes MakeRequest(char command, uint8_t option, const Bytes& plain) {
    Bytes b = chain;
    uint16_t crc = sim::Crc16Xmodem(plain.data(), plain.size());
    b[0] ^= uint8_t(command);
    b[2] ^= option;
    b[4] ^= uint8_t(crc);
    b[6] ^= uint8_t(crc >> 8);
    Bytes p{'Q', 0};
    Bytes mac = Keyed(keys.Key(sim::Authorization), block, b, false);
    p.insert(p.end(), mac.begin(), mac.end());
    p.push_back(uint8_t(command));
    p.push_back(option);
    if (!plain.empty()) {
      Bytes wire = Keyed(keys.Key(sim::Encryption), block, plain, false);
      p.insert(p.end(), wire.begin(), wire.end());
    }
    return p;
  }

  struct Result {
    Bytes payload;
    Bytes raw, plain;
    bool macOk = false;
  };

  // A reply as the reader reads it, against the chaining value the request was made with.
  Result Decode(const Bytes& payload, const Bytes& previous) const {
    Result r;
    r.payload = payload;
    if (payload.size() <= 2 + 2 * block || Get16(payload, 0) != 'R') return r;
    r.raw.assign(payload.begin() + 2 + 2 * long(block), payload.end());
    if (r.raw.size() % block) return r;
    r.plain = Keyed(keys.Key(sim::Encryption), block, r.raw, false);
    Bytes mac(payload.begin() + 2 + long(block), payload.begin() + 2 + 2 * long(block));
    r.macOk = mac == ReplyMac(keys, previous, r.plain);
    return r;
  }

  // One exchange; the chain moves on with an 'R' as the reader's does.
  Result Transact(char command, uint8_t option = 0, const Bytes& plain = {}) {
    auto reply = seal.Handle(Request(MakeRequest(command, option, plain)));
    if (!reply) return {};
    Result r = Decode(reply->payload, chain);
    if (reply->payload.size() >= 2 + block && Get16(reply->payload, 0) == 'R')
      chain.assign(reply->payload.begin() + 2, reply->payload.begin() + 2 + long(block));
    return r;
  }
};

struct Mode : ::testing::TestWithParam<uint8_t> {
  SimulatedSeal seal{Serial, GetParam(), 7};
  Reader reader{seal};
  void SetUp() override { reader.Challenge(); }
};

INSTANTIATE_TEST_SUITE_P(BothBlockSizes, Mode, ::testing::Values(uint8_t(2), uint8_t(3)),
                         [](const auto& info) { return info.param >= 3 ? "Blocks16" : "Blocks8"; });

// Local wall-clock seconds since 2000-01-01 by another road than the simulator's.
double LocalSeconds() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm local{};
  localtime_r(&ts.tv_sec, &local);
  return double(timegm(&local) - 946684800) + ts.tv_nsec / 1e9;
}

}  // namespace

TEST(SealCrypto, CiphersAndCrcMatchPublishedVectors) {
  sim::SealKey16 aesKey;
  for (int i = 0; i < 16; ++i) aesKey[size_t(i)] = uint8_t(i);
  Bytes block = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  ASSERT_TRUE(sim::SealCipher(aesKey, 16, block.data(), 16, true));
  EXPECT_EQ(block, (Bytes{0x69, 0xC4, 0xE0, 0xD8, 0x6A, 0x7B, 0x04, 0x30, 0xD8, 0xCD, 0xB7, 0x80, 0x70, 0xB4, 0xC5, 0x5A}));

  // With K1 = K2 two-key triple DES is single DES.
  sim::SealKey16 desKey{0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1, 0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  Bytes des = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  ASSERT_TRUE(sim::SealCipher(desKey, 8, des.data(), 8, true));
  EXPECT_EQ(des, (Bytes{0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05}));
  ASSERT_TRUE(sim::SealCipher(desKey, 8, des.data(), 8, false));
  EXPECT_EQ(des, (Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
  // K2 is used: the two-key form differs from single DES under K1.
  sim::SealKey16 twoKeys = desKey;
  twoKeys[8] ^= 0x02;
  ASSERT_TRUE(sim::SealCipher(twoKeys, 8, des.data(), 8, true));
  EXPECT_NE(des, (Bytes{0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05}));
  EXPECT_EQ(des, Keyed(twoKeys, 8, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, true));

  EXPECT_FALSE(sim::SealCipher(aesKey, 16, block.data(), 8, true));

  const char* check = "123456789";
  EXPECT_EQ(sim::Crc16Xmodem(reinterpret_cast<const uint8_t*>(check), 9), 0x31C3);

  Bytes data(24), value = {1, 2, 3, 4, 5, 6, 7, 8};
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 37);
  Bytes expected = Hash(data, value);
  ASSERT_TRUE(sim::SealHash(data.data(), 3, value.data()));
  EXPECT_EQ(value, expected);
}

TEST(SealCrypto, KeysetRecordRoundTrip) {
  auto k = sim::SealKeyset::Random(Serial << 8 | 9, 0x12345678);
  auto r = k.Record();
  EXPECT_EQ(Get32(Bytes(r.begin(), r.end()), 0), Serial << 8 | 9);
  EXPECT_EQ(r[8], k.keys[0][0]);
  EXPECT_EQ(r[72], k.quarel[0]);
  EXPECT_EQ(sim::SealKeyset::FromRecord(r), k);
  EXPECT_EQ(k.KeyHex(sim::Encryption).size(), 32u);
  // Low half 1, high half 43200: the start of the second half-day.
  EXPECT_EQ(sim::SimSealSeconds(43200u << 16 | 1), 43200u);
  EXPECT_EQ(sim::SimSealTime(43200), 43200u << 16 | 1);
  EXPECT_EQ(sim::SimSealTime(1), 43199u << 16);
}

TEST_P(Mode, ChallengeReplyLayoutAndFreshChain) {
  Bytes first = reader.Challenge();
  size_t b = GetParam() >= 3 ? 16 : 8;
  ASSERT_EQ(first.size(), 16 + b);
  EXPECT_EQ(Get16(first, 0), 'C');
  EXPECT_EQ(Get32(first, 2), Serial);
  EXPECT_EQ(Get32(first, 6), seal.Keyset().number);
  EXPECT_EQ(Get32(first, 10), seal.Keyset().time);
  EXPECT_EQ(first[14], GetParam());
  EXPECT_EQ(first[15], 7);
  EXPECT_EQ(Bytes(first.begin() + 16, first.end()), seal.ChainingValue());
  Bytes second = reader.Challenge();
  EXPECT_NE(Bytes(first.begin() + 16, first.end()), Bytes(second.begin() + 16, second.end()));
}

TEST_P(Mode, EveryCommandWithItsMacsEncryptionAndSignatures) {
  const size_t b = reader.block;
  Bytes logon(b, 0);
  logon[0] = 0x34, logon[1] = 0x12, logon[2] = 0x02, logon[3] = 0x01;
  auto r = reader.Transact('L', 0, logon);
  ASSERT_EQ(r.payload.size(), 2 + b);
  EXPECT_EQ(Get16(r.payload, 0), 'R');
  EXPECT_TRUE(seal.LoggedOn());
  EXPECT_EQ(seal.Operator1(), 0x1234);
  EXPECT_EQ(seal.Operator2(), 0x0102);
  EXPECT_EQ(reader.chain, seal.ChainingValue());

  r = reader.Transact('S');
  ASSERT_EQ(r.payload.size(), 96 + 2 + 2 * b);
  EXPECT_TRUE(r.macOk);
  EXPECT_EQ(Get32(r.plain, 0), Serial);
  EXPECT_EQ(Get16(r.plain, 8), 0x1234);
  EXPECT_EQ(Get16(r.plain, 10), 0x0102);
  EXPECT_NEAR(double(sim::SimSealSeconds(Get32(r.plain, 4))), LocalSeconds(), 1.5);

  seal.AddSealEvent(seal.Now());
  seal.AddSystemEvent(seal.Now(), 77);
  r = reader.Transact('I');
  ASSERT_TRUE(r.macOk);
  ASSERT_EQ(r.plain.size(), 32u);
  EXPECT_EQ(Get32(r.plain, 0), 1u);
  EXPECT_EQ(Get32(r.plain, 8), 1u);
  EXPECT_EQ(r.plain[12], 16);
  EXPECT_EQ(r.plain[13], 31);
  EXPECT_EQ(r.plain[15], 16);
  EXPECT_EQ(r.plain[22], 4);

  r = reader.Transact('P', 16);
  ASSERT_TRUE(r.macOk);
  ASSERT_EQ(r.plain.size(), 64u);
  EXPECT_EQ(r.plain[2], 'S');
  EXPECT_EQ(r.plain[3], 16);
  EXPECT_EQ(Get16(r.plain, 20), 77);
  EXPECT_EQ(Bytes(r.plain.begin() + 8, r.plain.begin() + 16), PageSignature(reader.keys, b, r.plain));

  // A written pad page reads back as the reader's own encrypted form of it.
  Bytes page(64);
  for (size_t i = 0; i < 64; ++i) page[i] = uint8_t(0xF0 ^ i);
  r = reader.Transact('W', 2, page);
  ASSERT_EQ(r.payload.size(), 2 + b);
  r = reader.Transact('R', 2);
  EXPECT_TRUE(r.macOk);
  EXPECT_EQ(r.plain, page);
  EXPECT_EQ(r.raw, Keyed(reader.keys.Key(sim::Encryption), b, page, true));

  // Setting the clock an hour back.
  uint32_t hourAgo = sim::SimSealTime(uint32_t(std::lround(LocalSeconds())) - 3600);
  Bytes time(b, 0);
  std::memcpy(time.data(), &hourAgo, 4);
  r = reader.Transact('T', 0, time);
  ASSERT_EQ(r.payload.size(), 2 + b);
  EXPECT_NEAR(seal.ClockOffset(), -3600, 1.5);

  // A new key-set, sent under the old one; the next challenge names it.
  auto old = seal.Keyset();
  r = reader.Transact('K', 1);
  ASSERT_TRUE(r.macOk);
  ASSERT_EQ(r.plain.size(), 80u);
  sim::SealKeysetRecord record;
  std::copy(r.plain.begin(), r.plain.end(), record.begin());
  auto created = sim::SealKeyset::FromRecord(record);
  EXPECT_EQ(created, seal.Keyset());
  EXPECT_EQ(created.number, Serial << 8 | 2);
  EXPECT_NE(created.keys, old.keys);
  Bytes challenge = reader.Challenge();
  EXPECT_EQ(Get32(challenge, 6), created.number);
  EXPECT_EQ(Get32(challenge, 10), created.time);

  r = reader.Transact('O');
  ASSERT_EQ(r.payload.size(), 2 + b);
  EXPECT_FALSE(seal.LoggedOn());

  for (const auto& c : seal.Commands())
    EXPECT_TRUE(c.type != 'Q' || c.mac == sim::MacVerdict::Good) << c.command;
}

TEST_P(Mode, RefusalsCarryTheirReasonAndChangeNothing) {
  const size_t b = reader.block;
  Bytes noTime(b, 0), lateHigh(b, 0);
  lateHigh[2] = uint8_t(43201 & 0xFF), lateHigh[3] = uint8_t(43201 >> 8);
  struct Case {
    const char* what;
    char command;
    uint8_t option;
    Bytes data;
    int16_t reason;
  } cases[] = {
      {"log page of no log", 'P', 200, {}, 3},
      {"pad page beyond the pad", 'R', 4, {}, 3},
      {"unknown command", 'Z', 0, {}, 4},
      {"logon without its block", 'L', 0, {}, 4},
      {"no time", 'T', 0, noTime, 1901},
      {"seconds beyond the half-day", 'T', 0, lateHigh, 1901},
  };
  for (const auto& c : cases) {
    Bytes before = seal.ChainingValue();
    auto r = reader.Transact(c.command, c.option, c.data);
    ASSERT_EQ(r.payload.size(), 12u) << c.what;
    EXPECT_EQ(Get16(r.payload, 0), 'D') << c.what;
    EXPECT_EQ(int16_t(Get16(r.payload, 10)), c.reason) << c.what;
    EXPECT_EQ(seal.ChainingValue(), before) << c.what;
  }

  // A MAC from a stale chain: refused for authorization, the logon not done.
  Bytes stale = reader.chain;
  reader.Transact('I');
  reader.chain = stale;
  auto r = reader.Transact('L', 0, Bytes(b, 1));
  ASSERT_EQ(r.payload.size(), 12u);
  EXPECT_EQ(int16_t(Get16(r.payload, 10)), 1);
  EXPECT_FALSE(seal.LoggedOn());
  auto log = seal.Commands();
  EXPECT_EQ(log.back().command, 'L');
  EXPECT_EQ(log.back().mac, sim::MacVerdict::Bad);
  EXPECT_EQ(log.back().refusal, 1);
}

TEST_P(Mode, EraseWithTheCodeLeavesTheZeroKeyset) {
  const size_t b = reader.block;
  Bytes erase{'Q', 0};
  erase.insert(erase.end(), SealEraseCode, SealEraseCode + 8);
  erase.resize(2 + b, 0);
  erase.push_back('E');
  erase.push_back(0);

  Bytes wrong = erase;
  wrong[3] ^= 0x20;
  auto refused = seal.Handle(Request(wrong));
  ASSERT_TRUE(refused);
  EXPECT_EQ(int16_t(Get16(refused->payload, 10)), 1);
  EXPECT_NE(seal.Keyset().number, 0u);

  auto reply = seal.Handle(Request(erase));
  ASSERT_TRUE(reply);
  EXPECT_EQ(Get16(reply->payload, 0), 'R');
  EXPECT_EQ(seal.Commands().back().mac, sim::MacVerdict::EraseCode);
  EXPECT_EQ(seal.Keyset(), sim::SealKeyset::Zero());

  // The seal now talks with sixteen zero bytes for every key.
  Bytes challenge = reader.Challenge();
  EXPECT_EQ(Get32(challenge, 6), 0u);
  EXPECT_EQ(reader.keys, sim::SealKeyset::Zero());
  auto r = reader.Transact('I');
  EXPECT_TRUE(r.macOk);
}

TEST_P(Mode, FaultsSpoilTheReplyOfTheirCommandOnly) {
  const size_t b = reader.block;
  struct Case {
    SealFault fault;
    int32_t param;
    char command;
    std::function<void(const std::optional<sim::SealReply>&, const Reader::Result&)> check;
    bool runs;
  } cases[] = {
      {SealFault::Refuse, 5, 'S', [](auto&, auto& r) { EXPECT_EQ(Get16(r.payload, 10), 5); }, false},
      {SealFault::ShortRefusal, 0, 'S', [](auto&, auto& r) { EXPECT_EQ(r.payload, (Bytes{'D', 0})); }, false},
      {SealFault::WrongType, 'A', 'S', [](auto&, auto& r) { EXPECT_EQ(Get16(r.payload, 0), 'A'); }, true},
      {SealFault::WrongLength, -1, 'S',
       [b](auto&, auto& r) { EXPECT_EQ(r.payload.size(), 96 + 2 + 2 * b - 1); }, true},
      {SealFault::WrongLength, 3, 'L', [b](auto&, auto& r) { EXPECT_EQ(r.payload.size(), 2 + b + 3); }, true},
      {SealFault::FlipMac, 0, 'S',
       [](auto&, auto& r) {
         EXPECT_FALSE(r.macOk);
         EXPECT_EQ(Get32(r.plain, 0), Serial);  // the data itself is intact
       },
       true},
      {SealFault::ForeignSerial, 99, 'S',
       [](auto& reply, auto& r) {
         EXPECT_TRUE(r.macOk);
         EXPECT_EQ(reply->fault.fault, sim::LinkFault::ForeignSender);
         EXPECT_EQ(reply->fault.param, 99u);
       },
       true},
      {SealFault::Delay, 40, 'S', [](auto& reply, auto&) { EXPECT_EQ(reply->fault.fault, sim::LinkFault::Late); },
       true},
      {SealFault::Silence, 0, 'S', [](auto& reply, auto&) { EXPECT_FALSE(reply); }, false},
      {SealFault::LostReply, 0, 'S', [](auto& reply, auto&) { EXPECT_FALSE(reply); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.fault));
    reader.Challenge();
    seal.InjectFault(c.command, {c.fault, c.param});
    // Another command first: the fault waits for its own.
    ASSERT_TRUE(reader.Transact('I').macOk);
    Bytes chain = reader.chain;
    Bytes plain = c.command == 'L' ? Bytes(b, 0) : Bytes{};
    auto reply = seal.Handle(Request(reader.MakeRequest(c.command, 0, plain)));
    auto r = reply ? reader.Decode(reply->payload, chain) : Reader::Result{};
    c.check(reply, r);
    EXPECT_EQ(seal.ChainingValue() != chain, c.runs);
    EXPECT_EQ(seal.Commands().back().fault, c.fault);
  }
}

TEST_P(Mode, FlippedPageSignatureStillCarriesAGoodReplyMac) {
  seal.AddSealEvent(seal.Now());
  seal.InjectFault('P', {SealFault::FlipSignature});
  auto r = reader.Transact('P', 0);
  ASSERT_TRUE(r.macOk);
  EXPECT_NE(Bytes(r.plain.begin() + 8, r.plain.begin() + 16), PageSignature(reader.keys, reader.block, r.plain));
  r = reader.Transact('P', 0);
  EXPECT_EQ(Bytes(r.plain.begin() + 8, r.plain.begin() + 16), PageSignature(reader.keys, reader.block, r.plain));
}

TEST(SealLogs, RingMovesOnAndWraps) {
  SimulatedSeal seal(Serial);
  seal.SetLogPages(sim::SealLog::SealEvents, 3, 5);
  for (uint32_t i = 1; i <= 12 * 3 + 2; ++i) seal.AddSealEvent(sim::SimSealTime(1000 * i));
  auto info = seal.LogInfo();
  EXPECT_EQ(Get32(Bytes(info.begin(), info.end()), 0), 38u);
  EXPECT_EQ(info[4], 3);
  EXPECT_EQ(info[5], 5);
  EXPECT_EQ(info[7], 3);  // wrapped back to the lowest page
  auto page = *seal.LogPage(3);
  Bytes p(page.begin(), page.end());
  EXPECT_EQ(Get32(p, 16), sim::SimSealTime(37000));
  EXPECT_EQ(Get32(p, 20), sim::SimSealTime(38000));
  EXPECT_EQ(Get32(p, 24), 0u);  // the rest of a restarted page is empty
  EXPECT_EQ(Get32(p, 4), sim::SimSealTime(37000));
  EXPECT_FALSE(seal.LogPage(6));
}

TEST(SealClock, OffsetAndStableStatusReads) {
  SimulatedSeal seal(Serial);
  seal.SetClockOffset(30);
  Reader reader{seal};
  reader.Challenge();
  for (int i = 0; i < 4; ++i) {
    auto r = reader.Transact('S');
    ASSERT_TRUE(r.macOk);
    double deviation = double(sim::SimSealSeconds(Get32(r.plain, 4))) - LocalSeconds();
    EXPECT_EQ(std::lround(deviation), 30) << deviation;
    std::this_thread::sleep_for(130ms);
  }
}

namespace {

// The pseudo-terminal opened as the reader opens its port: raw.
int OpenRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  if (fd < 0 || tcgetattr(fd, &t) != 0) return -1;
  cfmakeraw(&t);
  return tcsetattr(fd, TCSANOW, &t) == 0 ? fd : -1;
}

// A challenge to the seal, and the frame that came back within two seconds (an empty one when none came).
sim::SealRequest Challenge(int fd, uint32_t to) {
  auto wire = sim::EncodeSealFrame(sim::MakeSealFrameBody(to, sim::SimReaderAddress, {'G', 0}));
  EXPECT_EQ(::write(fd, wire.data(), wire.size()), ssize_t(wire.size()));
  sim::SealFrameDecoder decoder;
  pollfd p{fd, POLLIN, 0};
  uint8_t byte;
  while (::poll(&p, 1, 2000) > 0 && ::read(fd, &byte, 1) == 1)
    if (auto body = decoder.Feed(byte)) return sim::ParseSealRequest(*body);
  return sim::SealRequest{};
}

}  // namespace

TEST(SealLink, SeveralSealsShareOneLinkAndAnswerByTheirSerial) {
  sim::SealLinkSimulator link;
  std::string path = link.ServePty();
  SimulatedSeal a(101, 3), b(202, 2);
  a.Attach(link);
  b.Attach(link);
  b.InjectFault('G', {SealFault::ForeignSerial, 303});

  int fd = OpenRaw(path);
  ASSERT_GE(fd, 0);
  auto fromA = Challenge(fd, 101);
  EXPECT_EQ(fromA.sender, 101u);
  EXPECT_EQ(fromA.receiver, sim::SimReaderAddress);
  ASSERT_EQ(fromA.payload.size(), 32u);
  EXPECT_EQ(Get32(fromA.payload, 2), 101u);
  auto fromB = Challenge(fd, 202);
  EXPECT_EQ(fromB.sender, 303u);  // the fault names another sender
  ASSERT_EQ(fromB.payload.size(), 24u);
  EXPECT_EQ(Get32(fromB.payload, 2), 202u);
  ::close(fd);
  EXPECT_EQ(a.Commands().size(), 1u);
  EXPECT_EQ(b.Commands().size(), 1u);
}

namespace {

// The simulator program run with these arguments, its input and output on pipes of the test's.
class SimProgram {
 public:
  explicit SimProgram(std::vector<std::string> arguments) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    arguments.insert(arguments.begin(), SEAL_SIM_PROGRAM);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, SEAL_SIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~SimProgram() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    if (output_ >= 0) ::close(output_);
  }

  bool Started() const { return pid_ > 0; }
  // All it printed so far, once the text is among it or the time is up; with no time, only
  // what is in the pipe already.
  const std::string& Printed(const std::string& text = {}, int timeoutMs = 0) {
    char buffer[256];
    for (pollfd p{output_, POLLIN, 0}; ::poll(&p, 1, 0) > 0 || (printed_.find(text) == std::string::npos &&
                                                                 ::poll(&p, 1, timeoutMs) > 0);) {
      const ssize_t n = ::read(output_, buffer, sizeof buffer);
      if (n <= 0) break;
      printed_.append(buffer, size_t(n));
    }
    return printed_;
  }
  void CloseInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  // Whether the signal ends it within three seconds, with status 0.
  bool EndsOn(int signal) {
    ::kill(pid_, signal);
    int status = -1;
    pid_t ended = 0;
    for (int i = 0; i < 300 && (ended = ::waitpid(pid_, &status, WNOHANG)) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ended != pid_) return false;
    pid_ = 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = 0;
  int input_ = -1, output_ = -1;
  std::string printed_;
};

}  // namespace

// The program with --stay ends on SIGTERM or SIGINT, also while its input stays open.
TEST(SealSimProgram, StayEndsOnAStopSignal) {
  for (int stop : {SIGTERM, SIGINT}) {
    for (bool inputOpen : {true, false}) {
      SimProgram program({"--stay", "--tcp", "auto"});
      ASSERT_TRUE(program.Started());
      // Serving once it has printed its address and key-set.
      ASSERT_NE(program.Printed("keyset", 5000).find("keyset"), std::string::npos) << program.Printed();
      if (!inputOpen) program.CloseInput();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_TRUE(program.EndsOn(stop)) << "signal " << stop << (inputOpen ? ", input open" : ", input ended");
    }
  }
}

// With --trace, a request is in the program's output by the time its reply is on the link,
// however soon the output is read after the reply.
TEST(SealSimProgram, TraceHoldsEachRequestOnceItsReplyCame) {
  SimProgram program({"--trace", "4321", "5678"});
  ASSERT_TRUE(program.Started());
  const std::string started = program.Printed("keyset 5678", 5000);
  const size_t com = started.find("\nCOM1 /"), path = com + 6;
  ASSERT_NE(com, std::string::npos) << started;
  const int fd = OpenRaw(started.substr(path, started.find('\n', path) - path));
  ASSERT_GE(fd, 0);
  // How many challenges to the seal the output holds now.
  const auto traced = [&](uint32_t serial) {
    const std::string printed = program.Printed(), line = "request " + std::to_string(serial) + " G mac -\n";
    size_t count = 0;
    for (size_t at = printed.find(line); at != std::string::npos; at = printed.find(line, at + 1)) ++count;
    return count;
  };
  for (size_t i = 1; i <= 20; ++i) {
    for (const uint32_t serial : {4321u, 5678u}) {
      ASSERT_EQ(Challenge(fd, serial).sender, serial);
      EXPECT_EQ(traced(serial), i) << serial;
    }
  }
  ::close(fd);
}
