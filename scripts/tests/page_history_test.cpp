// Back and Forward in the shipped reader, worked from outside as an operator works them: by
// the tool bar and by the mouse's own back and forward buttons over the page. While an
// operation runs they leave its page where it is; once it has ended, each page the history
// shows again is that of the seal or group it was opened for.
#include <QGuiApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <string>

#include "shipped_reader.h"
#include "x_input.h"

namespace {

class ReaderPageHistory : public ShippedReader {
 protected:
  void SetUp() override {
    ShippedReader::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'start'", 60000)) << page_.Error().toStdString();
  }

  // The tool bar's Back and Forward, where the window draws them.
  void ToolbarBack() { ASSERT_TRUE(x_input::ClickAt(window_.x() + 206, window_.y() + 35)); }
  void ToolbarForward() { ASSERT_TRUE(x_input::ClickAt(window_.x() + 234, window_.y() + 35)); }
  // The mouse's back and forward buttons over the page.
  void MouseBack() { ASSERT_TRUE(x_input::ClickAt(window_.x() + 420, window_.y() + 300, 8)); }
  void MouseForward() { ASSERT_TRUE(x_input::ClickAt(window_.x() + 420, window_.y() + 300, 9)); }

  // Waits for the page of that kind ("seal", "group") and title to be ready.
  bool Shows(const std::string& ready, const std::string& title) {
    return page_.WaitFor(QString::fromStdString("document.readyState === 'complete' && document.body.dataset.ready === '" + ready +
                                                "' && document.getElementById('title').innerText === '" + title + "'"),
                         30000);
  }
  std::string Shown() {
    return page_.Evaluate("document.body.dataset.ready + ' ' + (document.getElementById('title') || {}).innerText")
        .toString()
        .toStdString();
  }
};

TEST_F(ReaderPageHistory, BackAndForwardLeaveTheRunningOperationsPageWhereItIs) {
  ASSERT_NO_FATAL_FAILURE(OpenFromView("ZARN S/N 1001"));
  ASSERT_TRUE(Shows("seal", "ZARN S/N 1001")) << Shown();
  using Said = std::pair<std::string, std::string>;
  ASSERT_EQ(Operate("challengeButton"), Said("done", "Protocol initialized."));

  // A slow link: each log page takes a second.
  ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "fault 1001 P delay 1000 0"));
  ASSERT_TRUE(page_.Click("#readoutButton"));
  ASSERT_TRUE(page_.WaitFor("document.body.classList.contains('working')", 10000));
  ToolbarBack();
  QTest::qWait(1500);
  EXPECT_EQ(Shown(), "seal ZARN S/N 1001");
  MouseBack();
  QTest::qWait(1500);
  EXPECT_EQ(Shown(), "seal ZARN S/N 1001");
  EXPECT_TRUE(page_.Evaluate("document.body.classList.contains('working')").toBool());
  Screenshot("page_history_back_refused");

  // The read-out's own page shows its end.
  ASSERT_TRUE(page_.WaitFor("!document.body.classList.contains('working')", OperationTime)) << Shown();
  EXPECT_EQ(Text("message"), "Event logs read out into the seal data file.");
  ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "clear 1001"));

  // Once it has ended, Back and Forward go where they went.
  ToolbarBack();
  ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'start'", 30000)) << Shown();
  ToolbarForward();
  ASSERT_TRUE(Shows("seal", "ZARN S/N 1001")) << Shown();
  EXPECT_EQ(page_.Evaluate("[...document.querySelectorAll('button[data-operation]')].filter(b => b.disabled).length"),
            0);
}

TEST_F(ReaderPageHistory, APageShownAgainIsOfTheSealOrGroupItWasOpenedFor) {
  // "All Seals", then North, from the Group view.
  ASSERT_TRUE(x_input::ClickAt(window_.x() + 60, window_.bottom() - 70));  // the window takes the keys
  ASSERT_NO_FATAL_FAILURE(ShowView("g"));
  // The click leaves no entry chosen; Home alone would choose none when the first is current already.
  ASSERT_TRUE(x_input::ClickAt(window_.x() + 60, window_.bottom() - 70));
  ASSERT_TRUE(x_input::Keys({"End", "Home", "Return"}));
  ASSERT_TRUE(Shows("group", "All Seals")) << Shown();
  ASSERT_NO_FATAL_FAILURE(OpenFromView("North"));
  ASSERT_TRUE(Shows("group", "North")) << Shown();
  // Seals 1001 and 1002, from the Setup view.
  ASSERT_NO_FATAL_FAILURE(ShowView("s"));
  ASSERT_NO_FATAL_FAILURE(OpenFromView("ZARN S/N 1001"));
  ASSERT_TRUE(Shows("seal", "ZARN S/N 1001")) << Shown();
  QTest::qWait(1000);  // the tree's type-ahead forgets the name typed last
  ASSERT_NO_FATAL_FAILURE(OpenFromView("ZARN S/N 1002"));
  ASSERT_TRUE(Shows("seal", "ZARN S/N 1002")) << Shown();

  ToolbarBack();
  ASSERT_TRUE(Shows("seal", "ZARN S/N 1001")) << Shown();
  MouseBack();
  ASSERT_TRUE(Shows("group", "North")) << Shown();
  ToolbarBack();
  ASSERT_TRUE(Shows("group", "All Seals")) << Shown();
  EXPECT_EQ(page_.Evaluate("document.querySelectorAll('#seals tbody tr').length").toInt(), 4);
  ToolbarForward();
  ASSERT_TRUE(Shows("group", "North")) << Shown();
  MouseForward();
  ASSERT_TRUE(Shows("seal", "ZARN S/N 1001")) << Shown();
  ToolbarForward();
  ASSERT_TRUE(Shows("seal", "ZARN S/N 1002")) << Shown();

  // The seal page shown again works on its own seal.
  ToolbarBack();
  ASSERT_TRUE(Shows("seal", "ZARN S/N 1001")) << Shown();
  using Said = std::pair<std::string, std::string>;
  EXPECT_EQ(Operate("challengeButton"), Said("done", "Protocol initialized."));
  EXPECT_EQ(Join(Steps(Requests(script_->World(), 1001))), "G");
  EXPECT_EQ(Join(Steps(Requests(script_->World(), 1002))), "");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Drawn on the X display the test is given, as the reader is.
  QGuiApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
