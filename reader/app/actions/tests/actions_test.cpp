// Seal operations through RunAction against a simulated seal on a pseudo-terminal, with
// the real crypto service (started by activation on a private bus) doing the key work.
#include "actions.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "seal_link_sim.h"
#include "seal_test_env.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t Serial = 5150;
constexpr uint32_t PortTimeout = 500;

size_t Count(const TZarnDocument& document, const char* xpath) {
  return document.WithDom([&](const pugi::xml_document& d) { return d.select_nodes(xpath).size(); });
}

size_t Requests(const sim::SimulatedSeal& seal, char command) {
  size_t n = 0;
  for (const auto& c : seal.Commands()) n += c.command == command;
  return n;
}

class ActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seal_.Attach(link_);
    map_ = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{{7, link_.ServePty()}});
    seal_test::TestWorld::Get().ServeKeyDatabase(true);
    seal_test::FreshDatabase();
    seal_test::StoreInDatabase(seal_.Keyset());
    SetActionHost({&document_, &bar_});
    params_.Seal = std::make_shared<TSeal>(Serial);
    params_.Port = std::make_shared<TSerialPort>(7, PortTimeout);
    ASSERT_TRUE(RunAction(ChallengeThread, params_));
  }
  void TearDown() override { SetActionHost({}); }

  // Runs the operation while a window-thread timer watches; watch returns true when done.
  bool RunWatched(TThreadProcedure procedure, std::function<bool()> watch) {
    QTimer timer;
    bool watching = true;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      if (watching && watch()) watching = false;
    });
    timer.start(2);
    return RunAction(procedure, params_);
  }

  sim::SealLinkSimulator link_;
  sim::SimulatedSeal seal_{Serial, 3};
  std::unique_ptr<sim::ScopedPortMap> map_;
  TZarnDocument document_;
  QProgressBar bar_;
  TActionParams params_;
};

TEST(PagesToRead, WorkedExamples) {
  struct Case {
    uint32_t total, wanted, perPage, pages;
  };
  for (const Case& c : {Case{100, 30, 12, 4}, Case{36, 12, 12, 2}, Case{5, 10, 12, 1}, Case{0, 10, 12, 1},
                        Case{100, 0, 12, 1}, Case{24, 12, 12, 2}, Case{13, 13, 12, 2}, Case{300, 300, 12, 25}})
    EXPECT_EQ(PagesToRead(c.total, c.wanted, c.perPage), c.pages) << c.total << " " << c.wanted;
}

TEST_F(ActionsTest, EveryOperationRunsAndFilesItsResults) {
  params_.Operator1ID = 289;
  ASSERT_TRUE(RunAction(LogonThread, params_));
  EXPECT_TRUE(seal_.LoggedOn());
  EXPECT_EQ(seal_.Operator1(), 289);

  ASSERT_TRUE(RunAction(StatusThread, params_));
  EXPECT_EQ(Count(document_, "/zarn/seal/key/status"), 1u);
  EXPECT_TRUE(bar_.isHidden());
  EXPECT_EQ(bar_.maximum(), 2);

  std::string text = "Seal 5150 at gate 3";
  params_.PadText = &text;
  ASSERT_TRUE(RunAction(WritePadThread, params_));
  EXPECT_EQ(bar_.maximum(), 2 + 4 * 2);
  std::string read;
  params_.PadText = &read;
  ASSERT_TRUE(RunAction(ReadPadThread, params_));
  EXPECT_EQ(read, text);
  EXPECT_EQ(Count(document_, "/zarn/seal/key/pad"), 1u);
  ASSERT_TRUE(RunAction(ClearPadThread, params_));
  ASSERT_TRUE(RunAction(ReadPadThread, params_));
  EXPECT_EQ(read, "");

  seal_.SetClockOffset(-120);
  ASSERT_TRUE(RunAction(SynchronizeThread, params_));
  EXPECT_NEAR(seal_.ClockOffset(), 0, 2);

  for (uint32_t t = 1; t <= 30; ++t) seal_.AddSealEvent(1000 + t);
  params_.SealEventsToRead = 30;
  params_.SystemEventsToRead = 0;
  params_.SoHRecordsToRead = 0;
  ASSERT_TRUE(RunAction(ReadoutThread, params_));
  // Three seal-event pages and the current system-event page; no state of health.
  EXPECT_EQ(Count(document_, "/zarn/seal/key/page"), 4u);

  ASSERT_TRUE(RunAction(LogoffThread, params_));
  EXPECT_FALSE(seal_.LoggedOn());
  const uint32_t before = seal_.Keyset().number;
  ASSERT_TRUE(RunAction(CreateKeysetThread, params_));
  EXPECT_NE(seal_.Keyset().number, before);
  ASSERT_TRUE(RunAction(EraseKeysetThread, params_));
  EXPECT_EQ(seal_.Keyset().number, 0u);
}

