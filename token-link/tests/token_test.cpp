#include "token.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <thread>

#include "keyset_time.h"
#include "token_sim.h"

using namespace std::chrono;
using sim::TokenFault;
using sim::TokenFaultSpec;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr TokenTimings Fast{300, 200, 2000};

long long MillisecondsSince(steady_clock::time_point start) {
  return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

sim::SimKeyset Keyset(uint32_t number, uint32_t time, uint8_t flags = 0x0F) {
  sim::SimKeyset k;
  k.number = number;
  k.time = time;
  k.flags = flags;
  for (size_t t = 0; t < 4; ++t)
    for (size_t i = 0; i < 16; ++i) k.keys[t][i] = uint8_t(16 * t + i);
  return k;
}

std::vector<sim::SimKeyset> Keysets(int n) {
  std::vector<sim::SimKeyset> all;
  for (int i = 0; i < n; ++i) all.push_back(Keyset(uint32_t(0x100 + i), uint32_t(1000 + i)));
  return all;
}

// A simulated token on COM7 and the token link's view of it, identified by a Ping.
struct TokenTest : ::testing::Test {
  sim::TokenRack rack;
  sim::TokenSimulator& sim = rack.Plug(7);
  std::unique_ptr<CToken> token;

  void SetUp() override { Open(); }

  void Open(const TokenTimings& timings = Fast) {
    token.reset();
    token = std::make_unique<CToken>(7, timings);
    ASSERT_TRUE(token->Ping());
  }

  size_t RequestCount() const { return sim.Requests().size(); }
};

TEST(TokenOpen, PortErrorsPassThrough) {
  sim::TokenRack rack;
  rack.Plug(7);
  auto thrown = [](unsigned port) {
    try {
      CToken token(port);
    } catch (int e) {
      return e;
    }
    return 0;
  };
  EXPECT_EQ(thrown(16), RefusedTokenPortError);
  EXPECT_EQ(thrown(3), ENOENT);
  CToken first(7);
  EXPECT_EQ(thrown(7), platform::PortInUseError);
}

TEST_F(TokenTest, PingIdentifiesTheTokenAndThenChecksIt) {
  EXPECT_EQ(token->Serial(), sim::DefaultTokenSerial);
  EXPECT_EQ(token->Status(), TokenReplyMarker);
  sim.InjectFault({TokenFault::ForeignSerial, 99});
  EXPECT_FALSE(token->Ping());
  EXPECT_TRUE(token->Ping());
  sim.InjectFault({TokenFault::ErrorBit});
  TokenStatus s = 0;
  EXPECT_FALSE(token->Ping(&s));
  EXPECT_EQ(s, TokenReplyMarker | TokenError);
  sim.SetSerial(12);
  EXPECT_FALSE(token->Ping());
  EXPECT_EQ(token->Serial(), sim::DefaultTokenSerial);
}

TEST_F(TokenTest, FirstPingLengthensTheByteTimeout) {
  // Before the first answer a byte is waited for 100 ms, after it the command time-out.
  token.reset();
  token = std::make_unique<CToken>(7, TokenTimings{300, 600, 2000});
  size_t answered = sim.Answered();
  sim.InjectFault({TokenFault::Late, 250});
  EXPECT_FALSE(token->Ping());
  EXPECT_EQ(token->Serial(), 0u);
  ASSERT_TRUE(sim.WaitForAnswered(answered + 1, seconds(3)));
  std::this_thread::sleep_for(milliseconds(30));
  ASSERT_TRUE(token->Ping());
  sim.InjectFault({TokenFault::Late, 250});
  EXPECT_TRUE(token->Ping());
}

TEST_F(TokenTest, RepliesAreCheckedBeforeAnythingIsTaken) {
  struct Case {
    const char* what;
    TokenFaultSpec fault;
    bool ok;
    int status;  // -1: the status field keeps the previous reply's
  };
  const Case cases[] = {
      {"plain", {}, true, 0x8000},
      {"error bit, no data", {TokenFault::ErrorBit}, true, 0x8001},
      {"error bit with data", {TokenFault::Raw, 0, {0x01, 0x80, 0x00}}, false, 0x8001},
      {"no marker", {TokenFault::NoMarker}, false, 0x0000},
      {"status 0, right length", {TokenFault::Raw, 0, Bytes(10, 0)}, false, 0x0000},
      {"one byte too many", {TokenFault::WrongLength}, false, 0x8000},
      {"one byte frame", {TokenFault::Raw, 0, {0x00}}, false, -1},
      {"silence", {TokenFault::Silence}, false, -1},
      {"noise first", {TokenFault::Garbage, 20}, true, 0x8000},
      {"empty frames first", {TokenFault::EmptyFrames, 3}, true, 0x8000},
      {"trickle below the time-out", {TokenFault::Trickle, 30}, true, 0x8000},
  };
  const uint8_t untouched[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    token->EraseAll();  // a known status to start from: 0x8000
    sim.InjectFault(c.fault);
    uint8_t salt[8];
    std::memcpy(salt, untouched, 8);
    TokenStatus own = 0x1234;
    EXPECT_EQ(token->GetSalt(salt, &own), c.ok);
    EXPECT_EQ(token->Status(), c.status < 0 ? 0x8000 : c.status);
    EXPECT_EQ(own, c.status < 0 ? 0 : c.status);  // no reply: no status of its own
    if (!c.ok || (own & TokenError)) {
      EXPECT_EQ(std::memcmp(salt, untouched, 8), 0);
    }
    ASSERT_TRUE(sim.WaitForAnswered(RequestCount(), seconds(2)));
  }
}

TEST_F(TokenTest, AHangUpInTheMiddleFailsAtOnce) {
  Open({300, 2000, 2000});
  sim.InjectFault({TokenFault::Unplug});
  uint8_t salt[8];
  auto start = steady_clock::now();
  EXPECT_FALSE(token->GetSalt(salt));
  EXPECT_FALSE(token->Ping());
  EXPECT_LT(MillisecondsSince(start), 1000);
}

TEST_F(TokenTest, ALateReplyIsNotTakenForTheNextCommand) {
  sim.AddKeyset(Keyset(0x100, 1));
  sim.InjectFault({TokenFault::Late, 400});
  uint8_t salt[8];
  EXPECT_FALSE(token->GetSalt(salt));  // times out after 200 ms
  ASSERT_TRUE(sim.WaitForAnswered(2, seconds(2)));
  std::this_thread::sleep_for(milliseconds(30));
  // The salt reply (10 bytes) now waits on the line; the erase must read its own.
  TokenStatus s = 0;
  EXPECT_TRUE(token->EraseAll(&s));
  EXPECT_EQ(s, TokenReplyMarker);
  EXPECT_TRUE(sim.Keysets().empty());
  EXPECT_TRUE(token->Ping());
}

TEST_F(TokenTest, EachCommandGivesItsOwnStatus) {
  sim.AddKeyset(Keyset(0x100, 1));
  sim.InjectFault({TokenFault::ErrorBit});
  TokenStatus erase = 0;
  EXPECT_TRUE(token->EraseAll(&erase));
  EXPECT_TRUE(token->Ping());  // the scan thread's Ping in between
  EXPECT_EQ(token->Status(), TokenReplyMarker);
  EXPECT_EQ(erase, TokenReplyMarker | TokenError);
  EXPECT_EQ(sim.Keysets().size(), 1u);
}

TEST_F(TokenTest, EraseAllSendsTheConfirmationWord) {
  sim.SetKeysets(Keysets(3));
  sim.ClearRequests();
  TokenStatus s = 0;
  EXPECT_TRUE(token->EraseAll(&s));
  EXPECT_EQ(s, TokenReplyMarker);
  auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].command, 15);
  EXPECT_EQ(requests[0].data, (Bytes{0x45, 0x52, 0x41, 0x53, 0x45, 0x41, 0x4C, 0x4C}));
  EXPECT_TRUE(sim.Keysets().empty());
}

