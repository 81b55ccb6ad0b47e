// The seal commands against a simulated seal over a pseudo-terminal and over loopback
// TCP, with the real crypto service doing the key work.
#include "seal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "seal_test_env.h"

using namespace std::chrono;
using Bytes = std::vector<uint8_t>;
using seal_test::RecordingMainWindow;
using seal_test::TestWorld;
using sim::SealFault;
using sim::SealFaultSpec;

namespace {

constexpr uint32_t Serial = 4321;
constexpr uint32_t PortTimeout = 200;
// Long enough for a status reply that the simulated seal holds back to read its clock
// away from a second's edge (up to 250 ms).
constexpr uint32_t PatientPortTimeout = 1000;

enum class Transport { Pty, Tcp };

// A simulated seal behind an open port of the reader.
struct SealOnLink {
  sim::SealLinkSimulator link;
  sim::SimulatedSeal seal;
  std::unique_ptr<sim::ScopedPortMap> map;
  std::unique_ptr<TPort> port;

  SealOnLink(Transport transport, int major, uint32_t timeout = PortTimeout) : seal(Serial, uint8_t(major)) {
    seal.Attach(link);
    if (transport == Transport::Pty) {
      map = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{{7, link.ServePty()}});
      port = std::make_unique<TSerialPort>(7, timeout);
    } else {
      port = std::make_unique<TEthernetPort>(link.ServeTcpOnFreeAddress(), timeout);
    }
    EXPECT_EQ(port->Open({}, {}), 0);
  }
  ~SealOnLink() { port->Close(); }

  size_t BlockSize() const { return seal.BlockSize(); }
  std::vector<sim::SealCommandRecord> Commands() const { return seal.Commands(); }
  void Fault(char command, SealFault fault, int32_t param = 0) {
    SealFaultSpec spec;
    spec.fault = fault;
    spec.param = param;
    seal.InjectFault(command, spec);
  }
};

template <size_t N>
std::array<uint8_t, N> Filled(uint8_t value) {
  std::array<uint8_t, N> a;
  a.fill(value);
  return a;
}

Bytes Of(const uint8_t* p, size_t n) { return Bytes(p, p + n); }
template <class A>
Bytes Of(const A& a) {
  return Bytes(a.begin(), a.end());
}

// Brings up the crypto service with the key database and puts the seal's key-set in it.
void KeysetInDatabase(const sim::SimulatedSeal& seal) {
  TestWorld::Get().ServeKeyDatabase(true);
  seal_test::FreshDatabase();
  seal_test::StoreInDatabase(seal.Keyset());
}

struct LinkCase {
  Transport transport;
  int major;
};

std::string Name(const testing::TestParamInfo<LinkCase>& info) {
  return std::string(info.param.transport == Transport::Pty ? "Pty" : "Tcp") + "Protocol" +
         std::to_string(info.param.major);
}

class EveryCommand : public ::testing::TestWithParam<LinkCase> {};

}  // namespace

