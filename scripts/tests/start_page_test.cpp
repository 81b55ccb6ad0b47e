// The Start page of the shipped reader says what became of a search and of a save: a port
// held by another program, a search refused while another runs, a cancel, a name that no
// port has, a folder that does not exist. What it says is checked against the seals the
// setup still holds, read through the session as page script reads them.
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "shipped_reader.h"
#include "x_input.h"

namespace fs = std::filesystem;

namespace {

using Said = std::pair<std::string, std::string>;

class ReaderStartPageEndToEnd : public ShippedReader {
 protected:
  void SetUp() override {
    ShippedReader::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'start'", 60000)) << page_.Error().toStdString();
  }

  // The serial numbers of the setup's seals, as the group "All Seals" lists them.
  std::string Seals() {
    return page_
        .Evaluate("(async () => { const all = await zarn.session.Group, seals = [];"
                  "  for (let i = 0; i < await all.Count; ++i) seals.push(await (await all.Seal(i)).Address);"
                  "  return seals.sort().join(); })()")
        .toString()
        .toStdString();
  }

  // The port name typed into the page's box, then a click on Find Seals.
  void StartFind(const QString& port) {
    ASSERT_TRUE(page_.Evaluate("document.getElementById('portInput').value = ''; true").toBool());
    ASSERT_TRUE(page_.Click("#portInput"));
    ASSERT_TRUE(page_.Type(port)) << page_.Error().toStdString();
    ASSERT_TRUE(page_.Click("#findButton"));
  }

  // The window's own box with this title, looked at and closed with Enter as an operator does.
  void CloseBox(const QString& title, const std::string& screenshot) {
    if (!x_input::WindowTitled(title, 30000)) {
      ADD_FAILURE() << "no box \"" << title.toStdString() << "\"";
      return;
    }
    QTest::qWait(300);
    Screenshot(screenshot);
    EXPECT_TRUE(x_input::Keys({"Return"}));
  }

  std::string Offered() {
    return page_.Evaluate("[...document.querySelectorAll('#ports option')].map(o => o.value).join()")
        .toString()
        .toStdString();
  }

  static constexpr const char* AllSeals = "1001,1002,2001,2002";
};

TEST_F(ReaderStartPageEndToEnd, ASearchThatCouldNotRunOrWasCanceledSaysSoAndKeepsEverySeal) {
  ASSERT_EQ(Seals(), AllSeals);

  // COM1 held by another program: the window names the port and why, the page says the
  // search could not run, and no seal of it is lost.
  const QRegularExpressionMatch device =
      QRegularExpression("COM1 \\((/dev/[^)]+)\\)").match(script_->Output());
  ASSERT_TRUE(device.hasMatch()) << script_->Output().toStdString();
  const int held = ::open(device.captured(1).toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  ASSERT_NO_FATAL_FAILURE(StartFind("COM1"));
  CloseBox("Error", "start_page_port_held");
  EXPECT_EQ(Result(),
            Said("failed", "The search on COM1 could not run. COM1: Open comport failed. No seal was removed from the setup."));
  ::close(held);
  EXPECT_EQ(Seals(), AllSeals);
  EXPECT_EQ(Offered(), "COM1");  // a port there is, though it did not open

  // Canceled while the search waits for more answers: the seals it has not found again stay.
  ASSERT_NO_FATAL_FAILURE(StartFind("COM1"));
  QTest::qWait(1000);
  ASSERT_TRUE(page_.Click("#cancelButton"));
  EXPECT_EQ(Result(), Said("canceled", "Search canceled. No seal was removed from the setup; seals that answered "
                                       "before the cancel may be missing from it."));
  EXPECT_EQ(Seals(), AllSeals);

  // Refused while the Setup menu's search of COM1 runs: the window says so, and so does the page.
  ASSERT_NO_FATAL_FAILURE(ShowView("s"));
  ASSERT_NO_FATAL_FAILURE(OpenFromView("COM1"));
  ASSERT_TRUE(x_input::Keys({"alt+s", "f"}));
  QTest::qWait(1000);
  ASSERT_TRUE(page_.Click("#findAllButton"));
  CloseBox("Warning", "start_page_search_refused");
  EXPECT_EQ(Result(), Said("failed", "Another operation is running. The search did not run; the seals listed are unchanged."));
  EXPECT_EQ(Seals(), AllSeals);
}

TEST_F(ReaderStartPageEndToEnd, ANameNoPortHasSearchesEveryPortAndIsNotOfferedAgain) {
  for (const QString name : {"COM9", "COM1; rm"}) {
    SCOPED_TRACE(name.toStdString());
    ASSERT_NO_FATAL_FAILURE(StartFind(name));
    EXPECT_EQ(Result(), Said("done", "Search on all ports ended. No port is named " + name.toStdString() +
                                         ", so every port was searched. The Setup view shows the seals found."));
    EXPECT_EQ(Seals(), AllSeals);
    EXPECT_EQ(Offered(), "");
  }
  ASSERT_NO_FATAL_FAILURE(StartFind("COM1"));
  EXPECT_EQ(Result(), Said("done", "Search on COM1 ended. The Setup view shows the seals found."));
  EXPECT_EQ(Offered(), "COM1");
  Screenshot("start_page_searched");
}

TEST_F(ReaderStartPageEndToEnd, ASaveAsIntoAFolderThatIsNotThereNamesTheFileAndWhy) {
  // Typed into the dialog's name box as a person types it, and taken with Enter.
  const fs::path target = fs::path(script_->World()) / "nowhere" / "seals.zrd";
  ASSERT_TRUE(page_.Click("#saveButton"));
  ASSERT_TRUE(x_input::WindowTitled("Save As", 30000));
  QTest::qWait(500);
  ASSERT_TRUE(x_input::Keys({"ctrl+a"}));
  ASSERT_TRUE(x_input::Type(QString::fromStdString(target.string())));
  ASSERT_TRUE(x_input::Keys({"Return"}));
  CloseBox("Error", "start_page_save_failed");
  EXPECT_EQ(Result(), Said("note", "The seal data file was not saved."));
  EXPECT_FALSE(fs::exists(target.parent_path()));

  // The document is still untitled, so File > Save asks for a name again instead of failing
  // on the one that did not take.
  ASSERT_TRUE(x_input::ClickAt(window_.x() + 60, window_.bottom() - 70));  // the window's keys, not the page's
  ASSERT_TRUE(x_input::Keys({"alt+f", "s"}));
  EXPECT_TRUE(x_input::WindowTitled("Save As", 10000));
  EXPECT_FALSE(x_input::WindowTitled("Error", 1000));
  ASSERT_TRUE(x_input::Keys({"Escape"}));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Drawn on the X display the test is given, as the reader is.
  QGuiApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