TEST_F(TokenTest, ReadKeysetsOfAnEmptyToken) {
  sim.ClearRequests();
  EXPECT_TRUE(token->ReadKeysets());
  EXPECT_EQ(token->Count(), 0);
  EXPECT_EQ(token->Capacity(), sim::SimTokenCapacity);
  auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].command, 4);
  EXPECT_EQ(requests[0].data, (Bytes{0, 0}));
}

TEST_F(TokenTest, ReadKeysetsCopiesTheTable) {
  sim.SetKeysets({Keyset(74565, 0, 0x0B), Keyset(256, 300000000), Keyset(0x200, 7, 0x01)});
  EXPECT_TRUE(token->ReadKeysets());
  auto table = token->Keysets();
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(uint32_t(table[0].KeysetNumber), 74565u);
  EXPECT_EQ(table[0].KeyFlags, 0x0B);
  EXPECT_EQ(uint32_t(table[1].KeysetTime), 300000000u);
  EXPECT_EQ(uint32_t(table[2].KeysetNumber), 0x200u);
}

TEST_F(TokenTest, ReadKeysetsKeepsToTheTableSize) {
  sim.SetCapacity(1000);
  sim.SetKeysets(Keysets(950));
  sim.ClearRequests();
  EXPECT_TRUE(token->ReadKeysets());
  EXPECT_EQ(token->Capacity(), MaxKeysets);
  EXPECT_EQ(token->Count(), MaxKeysets);
  EXPECT_EQ(RequestCount(), size_t(MaxKeysets));
  EXPECT_EQ(uint32_t(token->Keysets().back().KeysetNumber), uint32_t(0x100 + MaxKeysets - 1));
}