TEST_F(ActionsTest, APortThatDoesNotOpenGivesItsCode) {
  params_.Port = std::make_shared<TSerialPort>(9, PortTimeout);  // not in the map
  EXPECT_FALSE(RunAction(StatusThread, params_));
  EXPECT_EQ(params_.Result, SealError::OpenComport);
  EXPECT_TRUE(bar_.isHidden());
  EXPECT_FALSE(ActionBusy);
}

TEST_F(ActionsTest, CancelEndsAReadOutKeepingThePagesReadAndASecondOperationIsRefused) {
  for (uint32_t t = 1; t <= 12 * 10; ++t) seal_.AddSealEvent(1000 + t);
  seal_.InjectFault('P', sim::SealFaultSpec(sim::SealFault::Delay, 150, 0));
  params_.SealEventsToRead = 120;
  TActionParams second;
  second.Result = 4242;
  bool refused = false;
  int largestMaximum = 0, largestValue = 0;
  const bool ok = RunWatched(ReadoutThread, [&] {
    largestMaximum = std::max(largestMaximum, bar_.maximum());
    largestValue = std::max(largestValue, bar_.value());
    if (Requests(seal_, 'P') < 3) return false;
    refused = !RunAction(StatusThread, second) && bar_.isVisible();
    ActionCanceled = true;
    return true;
  });
  EXPECT_TRUE(ok);
  EXPECT_EQ(params_.Result, 0);
  EXPECT_TRUE(refused);
  EXPECT_EQ(second.Result, 4242);
  EXPECT_EQ(Requests(seal_, 'P'), 3u);
  // The page under way when the cancel came is kept with the others.
  EXPECT_EQ(Count(document_, "/zarn/seal/key/page"), 3u);
  EXPECT_EQ(largestMaximum, 2 + (10 + 1) * 2);
  EXPECT_GT(largestValue, 2);
  EXPECT_TRUE(bar_.isHidden());
  EXPECT_FALSE(ActionBusy);
}

TEST_F(ActionsTest, LogPagesAreReadNewestFirstAndWrapAround) {
  TCryptoToken token;
  ASSERT_EQ(params_.Port->Open({}, {}), 0);
  seal_.ClearCommands();
  EXPECT_EQ(ReadLogPages(*params_.Seal, *params_.Port, token, 2, 9, 0, 5), 0);
  params_.Port->Close();
  std::vector<int> pages;
  for (const auto& c : seal_.Commands()) pages.push_back(c.option);
  EXPECT_EQ(pages, (std::vector<int>{2, 1, 0, 9, 8}));
}

TEST_F(ActionsTest, PadSizesAtTheLimitsAndWithoutPages) {
  struct Case {
    uint8_t pages;
    size_t length;
    SealErrorCode result;
  };
  for (const Case& c : {Case{4, 4 * 64 - 2, 0}, Case{4, 4 * 64 - 1, SealError::InvalidSize},
                        Case{0, 0, SealError::InvalidSize}, Case{0, 5, SealError::InvalidSize}}) {
    seal_.SetPadPageCount(c.pages);
    std::string text(c.length, 'x');
    params_.PadText = &text;
    RunAction(WritePadThread, params_);
    EXPECT_EQ(params_.Result, c.result) << int(c.pages) << " " << c.length;
  }
  seal_.SetPadPageCount(0);
  std::string read = "old";
  params_.PadText = &read;
  EXPECT_TRUE(RunAction(ReadPadThread, params_));
  EXPECT_EQ(read, "");

  // A length field beyond the pad gives the whole pad.
  seal_.SetPadPageCount(2);
  sim::SealPage first{};
  first.fill('a');
  first[0] = 0xFF;
  first[1] = 0xFF;
  seal_.SetPadPage(0, first);
  EXPECT_TRUE(RunAction(ReadPadThread, params_));
  EXPECT_EQ(read.size(), 2u * 64 - 2);
}