TEST_P(EveryCommand, RunsAgainstTheSimulatedSeal) {
  SealOnLink s(GetParam().transport, GetParam().major, PatientPortTimeout);
  const bool mode16 = GetParam().major >= 3;
  KeysetInDatabase(s.seal);
  RecordingMainWindow window;
  // Over TCP the seal object addresses any seal and learns the serial number.
  TSeal seal(GetParam().transport == Transport::Tcp ? 0 : Serial);
  ASSERT_EQ(seal.Initialize(*s.port), 0);
  TSealFields f = seal.Snapshot();
  EXPECT_EQ(f.mode16, mode16);
  EXPECT_EQ(f.lastReplySerial, Serial);
  EXPECT_EQ(f.keysetNumber, s.seal.Keyset().number);
  EXPECT_EQ(f.keysetTime, s.seal.Keyset().time);
  EXPECT_EQ(f.firmware, std::to_string(GetParam().major) + ".00");

  TCryptoToken token;
  ASSERT_EQ(seal.Logon(*s.port, token, 0x1234, 0x0042), 0);
  EXPECT_TRUE(seal.LoggedOn());
  EXPECT_TRUE(s.seal.LoggedOn());
  EXPECT_EQ(s.seal.Operator1(), 0x1234);
  EXPECT_EQ(s.seal.Operator2(), 0x0042);

  uint8_t raw[StatusRecordSize], plain[StatusRecordSize];
  for (int offset : {30, -30}) {
    s.seal.SetClockOffset(offset);
    ASSERT_EQ(seal.GetStatus(*s.port, token, raw, plain), 0);
    EXPECT_EQ(seal.ClockDeviation(), offset);
  }
  auto status = s.seal.StatusRecord();
  EXPECT_EQ(Of(plain, 4), Of(status.data(), 4));
  EXPECT_EQ(Of(plain + 8, 88), Of(status.data() + 8, 88));
  EXPECT_NE(Of(raw, 96), Of(plain, 96));

  ASSERT_EQ(seal.SetTime(*s.port, token, platform::Now()), 0);
  EXPECT_NEAR(s.seal.ClockOffset(), 0, 1.5);

  s.seal.AddSealEvent(s.seal.Now());
  uint8_t info[LogInfoSize];
  ASSERT_EQ(seal.GetLogInfo(*s.port, token, info), 0);
  EXPECT_EQ(Of(info, LogInfoSize), Of(s.seal.LogInfo()));
  EXPECT_EQ(Of(seal.Snapshot().logInfo, LogInfoSize), Of(s.seal.LogInfo()));

  uint8_t pageRaw[LogPageSize], pagePlain[LogPageSize];
  std::string authenticity;
  ASSERT_EQ(seal.ReadLogPage(*s.port, token, 0, pageRaw, pagePlain, authenticity), 0);
  EXPECT_EQ(authenticity, "authentic");
  EXPECT_EQ(Of(pagePlain, LogPageSize), Of(*s.seal.LogPage(0)));

  // A written page comes back raw in the reader's own encrypted form.
  uint8_t pad[PadPageSize];
  for (int i = 0; i < PadPageSize; ++i) pad[i] = uint8_t(i * 37 + 0xC0);
  const Bytes written = Of(pad, PadPageSize);
  ASSERT_EQ(seal.WritePadPage(*s.port, token, 2, pad), 0);
  EXPECT_EQ(Of(s.seal.PadPage(2)), written);
  uint8_t padRaw[PadPageSize], padPlain[PadPageSize];
  ASSERT_EQ(seal.ReadPadPage(*s.port, token, 2, padRaw, padPlain), 0);
  EXPECT_EQ(Of(padRaw, PadPageSize), Of(pad, PadPageSize));
  EXPECT_EQ(Of(padPlain, PadPageSize), written);

  // A new key-set: the next challenge shows it, and the key database holds it.
  const auto old = s.seal.Keyset();
  ASSERT_EQ(seal.CreateKeyset(*s.port, token, 0), 0);
  const auto fresh = s.seal.Keyset();
  ASSERT_NE(fresh.number, old.number);
  EXPECT_EQ(seal.Snapshot().keysetNumber, fresh.number);
  EXPECT_TRUE(seal_test::DatabaseHolds(fresh));
  EXPECT_TRUE(seal.Snapshot().keysetAlert.empty());
  ASSERT_EQ(seal.Initialize(*s.port), 0);
  EXPECT_EQ(seal.Snapshot().keysetNumber, fresh.number);
  EXPECT_EQ(seal.Snapshot().keysetTime, fresh.time);

  ASSERT_EQ(seal.Logoff(*s.port, token), 0);
  EXPECT_FALSE(seal.LoggedOn());
  EXPECT_FALSE(s.seal.LoggedOn());

  for (const auto& c : s.Commands()) {
    if (c.type == 'Q') {
      EXPECT_EQ(c.mac, sim::MacVerdict::Good) << c.command;
    }
  }
  std::vector<RecordingMainWindow::Message> expected{{WM_SEALLOGGEDON, 0, LPARAM(Serial)},
                                                     {WM_SEALLOGGEDOFF, 0, LPARAM(Serial)}};
  EXPECT_EQ(window.Messages(), expected);
}

INSTANTIATE_TEST_SUITE_P(, EveryCommand,
                         ::testing::Values(LinkCase{Transport::Pty, 2}, LinkCase{Transport::Pty, 3},
                                           LinkCase{Transport::Tcp, 2}, LinkCase{Transport::Tcp, 3}),
                         Name);

// ---- Without the crypto service ----