TEST_F(TokenTest, ReadKeysetsThatStopsEarlyCountsOnlyWhatItRead) {
  sim.SetKeysets(Keysets(5));
  ASSERT_TRUE(token->ReadKeysets());
  ASSERT_EQ(token->Count(), 5);

  // The token now holds other key-sets; the second read breaks off at index 2.
  std::vector<sim::SimKeyset> other;
  for (int i = 0; i < 5; ++i) other.push_back(Keyset(uint32_t(0x900 + i), 5));
  sim.SetKeysets(other);
  sim.InjectFault({});
  sim.InjectFault({});
  sim.InjectFault({TokenFault::Silence});
  EXPECT_FALSE(token->ReadKeysets());
  auto table = token->Keysets();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(uint32_t(table[1].KeysetNumber), 0x901u);
  uint16_t index;
  EXPECT_FALSE(token->FindKeyset(0x102, 1002, -1, index));  // a stale entry is not found

  // A refusal ends the loop too, with a true result.
  ASSERT_TRUE(sim.WaitForAnswered(RequestCount(), seconds(2)));
  sim.InjectFault({});
  sim.InjectFault({TokenFault::ErrorBit});
  TokenStatus s = 0;
  EXPECT_TRUE(token->ReadKeysets(&s));
  EXPECT_EQ(s, TokenReplyMarker | TokenError);
  EXPECT_EQ(token->Count(), 1);

  // A first read that fails or is refused says nothing of the table: the old one stays.
  ASSERT_TRUE(sim.WaitForAnswered(RequestCount(), seconds(2)));
  sim.InjectFault({TokenFault::Silence});
  EXPECT_FALSE(token->ReadKeysets());
  ASSERT_EQ(token->Count(), 1);
  EXPECT_EQ(uint32_t(token->Keysets()[0].KeysetNumber), 0x900u);
  ASSERT_TRUE(sim.WaitForAnswered(RequestCount(), seconds(2)));
  sim.InjectFault({TokenFault::ErrorBit});
  EXPECT_TRUE(token->ReadKeysets());
  EXPECT_EQ(token->Count(), 1);
}

Bytes Record(uint32_t number, uint32_t time) {
  Bytes r(KeysetRecordSize, 0xAB);
  for (int i = 0; i < 4; ++i) {
    r[size_t(i)] = uint8_t(number >> (8 * i));
    r[size_t(4 + i)] = uint8_t(time >> (8 * i));
  }
  return r;
}

TEST_F(TokenTest, StoreKeysetAppendsWhatTheTokenStored) {
  sim.SetKeysets(Keysets(2));
  ASSERT_TRUE(token->ReadKeysets());
  TokenStatus s = 0;
  EXPECT_TRUE(token->StoreKeyset(Record(74565, 42).data(), &s));
  EXPECT_EQ(s, TokenReplyMarker);
  auto table = token->Keysets();
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(uint32_t(table[2].KeysetNumber), 74565u);
  EXPECT_EQ(uint32_t(table[2].KeysetTime), 42u);
  EXPECT_EQ(table[2].KeyFlags, 0x0F);
  ASSERT_EQ(sim.Keysets().size(), 3u);
  EXPECT_EQ(sim.Keysets()[2].keys[3][15], 0xAB);

  sim.InjectFault({TokenFault::ErrorBit});
  EXPECT_TRUE(token->StoreKeyset(Record(1, 1).data(), &s));
  EXPECT_EQ(s, TokenReplyMarker | TokenError);
  EXPECT_EQ(token->Count(), 3);
}