TEST_F(ActionsTest, ACancelOnceAPadWriteHasBegunStillWritesEveryPage) {
  seal_.InjectFault('W', sim::SealFaultSpec(sim::SealFault::Delay, 100, 0));
  std::string text(200, 'z');
  params_.PadText = &text;
  EXPECT_TRUE(RunWatched(WritePadThread, [&] {
    if (Requests(seal_, 'W') < 1) return false;
    ActionCanceled = true;
    return true;
  }));
  EXPECT_EQ(Requests(seal_, 'W'), 4u);
  seal_.ClearFaults();
  std::string read;
  params_.PadText = &read;
  ASSERT_TRUE(RunAction(ReadPadThread, params_));
  EXPECT_EQ(read, text);
}

TEST(RunActionOnAll, WaitsForEveryThread) {
  std::vector<TActionParams> records(70);
  std::vector<TActionParams*> list;
  for (auto& r : records) list.push_back(&r);
  EXPECT_TRUE(RunActionOnAll(
      [](TActionParams& p) {
        std::this_thread::sleep_for(20ms);
        p.Result = 7;
      },
      list));
  for (const auto& r : records) EXPECT_EQ(r.Result, 7);
  std::vector<TActionParams*> none;
  EXPECT_TRUE(RunActionOnAll([](TActionParams& p) { p.Result = 1; }, none));
  EXPECT_FALSE(ActionBusy);
}


// ---- finding seals and logging off all ----

class FindSealsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    map_ = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{{7, link_.ServePty()}});
    SetActionHost({nullptr, &bar_});
    record_.Port = std::make_shared<TSerialPort>(7, PortTimeout);
  }
  void TearDown() override { SetActionHost({}); }
  std::vector<uint32_t> Found() const {
    return std::vector<uint32_t>(std::begin(record_.FoundSeals), std::end(record_.FoundSeals));
  }
  // Seals of the link only: each answers every request addressed to it or to 0.
  void AddAnsweringSeals(uint32_t first, uint32_t count) {
    for (uint32_t serial = first; serial < first + count; ++serial) link_.AddSeal(serial);
  }

  sim::SealLinkSimulator link_;
  std::unique_ptr<sim::ScopedPortMap> map_;
  QProgressBar bar_;
  TActionParams record_;
};

TEST_F(FindSealsTest, ThreeSilentRoundsEndASearchOfAnEmptyPort) {
  EXPECT_TRUE(RunAction(FindSealsThread, record_));
  EXPECT_EQ(Found(), std::vector<uint32_t>(32, 0));
  const auto requests = link_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.receiver, 0u);
    ASSERT_EQ(r.payload.size(), 138u);
    EXPECT_EQ(r.payload[0], 'I');
    EXPECT_EQ(std::vector<uint8_t>(r.payload.begin() + 6, r.payload.begin() + 10), std::vector<uint8_t>(4, 0xFF));
  }
  EXPECT_EQ(bar_.maximum(), 4);
}

TEST_F(FindSealsTest, ACrcErrorWhileListeningStartsTheRoundsAgain) {
  int asked = 0;
  // Silent at the first request, a corrupt answer to the second, silent after.
  link_.AddSeal(9, [&](const sim::SealRequest& r) -> std::optional<std::vector<uint8_t>> {
    if (++asked != 2) return std::nullopt;
    return r.payload;
  });
  link_.InjectFault({sim::LinkFault::WrongCrc});
  EXPECT_TRUE(RunAction(FindSealsThread, record_));
  EXPECT_EQ(link_.Requests().size(), 4u);  // three more rounds after the reset, not two
  EXPECT_EQ(record_.FoundSeals[0], 0u);
}