TEST(EraseKeyset, WorksWithoutTheCryptoServiceInBothModes) {
  for (int major : {2, 3}) {
    SCOPED_TRACE(testing::Message() << "protocol " << major);
    SealOnLink s(Transport::Pty, major);
    TSeal seal(Serial);
    ASSERT_EQ(seal.Initialize(*s.port), 0);
    ASSERT_EQ(seal.EraseKeyset(*s.port), 0);
    EXPECT_EQ(s.seal.Keyset(), sim::SealKeyset::Zero());
    ASSERT_EQ(s.Commands().size(), 2u);
    EXPECT_EQ(s.Commands()[1].command, 'E');
    EXPECT_EQ(s.Commands()[1].mac, sim::MacVerdict::EraseCode);
    ASSERT_EQ(seal.Initialize(*s.port), 0);
    EXPECT_EQ(seal.Snapshot().keysetNumber, 0u);
  }
}

TEST(EraseKeyset, ARefusalRunsTheChallengeAgainAndKeepsTheReason) {
  SealOnLink s(Transport::Tcp, 3);
  TSeal seal(Serial);
  ASSERT_EQ(seal.Initialize(*s.port), 0);
  s.Fault('E', SealFault::Refuse, 6);
  EXPECT_EQ(seal.EraseKeyset(*s.port), SealError::AccessDenied);
  EXPECT_EQ(seal.RefusalReason(), 6);
  ASSERT_EQ(s.Commands().size(), 3u);
  EXPECT_EQ(s.Commands()[2].type, 'G');
  EXPECT_EQ(ErrorMessage(SealError::AccessDenied, seal.RefusalReason()), "Access denied. EEPROM write error.");
  // The new chain works: the erase goes through now.
  EXPECT_EQ(seal.EraseKeyset(*s.port), 0);
}

TEST(Challenge, RepliesOfTheWrongKindOrLength) {
  struct Case {
    int major;
    SealFault fault;
    int32_t param;
    SealErrorCode code;
    bool mode16;
  } cases[] = {
      {3, SealFault::WrongLength, -8, SealError::ProtocolViolation, true},  // version 3 with 24 bytes
      {2, SealFault::WrongLength, 8, SealError::ProtocolViolation, false},  // version 2 with 32 bytes
      {3, SealFault::WrongType, 'R', SealError::ProtocolViolation, false},
      {2, SealFault::WrongLength, -23, SealError::ProtocolViolation, false},  // one byte: no whole type
      {3, SealFault::ForeignSerial, 99, SealError::WrongSender, false},
      {3, SealFault::Silence, 0, SealError::ReceiveTimeout, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "protocol " << c.major << ", fault " << int(c.fault));
    SealOnLink s(Transport::Pty, c.major);
    TSeal seal(Serial);
    s.Fault('G', c.fault, c.param);
    EXPECT_EQ(seal.Initialize(*s.port), c.code);
    EXPECT_EQ(seal.Snapshot().mode16, c.mode16);
    EXPECT_EQ(seal.Snapshot().keysetNumber, 0u);
    EXPECT_EQ(seal.LastReplySerial(), Serial);
  }
}

// ---- With the crypto service ----

namespace {

struct SealCommands : ::testing::TestWithParam<int> {
  SealOnLink s{Transport::Pty, GetParam()};
  TSeal seal{Serial};
  std::unique_ptr<TCryptoToken> token;

  void SetUp() override {
    s.seal.SetStableClockReads(false);  // no exact clock deviation is looked at here
    KeysetInDatabase(s.seal);
    ASSERT_EQ(seal.Initialize(*s.port), 0);
    token = std::make_unique<TCryptoToken>();
  }
  TPort& Port() { return *s.port; }
};

std::string ProtocolName(const testing::TestParamInfo<int>& info) {
  return "Protocol" + std::to_string(info.param);
}

}  // namespace