TEST_F(TokenTest, StoreKeysetOnAFullTableWritesNothingPastIt) {
  sim.SetCapacity(1000);
  sim.SetKeysets(Keysets(MaxKeysets));
  ASSERT_TRUE(token->ReadKeysets());
  ASSERT_EQ(token->Count(), MaxKeysets);
  EXPECT_TRUE(token->StoreKeyset(Record(0xABCDEF00, 1).data()));  // the token still takes it
  EXPECT_EQ(token->Count(), MaxKeysets);
  EXPECT_EQ(uint32_t(token->Keysets().back().KeysetNumber), uint32_t(0x100 + MaxKeysets - 1));
  uint16_t index;
  EXPECT_FALSE(token->FindKeyset(0xABCDEF00, 1, -1, index));
}

TEST_F(TokenTest, ChecksWithoutIoComeFirst) {
  sim.SetKeysets(Keysets(2));
  ASSERT_TRUE(token->ReadKeysets());
  sim.ClearRequests();
  uint8_t block[16] = {};
  EXPECT_FALSE(token->SelectKeyset(2));
  EXPECT_FALSE(token->Encrypt(4, block, 16));
  EXPECT_FALSE(token->Decrypt(-1, block, 16));
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_TRUE(token->SelectKeyset(1));
  EXPECT_EQ(RequestCount(), 1u);
}

