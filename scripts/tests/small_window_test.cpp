// The shipped reader's pages in the window's default placement (640x460, as a first start
// with nothing stored gives it) and in a large window: whatever the operator clicked, the
// busy bar while it runs and the result box after it are in sight without scrolling, and
// so is the Result column of a group's table.
#include <QGuiApplication>
#include <QJsonValue>
#include <QTest>
#include <gtest/gtest.h>

#include <string>

#include "shipped_reader.h"
#include "x_input.h"

namespace {

using ReaderSmallWindowEndToEnd = ShippedReader;

// Whether the element lies whole inside the page's view, or only across it.
QString InView(const QString& element, bool across = false) {
  return "(e => { const r = e.getBoundingClientRect(); return r.height > 0 && r.left >= 0 && r.right <= innerWidth" +
         QString(across ? "" : " && r.top >= 0 && r.bottom <= innerHeight") + "; })(" + element + ")";
}
const QString Busy = InView("document.getElementById('busy')");
const QString ResultInView = InView("document.getElementById('message')");
// Every seal's Result cell of the group's table, the page scrolled up or down.
const QString ResultColumn =
    "[...document.querySelectorAll('#seals tbody tr')].every(row => " + InView("row.cells[5]", true) + ")";

TEST_F(ReaderSmallWindowEndToEnd, TheBusyBarAndTheResultAreInSightAtEveryWindowSize) {
  ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'start'", 60000)) << page_.Error().toStdString();
  EXPECT_EQ(window_.size(), QSize(640, 460));
  // The Start page's search, from the buttons at its foot.
  EXPECT_EQ(Operate("findAllButton").first, "done");
  EXPECT_TRUE(page_.Evaluate(ResultInView).toBool());
  Screenshot("small_window_start_640x460");

  for (const QSize size : {QSize(640, 460), QSize(1000, 740)}) {
    const std::string at = std::to_string(size.width()) + "x" + std::to_string(size.height());
    SCOPED_TRACE(at);
    if (size != window_.size()) {
      const QJsonValue before = page_.Evaluate("innerWidth");
      ASSERT_TRUE(x_input::ResizeWindow("ZARN", size.width(), size.height()));
      // The clicks in the views go by the window's new frame; the page is laid out anew.
      ASSERT_TRUE(QTest::qWaitFor([&] {
        const auto frame = x_input::WindowTitled("ZARN", 1000);
        if (frame) window_ = *frame;
        return window_.size() == size;
      }, 10000)) << "the window stayed " << window_.width() << "x" << window_.height();
      ASSERT_TRUE(page_.WaitFor("innerWidth !== " + QString::number(before.toInt()), 10000)) << page_.Error().toStdString();
    }

    // A seal's page: the pad is read at the foot of the page, slowly enough to see the busy bar.
    ASSERT_NO_FATAL_FAILURE(ShowView("s"));
    ASSERT_NO_FATAL_FAILURE(OpenFromView("ZARN S/N 1001"));
    ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'seal'", 30000)) << page_.Error().toStdString();
    EXPECT_EQ(Operate("challengeButton").first, "done");
    EXPECT_EQ(Operate("logonButton").first, "done");
    ASSERT_NO_FATAL_FAILURE(Tell("com-seals", "fault 1001 R delay 2000 1"));
    ASSERT_TRUE(page_.Click("#readPadButton"));
    ASSERT_TRUE(page_.WaitFor("document.body.classList.contains('working')", 10000));
    EXPECT_TRUE(page_.Evaluate(Busy).toBool());
    Screenshot("small_window_seal_busy_" + at);
    ASSERT_TRUE(page_.WaitFor("!document.body.classList.contains('working')", OperationTime));
    EXPECT_EQ(page_.Evaluate("document.getElementById('message').dataset.kind").toString().toStdString(), "done");
    EXPECT_TRUE(page_.Evaluate(ResultInView).toBool());
    Screenshot("small_window_seal_" + at);
    EXPECT_EQ(Operate("logoffButton").first, "done");
    EXPECT_TRUE(page_.Evaluate(ResultInView).toBool());

    // A group's page: a run on each seal, its outcome in the table and in the result box.
    ASSERT_NO_FATAL_FAILURE(ShowView("g"));
    ASSERT_NO_FATAL_FAILURE(OpenFromView("North"));
    ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'group'", 30000)) << page_.Error().toStdString();
    EXPECT_EQ(Operate("challengeButton").first, "done");
    EXPECT_TRUE(page_.Evaluate(ResultInView).toBool());
    EXPECT_TRUE(page_.Evaluate(ResultColumn).toBool());
    Screenshot("small_window_group_" + at);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Drawn on the X display the test is given, as the reader is.
  QGuiApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