TEST_P(SealCommands, EachRefusalReasonGivesAccessDeniedWithItsText) {
  struct Case {
    SealRefusalReason reason;
    const char* message;
  } cases[] = {
      {1, "Access denied. Authorization failed."}, {3, "Access denied. Invalid page number."},
      {4, "Access denied. Invalid command."},      {5, "Access denied. EEPROM read error."},
      {6, "Access denied. EEPROM write error."},   {1901, "Access denied. Invalid date or time."},
      {77, "Access denied. "},  // a reason without a text leaves the blank
  };
  auto raw = Filled<StatusRecordSize>(0xAA), plain = Filled<StatusRecordSize>(0xBB);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    const size_t before = s.Commands().size();
    s.Fault('S', SealFault::Refuse, c.reason);
    EXPECT_EQ(seal.GetStatus(Port(), *token, raw.data(), plain.data()), SealError::AccessDenied);
    EXPECT_EQ(seal.RefusalReason(), c.reason);
    EXPECT_EQ(ErrorMessage(SealError::AccessDenied, seal.RefusalReason()), c.message);
    // The refusal, then the challenge that starts a new chain.
    ASSERT_EQ(s.Commands().size(), before + 2);
    EXPECT_EQ(s.Commands()[before + 1].type, 'G');
  }
  EXPECT_EQ(raw, Filled<StatusRecordSize>(0xAA));
  EXPECT_EQ(plain, Filled<StatusRecordSize>(0xBB));

  // A refusal too short for its reason field carries none.
  s.Fault('S', SealFault::ShortRefusal, 11);
  EXPECT_EQ(seal.GetStatus(Port(), *token, raw.data(), plain.data()), SealError::AccessDenied);
  EXPECT_EQ(seal.RefusalReason(), 0);
  EXPECT_EQ(ErrorMessage(SealError::AccessDenied, seal.RefusalReason()), "Access denied.");

  // A failed logoff leaves the seal logged on and tells the main window nothing.
  RecordingMainWindow window;
  ASSERT_EQ(seal.Logon(Port(), *token, 1, 2), 0);
  s.Fault('O', SealFault::Refuse, 1);
  EXPECT_EQ(seal.Logoff(Port(), *token), SealError::AccessDenied);
  EXPECT_TRUE(seal.LoggedOn());
  ASSERT_EQ(window.Messages().size(), 1u);
  EXPECT_EQ(window.Messages()[0].message, WM_SEALLOGGEDON);
}

TEST_P(SealCommands, AFailedReplyLeavesEveryOutputAsItWas) {
  // Outputs of a first good round, which the failures below must not touch.
  ASSERT_EQ(seal.GetLogInfo(Port(), *token), 0);
  const Bytes info = Of(seal.Snapshot().logInfo, LogInfoSize);
  s.seal.SetClockOffset(30);
  s.seal.AddSealEvent(s.seal.Now());  // a good reply would differ from now on

  struct Fault {
    SealFault fault;
    int32_t param;
    SealErrorCode code;
    bool chainInStep;  // whether the next exchange still works
  };
  const int32_t replyLength = int32_t(2 + 2 * s.BlockSize() + LogInfoSize);
  const Fault faults[] = {
      {SealFault::FlipMac, 0, SealError::AuthenticationFailed, true},
      {SealFault::WrongLength, 1, SealError::InvalidSize, true},  // the chaining value is taken all the same
      {SealFault::WrongLength, -1, SealError::InvalidSize, true},
      {SealFault::WrongLength, -(replyLength - 1), SealError::ProtocolViolation, false},
      {SealFault::WrongType, 'C', SealError::ProtocolViolation, false},
      {SealFault::ForeignSerial, 1, SealError::WrongSender, false},
      {SealFault::Silence, 0, SealError::ReceiveTimeout, true},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(testing::Message() << "fault " << int(f.fault) << " " << f.param);
    auto out = Filled<LogInfoSize>(0xA5);
    s.Fault('I', f.fault, f.param);
    EXPECT_EQ(seal.GetLogInfo(Port(), *token, out.data()), f.code);
    EXPECT_EQ(out, Filled<LogInfoSize>(0xA5));
    EXPECT_EQ(Of(seal.Snapshot().logInfo, LogInfoSize), info);
    SealErrorCode next = seal.Logon(Port(), *token, 1, 1);
    if (f.chainInStep) {
      EXPECT_EQ(next, 0);
    } else {
      EXPECT_EQ(next, SealError::AccessDenied);  // the seal moved its chain on alone
      EXPECT_EQ(seal.RefusalReason(), 1);
    }
  }

  // The other commands with data, each with a bad reply MAC.
  auto raw = Filled<StatusRecordSize>(1), plain = Filled<StatusRecordSize>(2);
  s.Fault('S', SealFault::FlipMac);
  EXPECT_EQ(seal.GetStatus(Port(), *token, raw.data(), plain.data()), SealError::AuthenticationFailed);
  EXPECT_EQ(seal.ClockDeviation(), 0);
  std::string authenticity = "as before";
  s.Fault('P', SealFault::FlipMac);
  EXPECT_EQ(seal.ReadLogPage(Port(), *token, 0, raw.data(), plain.data(), authenticity),
            SealError::AuthenticationFailed);
  EXPECT_EQ(authenticity, "as before");
  s.Fault('R', SealFault::FlipMac);
  EXPECT_EQ(seal.ReadPadPage(Port(), *token, 0, raw.data(), plain.data()), SealError::AuthenticationFailed);
  EXPECT_EQ(raw, Filled<StatusRecordSize>(1));
  EXPECT_EQ(plain, Filled<StatusRecordSize>(2));
  const TSealFields before = seal.Snapshot();
  s.Fault('K', SealFault::FlipMac);
  EXPECT_EQ(seal.CreateKeyset(Port(), *token, 0), SealError::AuthenticationFailed);
  EXPECT_EQ(seal.Snapshot().keysetNumber, before.keysetNumber);
  EXPECT_EQ(seal.Snapshot().unstoredKeyset, 0u);
}

