// What the shipped reader's Seal and Group pages say of an operation, worked from outside as
// an operator works them on a slow link: a command once sent runs to its end whatever Cancel
// is clicked, and its result is what the seal answered; a pad read cut short keeps the pad
// box's text; the seal's facts on the page are the seal's as it now stands.
#include <QGuiApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <string>

#include "shipped_reader.h"
#include "x_input.h"

namespace {

using Said = std::pair<std::string, std::string>;

class ReaderPageResults : public ShippedReader {
 protected:
  void SetUp() override {
    ShippedReader::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'start'", 60000)) << page_.Error().toStdString();
  }

  void OpenSealPage(const QString& name) {
    ASSERT_NO_FATAL_FAILURE(OpenFromView(name));
    ASSERT_TRUE(page_.WaitFor("document.readyState === 'complete' && document.body.dataset.ready === 'seal' && "
                              "document.getElementById('title').innerText === '" + name + "'",
                              30000))
        << page_.Error().toStdString();
  }
  // Clicks the button and, once the seal has been sent the request, clicks Cancel: the
  // busy bar's when it offers one (cancelOffered_ says whether) and the tool bar's is not
  // asked for, else the tool bar's. What the page then says.
  Said OperateAndCancel(const QString& button, uint32_t serial, const std::string& request, bool toolBar = false) {
    const size_t before = Requests(script_->World(), serial).size();
    if (!page_.Click("#" + button)) return {"not clicked", page_.Error().toStdString()};
    const bool sent = QTest::qWaitFor([&] {
      const auto requests = Requests(script_->World(), serial);
      return requests.size() > before && requests.back() == request;
    }, 10000);
    if (!sent) return {"not sent", request};
    cancelOffered_ = !page_.Evaluate("document.getElementById('cancelButton').hidden").toBool();
    if (cancelOffered_ && !toolBar)
      EXPECT_TRUE(page_.Click("#cancelButton")) << page_.Error().toStdString();
    else
      EXPECT_TRUE(x_input::ClickAt(window_.x() + 177, window_.y() + 35));
    return Result();
  }
  // The pads in the seal data file, as page script reads it.
  int PadsStored() {
    return page_.Evaluate("zarn.connect().then(s => s.Document).then(d => d.selectNodes('//pad')).then(l => l.length)")
        .toInt(-1);
  }

  bool cancelOffered_ = false;
};

TEST_F(ReaderPageResults, ACommandSentRunsToItsEndAndSaysWhatTheSealAnswered) {
  ASSERT_NO_FATAL_FAILURE(OpenSealPage("ZARN S/N 1001"));
  ASSERT_EQ(Operate("challengeButton"), Said("done", "Protocol initialized."));
  // The seal's clock runs an hour ahead.
  ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "offset 1001 3600"));
  ASSERT_EQ(Operate("statusButton"), Said("done", "Status read into the seal data file."));
  EXPECT_EQ(Text("Deviation"), "3600 s");

  // Each request answered after two seconds, the tool bar's Cancel clicked meanwhile.
  ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "fault 1001 * delay 2000 0"));
  EXPECT_EQ(OperateAndCancel("logonButton", 1001, "Q L"), Said("done", "Logged on."));
  EXPECT_FALSE(cancelOffered_);
  EXPECT_EQ(Text("LoggedOn"), "Yes");
  EXPECT_EQ(OperateAndCancel("synchronizeButton", 1001, "Q T"), Said("done", "Clock synchronized with this computer."));
  EXPECT_EQ(Text("Deviation"), "0 s");
  // The same click stops a read-out between its pages: it reaches the tool bar's Cancel.
  EXPECT_EQ(OperateAndCancel("readoutButton", 1001, "Q P", true),
            Said("canceled", "Read-out canceled. What was read before the cancel is kept in the seal data file."));
  ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "clear 1001"));
  ASSERT_EQ(Operate("statusButton"), Said("done", "Status read into the seal data file."));
  // The seal set its clock to the time the request carried when it came; only the answer was
  // late. The time is sent rounded to the second, so the seal may be up to a second ahead, and
  // a loaded machine may have kept the request on its way for a moment.
  const int deviation = std::stoi(Text("Deviation"));
  EXPECT_TRUE(deviation >= -3 && deviation <= 1) << deviation;
  EXPECT_EQ(Join(Steps(Requests(script_->World(), 1001))), "G, Q S, Q L, Q T, Q I, Q P, Q S");

  // A group's run: Cancel in the first seal's status lets that status end, and stops the
  // second seal's from starting.
  ASSERT_NO_FATAL_FAILURE(ShowView("g"));
  ASSERT_NO_FATAL_FAILURE(OpenFromView("North"));
  ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'group'", 30000)) << page_.Error().toStdString();
  ASSERT_EQ(Operate("challengeButton"), Said("done", "Protocol initialization ended. 2 of 2 seals done."));
  ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "fault 1002 S delay 2000"));
  EXPECT_EQ(OperateAndCancel("statusButton", 1002, "Q S"), Said("canceled", "Get status canceled. 1 of 2 seals done."));
  EXPECT_TRUE(cancelOffered_);
  const auto rows = [&](const QString& what) {
    return page_.Evaluate("[...document.querySelectorAll('#seals tbody tr')].map(r => " + what + ").join()")
        .toString()
        .toStdString();
  };
  EXPECT_EQ(rows("r.dataset.result"), "done,skipped");
  EXPECT_EQ(rows("r.cells[5].innerText.trim()"), "Status read,Not run\nCanceled before this seal.");
  EXPECT_EQ(Join(Steps(Requests(script_->World(), 1002))), "G, Q S");
  EXPECT_EQ(Join(Steps(Requests(script_->World(), 2001))), "G");
  Screenshot("page_results_group_canceled");
}