TEST_F(FindSealsTest, TheThirtySecondAnswerEndsTheSearchAtOnce) {
  AddAnsweringSeals(1001, 33);
  EXPECT_TRUE(RunAction(FindSealsThread, record_));
  EXPECT_EQ(link_.Requests().size(), 1u);
  for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(record_.FoundSeals[i], 1001 + i);
}

TEST_F(FindSealsTest, ASenderOfZeroIsNoSealAndEveryRequestListsTheSealsFound) {
  seal_test::RecordingMainWindow window;
  link_.AddSeal(0);  // echoes every request with sender 0
  sim::SimulatedSeal seal(5150, 3);
  seal.Attach(link_);
  EXPECT_TRUE(RunAction(FindSealsThread, record_));
  EXPECT_EQ(record_.FoundSeals[0], 5150u);
  EXPECT_EQ(record_.FoundSeals[1], 0u);
  const auto requests = link_.Requests();
  ASSERT_EQ(requests.size(), 3u);  // the answer in the first round set the rounds back to three
  EXPECT_EQ(requests[1].payload[10] | requests[1].payload[11] << 8, 5150);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window.Messages().empty(); }, 2000));
  EXPECT_EQ(window.Messages(),
            (std::vector<seal_test::RecordingMainWindow::Message>{{WM_SEALFOUND, 0, 5150}}));
}

TEST_F(FindSealsTest, APortThatDoesNotOpenFindsNothing) {
  AddAnsweringSeals(1, 1);
  record_.Port = std::make_shared<TSerialPort>(99, PortTimeout);
  EXPECT_FALSE(RunAction(FindSealsThread, record_));
  EXPECT_EQ(Found(), std::vector<uint32_t>(32, 0));
  EXPECT_TRUE(link_.Requests().empty());
}

// The first answer comes whole; the line goes down in place of the second, so the next round
// cannot be sent. The port failed: nothing of its search counts, not even the seal that answered.
TEST_F(FindSealsTest, ASendThatFailsGivesItsCodeAndFindsNothing) {
  AddAnsweringSeals(1, 2);
  link_.InjectFault({});
  link_.InjectFault({sim::LinkFault::CloseConnection});
  EXPECT_FALSE(RunAction(FindSealsThread, record_));
  EXPECT_EQ(record_.Result, SealError::TransmitError);
  EXPECT_EQ(Found(), std::vector<uint32_t>(32, 0));
  EXPECT_EQ(link_.Requests().size(), 1u);
}

TEST_F(FindSealsTest, LoggingOffThreeSealsGoesOnAfterTheSecondFails) {
  std::vector<std::unique_ptr<sim::SimulatedSeal>> seals;
  TActionParams all;
  all.Port = record_.Port;
  seal_test::TestWorld::Get().ServeKeyDatabase(true);
  seal_test::FreshDatabase();
  for (uint32_t serial : {601u, 602u, 603u}) {
    seals.push_back(std::make_unique<sim::SimulatedSeal>(serial, 3));
    seals.back()->Attach(link_);
    seal_test::StoreInDatabase(seals.back()->Keyset());
    TActionParams p;
    p.Port = record_.Port;
    p.Seal = std::make_shared<TSeal>(serial);
    ASSERT_TRUE(RunAction(ChallengeThread, p));
    ASSERT_TRUE(RunAction(LogonThread, p));
    all.Seals.push_back(p.Seal);
  }
  seals[1]->InjectFault('O', sim::SealFaultSpec(sim::SealFault::Refuse, 1));
  std::vector<TActionParams*> list{&all};
  EXPECT_TRUE(RunActionOnAll(LogoffAllThread, list));
  EXPECT_EQ(all.Result, SealError::LogoffAllFailed);
  EXPECT_FALSE(seals[0]->LoggedOn());
  EXPECT_TRUE(seals[1]->LoggedOn());
  EXPECT_FALSE(seals[2]->LoggedOn());
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  seal_test::TestWorld world;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int result = RUN_ALL_TESTS();
  world.EndService();
  return result;
}