TEST_P(SealCommands, AfterSettingTheClockAndErasingTheKeysetTheFieldsAreTheSealsAsItNowStands) {
  uint8_t raw[StatusRecordSize], plain[StatusRecordSize];
  s.seal.SetClockOffset(3600);
  ASSERT_EQ(seal.GetStatus(Port(), *token, raw, plain), 0);
  EXPECT_NEAR(seal.ClockDeviation(), 3600, 1);
  ASSERT_EQ(seal.SetTime(Port(), *token, platform::Now()), 0);
  EXPECT_EQ(seal.ClockDeviation(), 0);
  ASSERT_EQ(seal.GetStatus(Port(), *token, raw, plain), 0);
  EXPECT_NEAR(seal.ClockDeviation(), 0, 1);

  ASSERT_EQ(seal.EraseKeyset(Port()), 0);
  EXPECT_EQ(seal.Snapshot().keysetNumber, 0u);
  EXPECT_EQ(seal.Snapshot().keysetTime, 0u);
  // The next command is made under the zero key-set the seal now has: it needs no new challenge.
  const size_t before = s.Commands().size();
  ASSERT_EQ(seal.Logon(Port(), *token, 1, 2), 0);
  ASSERT_EQ(s.Commands().size(), before + 1);
  EXPECT_EQ(s.Commands().back().mac, sim::MacVerdict::Good);
  ASSERT_EQ(seal.Initialize(Port()), 0);
  EXPECT_EQ(seal.Snapshot().keysetNumber, 0u);
  EXPECT_EQ(seal.Snapshot().keysetTime, 0u);
}

TEST_P(SealCommands, ATamperedLogPageIsNotAuthenticButItsReadSucceeds) {
  uint8_t raw[LogPageSize], plain[LogPageSize];
  std::string authenticity;
  s.Fault('P', SealFault::FlipSignature);
  ASSERT_EQ(seal.ReadLogPage(Port(), *token, 17, raw, plain, authenticity), 0);
  EXPECT_EQ(authenticity, "not authentic");
  ASSERT_EQ(seal.ReadLogPage(Port(), *token, 17, raw, plain, authenticity), 0);
  EXPECT_EQ(authenticity, "authentic");
  EXPECT_EQ(seal.ReadLogPage(Port(), *token, 200, raw, plain, authenticity), SealError::AccessDenied);
  EXPECT_EQ(seal.RefusalReason(), 3);
}

TEST_P(SealCommands, AServiceWithoutTheKeysetSendsNothing) {
  seal_test::FreshDatabase();
  TCryptoToken fresh;  // a new service object: nothing cached
  EXPECT_EQ(seal.Logon(Port(), fresh, 1, 2), SealError::CryptoTokenError);
  EXPECT_EQ(s.Commands().size(), 1u);  // the challenge only
  EXPECT_FALSE(seal.LoggedOn());
}