TEST_F(TokenTest, BlocksAreEncryptedWithTheSelectedKeyset) {
  // Known answers: AES-128 of FIPS-197, and DES of "Now is t" (two equal key halves).
  sim::SimKeyset k = Keyset(0x100, 1, 0x0B);
  for (size_t i = 0; i < 16; ++i) k.keys[0][i] = uint8_t(i);
  const uint8_t des[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  std::memcpy(k.keys[3].data(), des, 16);
  sim.SetKeysets({Keyset(0x50, 1), k});
  ASSERT_TRUE(token->ReadKeysets());
  ASSERT_TRUE(token->SelectKeyset(1));

  uint8_t block[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  const uint8_t plain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  const uint8_t cipher[16] = {0x69, 0xC4, 0xE0, 0xD8, 0x6A, 0x7B, 0x04, 0x30, 0xD8, 0xCD, 0xB7, 0x80, 0x70, 0xB4, 0xC5, 0x5A};
  TokenStatus s = 0;
  ASSERT_TRUE(token->Encrypt(0, block, 16, &s));
  EXPECT_EQ(s, TokenReplyMarker);
  EXPECT_EQ(std::memcmp(block, cipher, 16), 0);
  ASSERT_TRUE(token->Decrypt(0, block, 16));
  EXPECT_EQ(std::memcmp(block, plain, 16), 0);

  uint8_t small[8] = {0x4E, 0x6F, 0x77, 0x20, 0x69, 0x73, 0x20, 0x74};
  const uint8_t smallCipher[8] = {0x3F, 0xA4, 0x0E, 0x8A, 0x98, 0x4D, 0x48, 0x15};
  ASSERT_TRUE(token->Encrypt(3, small, 8));
  EXPECT_EQ(std::memcmp(small, smallCipher, 8), 0);

  // The key-set lacks the identification key (flag bit 2): the token refuses.
  EXPECT_TRUE(token->Encrypt(2, block, 16, &s));
  EXPECT_EQ(s, TokenReplyMarker | TokenError);
  EXPECT_EQ(std::memcmp(block, plain, 16), 0);
}

TEST_F(TokenTest, FindKeysetLooksAtTheFirstEntryOfNumberAndTime) {
  sim.SetKeysets({Keyset(74565, 0, 0x07), Keyset(256, 300000000, 0x0F), Keyset(74565, 0, 0x0F)});
  ASSERT_TRUE(token->ReadKeysets());
  uint16_t index = 99;
  EXPECT_TRUE(token->FindKeyset(74565, 0, -1, index));
  EXPECT_EQ(index, 0);
  EXPECT_FALSE(token->FindKeyset(74565, 0, 3, index));  // the later duplicate is never looked at
  EXPECT_TRUE(token->FindKeyset(256, 300000000, 3, index));
  EXPECT_EQ(index, 1);
  index = 99;
  EXPECT_FALSE(token->FindKeyset(256, 1, -1, index));
  EXPECT_EQ(index, 99);

  EXPECT_TRUE(token->FindKeysetByName(L"00291-69 2000-01-01 00:00:00", -1));
  EXPECT_FALSE(token->FindKeysetByName(L"00291-69 2000-01-01 00:00:00", 3));
  EXPECT_TRUE(token->FindKeysetByName(L"00001-0 2009-07-04 05:20:00", 3));
  EXPECT_FALSE(token->FindKeysetByName(L"00001-0 2009-07-04 05:20:0", -1));

  token->ClearKeysets();
  EXPECT_FALSE(token->FindKeyset(74565, 0, -1, index));
  EXPECT_EQ(token->Capacity(), sim::SimTokenCapacity);
}

TEST_F(TokenTest, PasswordLock) {
  const sim::Key16 key{1, 2, 3}, verifier{4, 5, 6};
  const sim::Salt8 salt{7, 7, 7, 7, 7, 7, 7, 7};
  sim.SetPassword(key, verifier, salt);
  TokenStatus s = 0;
  ASSERT_TRUE(token->Ping(&s));
  EXPECT_EQ(s, TokenReplyMarker | TokenPasswordLock);
  EXPECT_TRUE(token->ReadKeysets(&s));
  EXPECT_TRUE(s & TokenError);  // a locked token serves no key-sets

  uint8_t got[8];
  ASSERT_TRUE(token->GetSalt(got));
  EXPECT_EQ(std::memcmp(got, salt.data(), 8), 0);
  EXPECT_TRUE(token->Unlock(verifier.data(), key.data(), &s));
  EXPECT_EQ(s, TokenReplyMarker | TokenPasswordLock);
  EXPECT_TRUE(token->Unlock(key.data(), verifier.data(), &s));
  EXPECT_EQ(s, TokenReplyMarker);

  // A new password: it holds from the next plug-in on.
  const uint8_t newKey[16] = {9}, newVerifier[16] = {8}, newSalt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_TRUE(token->Lock(newKey, newVerifier, newSalt, &s));
  EXPECT_EQ(s, TokenReplyMarker);
  token.reset();
  rack.Plug(7);
  Open();
  EXPECT_EQ(token->Status(), TokenReplyMarker | TokenPasswordLock);
  ASSERT_TRUE(token->GetSalt(got));
  EXPECT_EQ(std::memcmp(got, newSalt, 8), 0);
  EXPECT_TRUE(token->Unlock(newKey, newVerifier, &s));
  EXPECT_EQ(s, TokenReplyMarker);
}

TEST_F(TokenTest, BootstrapLoaderPassword) {
  sim::Bsl32 old{};
  old[0] = 0x11;
  sim.SetBslPassword(old);
  uint8_t wrong[32] = {}, fresh[32];
  for (int i = 0; i < 32; ++i) fresh[i] = uint8_t(0xA0 + i);
  TokenStatus s = 0;
  EXPECT_TRUE(token->SetBslPassword(wrong, fresh, &s));
  EXPECT_EQ(s, TokenReplyMarker | TokenError);
  EXPECT_TRUE(token->SetBslPassword(old.data(), fresh, &s));
  EXPECT_EQ(s, TokenReplyMarker);
  EXPECT_EQ(std::memcmp(sim.BslPassword().data(), fresh, 32), 0);
}

TEST_F(TokenTest, FirmwareAuthenticationWaitsLongAndKeepsPingsOffThePort) {
  const sim::Key16 firmware{0x2B, 0x7E, 0x15, 0x16};
  sim.SetFirmwareKey(firmware);
  sim.SetFirmwareDelay(milliseconds(700));  // longer than the command time-out of 200 ms
  const sim::Key16 challenge{5, 4, 3, 2, 1};
  uint8_t response[16] = {};
  auto running = std::async(std::launch::async, [&] {
    TokenStatus s = 0;
    bool ok = token->AuthenticateFirmware(challenge.data(), response, &s);
    return ok && s == TokenReplyMarker;
  });
  ASSERT_TRUE(sim.WaitForRequests(2, seconds(2)));
  sim.ClearRequests();
  EXPECT_TRUE(token->Busy());
  auto start = steady_clock::now();
  EXPECT_TRUE(token->Ping());
  EXPECT_LT(MillisecondsSince(start), 50);
  EXPECT_TRUE(running.get());
  EXPECT_FALSE(token->Busy());
  EXPECT_EQ(sim.Requests().size(), 0u);
  auto expected = sim::FirmwareResponse(firmware, challenge);
  EXPECT_EQ(std::memcmp(response, expected.data(), 16), 0);

  // Back to the command time-out afterwards.
  sim.InjectFault({TokenFault::Silence});
  start = steady_clock::now();
  EXPECT_FALSE(token->Ping());
  EXPECT_LT(MillisecondsSince(start), 1000);
}

// A Ping that already waits for the mutex when command 18 takes it times out; that is
// a busy token. A Ping that times out behind anything else is a failed one.
TEST_F(TokenTest, PingThatTimesOutBehindFirmwareAuthenticationCountsAsBusy) {
  sim.SetFirmwareDelay(milliseconds(900));
  uint8_t salt[8], response[16];
  const uint8_t challenge[16] = {};
  // A slow but good reply keeps the mutex for about 120 ms (12 bytes, 10 ms apart), well
  // within the 300 ms that command 18 waits for it, also on a loaded machine.
  sim.InjectFault({TokenFault::Trickle, 10});
  auto holder = std::async(std::launch::async, [&] { return token->GetSalt(salt); });
  ASSERT_TRUE(sim.WaitForRequests(2, seconds(2)));
  auto firmware = std::async(std::launch::async, [&] { return token->AuthenticateFirmware(challenge, response); });
  std::this_thread::sleep_for(milliseconds(20));
  ASSERT_FALSE(token->Busy());
  EXPECT_TRUE(token->Ping());
  EXPECT_TRUE(holder.get());
  EXPECT_TRUE(firmware.get());

  // 12 bytes 40 ms apart keep the mutex longer than a Ping waits for it.
  sim.InjectFault({TokenFault::Trickle, 40});
  size_t before = RequestCount();
  holder = std::async(std::launch::async, [&] { return token->GetSalt(salt); });
  ASSERT_TRUE(sim.WaitForRequests(before + 1, seconds(2)));
  EXPECT_FALSE(token->Ping());
  EXPECT_TRUE(holder.get());
  EXPECT_EQ(RequestCount(), before + 1);
}

TEST_F(TokenTest, CommandsFromSeveralThreadsStayWhole) {
  // Two tables that the token holds in turn; a reader must only ever see one of them whole.
  std::vector<sim::SimKeyset> tables[2];
  for (int i = 0; i < 20; ++i) {
    tables[0].push_back(Keyset(uint32_t(0xA00 + i), uint32_t(1000 + i)));
    tables[1].push_back(Keyset(uint32_t(0xB00 + i), uint32_t(2000 + i)));
  }
  auto whole = [](const std::vector<KeysetInfo>& t) {
    if (t.empty()) return true;  // before the first read
    if (t.size() != 20) return false;
    for (size_t i = 0; i < t.size(); ++i)
      if (t[i].KeysetNumber != (t[0].KeysetNumber & ~0xFFu) + i) return false;
    return true;
  };
  std::atomic<int> failures{0}, torn{0}, looks{0};
  std::atomic<bool> reading{true};
  auto pinger = std::async(std::launch::async, [&] {
    uint8_t salt[8];
    for (int i = 0; i < 40; ++i)
      if (!token->Ping() || !token->GetSalt(salt)) ++failures;
  });
  auto finder = std::async(std::launch::async, [&] {
    uint16_t index;
    while (reading) {
      const auto table = token->Keysets();
      ++looks;
      if (!whole(table)) ++torn;
      // A key-set of the table just seen is found, unless the table changed meanwhile.
      for (const auto& k : table)
        if (!token->FindKeyset(k.KeysetNumber, k.KeysetTime, -1, index) &&
            token->Keysets().front().KeysetNumber == table.front().KeysetNumber)
          ++failures;
    }
  });
  for (int i = 0; i < 8; ++i) {
    sim.SetKeysets(tables[i % 2]);
    if (!token->ReadKeysets() || token->Count() != 20) ++failures;
  }
  pinger.get();
  reading = false;
  finder.get();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(torn, 0) << "of " << looks << " looks at the table";
  EXPECT_GT(looks, 8);
}

}  // namespace