TEST_F(ReaderPageResults, APadReadCutShortKeepsTheTextOfThePadBox) {
  ASSERT_NO_FATAL_FAILURE(OpenSealPage("ZARN S/N 1001"));
  ASSERT_EQ(Operate("challengeButton"), Said("done", "Protocol initialized."));
  ASSERT_TRUE(page_.Click("#padText"));
  ASSERT_TRUE(page_.Type("Seal fitted at gate 4"));
  const auto box = [&] { return page_.Evaluate("document.getElementById('padText').value").toString().toStdString(); };

  // Canceled between its pages: nothing of the pad is stored, the operator's text stays.
  ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "fault 1001 R delay 1500 0"));
  EXPECT_EQ(OperateAndCancel("readPadButton", 1001, "Q R"),
            Said("canceled", "Read pad canceled. Nothing of the pad was stored in the seal data file; the pad box "
                             "keeps its text."));
  EXPECT_TRUE(cancelOffered_);
  EXPECT_EQ(box(), "Seal fitted at gate 4");
  EXPECT_EQ(PadsStored(), 0);

  // Refused by the seal: the same.
  ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "clear 1001"));
  ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "fault 1001 R refuse 3"));
  EXPECT_EQ(Operate("readPadButton"),
            Said("failed", "Read pad failed. Access denied. Invalid page number. Nothing of the pad was stored in the "
                           "seal data file; the pad box keeps its text."));
  EXPECT_EQ(box(), "Seal fitted at gate 4");
  EXPECT_EQ(PadsStored(), 0);

  // Read whole, the pad the seal holds is shown and stored.
  EXPECT_EQ(Operate("writePadButton"), Said("done", "Pad written."));
  EXPECT_EQ(Operate("clearPadButton"), Said("done", "Pad cleared."));
  EXPECT_EQ(box(), "Seal fitted at gate 4");
  EXPECT_EQ(Operate("readPadButton"), Said("done", "Pad read."));
  EXPECT_EQ(box(), "");
}

TEST_F(ReaderPageResults, AfterAnEraseThePageShowsTheSealsZeroKeysetAndTheSealGoesOnWithIt) {
  // Expert mode, in Options > Operators...: the key-set commands show on the seal's page.
  ASSERT_TRUE(x_input::ClickAt(window_.x() + 60, window_.bottom() - 70));
  ASSERT_TRUE(x_input::Keys({"alt+o", "o"}));
  ASSERT_TRUE(x_input::WindowTitled("Operator Information", 10000));
  ASSERT_TRUE(x_input::Keys({"Tab", "Tab", "space", "Return"}));
  ASSERT_NO_FATAL_FAILURE(OpenSealPage("ZARN S/N 1001"));
  ASSERT_FALSE(page_.Evaluate("document.getElementById('expert').hidden").toBool());

  ASSERT_EQ(Operate("challengeButton"), Said("done", "Protocol initialized."));
  EXPECT_NE(Text("KeysetNumber"), "\u2014");
  EXPECT_NE(Text("KeysetDate"), "\u2014");
  EXPECT_EQ(Operate("eraseKeysetButton"),
            Said("done", "Key-set erased. The seal now has no key-set of its own: it works with the zero key-set until "
                         "a new key-set is created."));
  for (const char* field : {"KeysetNumber", "KeysetDate", "KeysetTime"})
    EXPECT_EQ(Text(field), "\u2014") << field;
  EXPECT_EQ(Operate("logonButton"), Said("done", "Logged on."));
  EXPECT_EQ(Join(Steps(Requests(script_->World(), 1001))), "G, Q E, Q L");
  Screenshot("page_results_after_erase");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Drawn on the X display the test is given, as the reader is.
  QGuiApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