TEST_P(SealCommands, ANewKeysetNumberedForAnotherSealIsNotStored) {
  TSeal anySeal(0);
  ASSERT_EQ(anySeal.Initialize(Port()), 0);
  s.seal.SetNextKeysetIndex(9);
  s.Fault('K', SealFault::ForeignSerial, 777);  // the reply names another sender
  EXPECT_EQ(anySeal.CreateKeyset(Port(), *token, 0), SealError::CryptoTokenError);
  const uint32_t number = Serial << 8 | 9;
  const TSealFields f = anySeal.Snapshot();
  EXPECT_EQ(f.keysetNumber, number);
  EXPECT_EQ(f.unstoredKeyset, number);
  EXPECT_NE(f.keysetAlert.find(KeysetNumberToText(number)), std::string::npos) << f.keysetAlert;
  EXPECT_NE(f.keysetAlert.find("not one of its own"), std::string::npos) << f.keysetAlert;
  EXPECT_EQ(seal_test::KeysetRows(number), 0);
  // Nothing more is sent under a key-set nobody can keep.
  const size_t sent = s.Commands().size();
  EXPECT_EQ(anySeal.Logon(Port(), *token, 1, 2), SealError::CryptoTokenError);
  EXPECT_EQ(s.Commands().size(), sent);
  // Erasing the seal drops the held keys and the alert.
  ASSERT_EQ(anySeal.EraseKeyset(Port()), 0);
  EXPECT_TRUE(anySeal.Snapshot().keysetAlert.empty());
  EXPECT_EQ(anySeal.Snapshot().unstoredKeyset, 0u);
}

INSTANTIATE_TEST_SUITE_P(, SealCommands, ::testing::Values(2, 3), ProtocolName);

TEST(CreateKeyset, AKeysetTheServiceCannotStoreIsHeldAndStoredAtTheNextExchange) {
  SealOnLink s(Transport::Tcp, 3);
  // A seal without a key-set computes with zero keys, which need no key database.
  s.seal.SetKeyset(sim::SealKeyset::Zero());
  s.seal.SetNextKeysetIndex(5);
  seal_test::FreshDatabase();
  TestWorld::Get().ServeKeyDatabase(false);
  TestWorld::Get().EndService();
  TSeal seal(Serial);
  ASSERT_EQ(seal.Initialize(*s.port), 0);
  {
    TCryptoToken token;
    EXPECT_EQ(seal.CreateKeyset(*s.port, token, 0), SealError::CryptoTokenError);
  }
  const auto fresh = s.seal.Keyset();
  ASSERT_EQ(fresh.number, Serial << 8 | 5);
  TSealFields f = seal.Snapshot();
  EXPECT_EQ(f.keysetNumber, fresh.number);
  EXPECT_EQ(f.keysetTime, fresh.time);
  EXPECT_EQ(f.unstoredKeyset, fresh.number);
  EXPECT_NE(f.keysetAlert.find(KeysetNumberToText(fresh.number)), std::string::npos) << f.keysetAlert;
  EXPECT_NE(f.keysetAlert.find("could not store"), std::string::npos) << f.keysetAlert;

  // Once the key database is back, the next operation stores the key-set first.
  TestWorld::Get().ServeKeyDatabase(true);
  TestWorld::Get().EndService();
  TCryptoToken token;
  uint8_t info[LogInfoSize];
  ASSERT_EQ(seal.GetLogInfo(*s.port, token, info), 0);
  EXPECT_TRUE(seal_test::DatabaseHolds(fresh));
  EXPECT_TRUE(seal.Snapshot().keysetAlert.empty());
  EXPECT_EQ(seal.Snapshot().unstoredKeyset, 0u);
}

namespace {

// Any Seal creates a key-set while the key database is away: the keys are held.
struct HeldKeyset : ::testing::Test {
  SealOnLink s{Transport::Tcp, 3};
  TSeal anySeal{0};
  sim::SealKeyset fresh;

  void SetUp() override {
    s.seal.SetKeyset(sim::SealKeyset::Zero());  // zero keys need no key database
    s.seal.SetNextKeysetIndex(6);
    seal_test::FreshDatabase();
    TestWorld::Get().ServeKeyDatabase(false);
    TestWorld::Get().EndService();
    ASSERT_EQ(anySeal.Initialize(*s.port), 0);
    TCryptoToken token;
    ASSERT_EQ(anySeal.CreateKeyset(*s.port, token, 0), SealError::CryptoTokenError);
    fresh = s.seal.Keyset();
    ASSERT_EQ(anySeal.Snapshot().unstoredKeyset, fresh.number);
    TestWorld::Get().ServeKeyDatabase(true);
    TestWorld::Get().EndService();
  }
};

}  // namespace

TEST_F(HeldKeyset, ATimedOutExchangeDoesNotMakeItAnotherSealsKeyset) {
  s.Fault('G', SealFault::Silence);
  ASSERT_EQ(anySeal.Initialize(*s.port), SealError::SocketError);  // a time-out on TCP
  ASSERT_EQ(anySeal.LastReplySerial(), 0u);
  TCryptoToken token;
  EXPECT_EQ(anySeal.GetLogInfo(*s.port, token), 0);
  EXPECT_TRUE(seal_test::DatabaseHolds(fresh));
  EXPECT_TRUE(anySeal.Snapshot().keysetAlert.empty()) << anySeal.Snapshot().keysetAlert;
  EXPECT_EQ(anySeal.Snapshot().unstoredKeyset, 0u);
}

TEST_F(HeldKeyset, ASealThatMovedOnDropsTheRecordAndItsAlert) {
  // Another program erased the seal meanwhile.
  s.seal.SetKeyset(sim::SealKeyset::Zero());
  ASSERT_EQ(anySeal.Initialize(*s.port), 0);
  TCryptoToken token;
  EXPECT_EQ(anySeal.GetLogInfo(*s.port, token), 0);
  EXPECT_FALSE(seal_test::DatabaseHolds(fresh));
  EXPECT_TRUE(anySeal.Snapshot().keysetAlert.empty()) << anySeal.Snapshot().keysetAlert;
  EXPECT_EQ(anySeal.Snapshot().unstoredKeyset, 0u);
}

TEST(CryptoToken, ASimulatedTokenComputesInPlaceOfTheKeyDatabase) {
  sim::SimulatedSeal probe(Serial, 3);  // the key-set the token gets
  seal_test::FreshDatabase();
  TestWorld::Get().ServeKeyDatabase(true);
  const sim::SealKeyset k = probe.Keyset();
  sim::SimKeyset onToken{k.number, k.Seconds(), 0x0F, {}};
  for (int t = 0; t < 4; ++t) onToken.keys[t] = k.keys[t];
  TestWorld::Get().Tokens().Plug(30, 555).SetKeysets({onToken});

  SealOnLink s(Transport::Pty, 3);
  s.seal.SetKeyset(k);
  TSeal seal(Serial);
  ASSERT_EQ(seal.Initialize(*s.port), 0);
  TCryptoToken token;
  // The service's scan finds the token within a few of its passes; until then the
  // request MAC fails before anything is sent.
  SealErrorCode e = SealError::CryptoTokenError;
  for (int i = 0; i < 60 && e == SealError::CryptoTokenError; ++i) {
    e = seal.Logon(*s.port, token, 3, 4);
    if (e) std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_EQ(e, 0);
  uint8_t raw[LogPageSize], plain[LogPageSize];
  std::string authenticity;
  ASSERT_EQ(seal.ReadLogPage(*s.port, token, 33, raw, plain, authenticity), 0);
  EXPECT_EQ(authenticity, "authentic");
  EXPECT_FALSE(TestWorld::Get().Tokens().Token(30)->Requests().empty());

  // The token refuses to compute a block: the service fails the call (E_FAIL) and the
  // reader reports a crypto token error before anything goes to the seal.
  sim::TokenFaultSpec refusal(sim::TokenFault::ErrorBit);
  refusal.command = 6 + 2 * 1;  // decrypting with the authorization key: the request MAC
  TestWorld::Get().Tokens().Token(30)->InjectFault(refusal);
  const size_t sent = s.seal.Commands().size();
  const size_t requests = TestWorld::Get().Tokens().Token(30)->Requests().size();
  EXPECT_EQ(seal.ReadLogPage(*s.port, token, 33, raw, plain, authenticity), SealError::CryptoTokenError);
  EXPECT_EQ(s.seal.Commands().size(), sent);
  const auto after = TestWorld::Get().Tokens().Token(30)->Requests();
  EXPECT_TRUE(std::any_of(after.begin() + long(requests), after.end(),
                          [&](const sim::TokenRequest& r) { return r.command == refusal.command; }));
  TestWorld::Get().Tokens().Unplug(30);
}
