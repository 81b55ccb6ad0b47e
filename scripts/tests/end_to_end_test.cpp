// The shipped reader worked as an operator works it: scripts/try-zarn starts the built
// programs in a world of simulated seals, and the test drives the reader from outside
// only, under Xvfb: keys and clicks of the X display in the reader's views, clicks and
// typing in its pages through the browser's remote-debugging protocol. What the pages say
// is checked against what the simulated seals record of the requests they were sent.
#include <QGuiApplication>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "shipped_reader.h"
#include "x_input.h"

namespace {

using ReaderPagesEndToEnd = ShippedReader;

TEST_F(ReaderPagesEndToEnd, AnOperatorWorksSealsOnBothLinksThroughTheirPages) {
  // The Start page reaches the session: the operators, today's date and time, live buttons.
  ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready", 60000)) << page_.Error().toStdString();
  EXPECT_EQ(page_.Evaluate("document.body.dataset.ready").toString().toStdString(), "start") << Text("message");
  EXPECT_EQ(Text("operator1"), "JS");
  EXPECT_EQ(Text("operator2"), "AB");
  EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d{2}-\\d{2}$").match(QString::fromStdString(Text("date"))).hasMatch())
      << Text("date");
  EXPECT_FALSE(Text("time").empty());
  EXPECT_EQ(page_.Evaluate("[...document.querySelectorAll('button[data-operation]')].filter(b => b.disabled).length"),
            0);
  Screenshot("end_to_end_start_page");

  // A seal on the pseudo-terminal with 8-byte blocks, and one on the network with 16-byte blocks.
  const std::string padText = "Wire intact; housing closed. Übergabe JS/AB";
  for (const uint32_t serial : {1001u, 2002u}) {
    SCOPED_TRACE("seal " + std::to_string(serial));
    const QString name = QString("ZARN S/N %1").arg(serial);
    ASSERT_NO_FATAL_FAILURE(OpenFromView(name));
    ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'seal' && document.getElementById('title').innerText === '" +
                                  name + "'",
                              30000))
        << page_.Error().toStdString();

    using Said = std::pair<std::string, std::string>;
    EXPECT_EQ(Operate("challengeButton"), Said("done", "Protocol initialized."));
    EXPECT_EQ(Operate("logonButton"), Said("done", "Logged on."));
    EXPECT_EQ(Text("LoggedOn"), "Yes");
    EXPECT_EQ(Operate("logInfoButton"), Said("done", "Log info read."));
    EXPECT_EQ(Text("SealEvents"), "30");
    EXPECT_EQ(Text("SystemEvents"), "12");
    EXPECT_EQ(Text("SoHRecords"), "8");
    EXPECT_EQ(Operate("readoutButton"), Said("done", "Event logs read out into the seal data file."));
    ASSERT_TRUE(page_.Click("#padText"));
    ASSERT_TRUE(page_.Type(QString::fromStdString(padText))) << page_.Error().toStdString();
    EXPECT_EQ(Operate("writePadButton"), Said("done", "Pad written."));

    // Back later on a page of its own, whose pad box starts empty: the pad as the seal keeps it.
    ASSERT_NO_FATAL_FAILURE(OpenFromView(name));
    ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'seal' && document.getElementById('padText').value === ''",
                              30000));
    EXPECT_EQ(Operate("readPadButton"), Said("done", "Pad read."));
    EXPECT_EQ(page_.Evaluate("document.getElementById('padText').value").toString().toStdString(), padText);
    if (serial == 1001) Screenshot("end_to_end_seal_page");
    EXPECT_EQ(Operate("logoffButton"), Said("done", "Logged off."));
    EXPECT_EQ(Text("LoggedOn"), "No");

    // Each step the page reported done reached the seal, and the seal accepted it: the
    // read-out's pages, and the pad's after the log info that gives its size.
    EXPECT_EQ(Join(Steps(Requests(script_->World(), serial))), "G, Q L, Q I, Q P, Q I, Q W, Q I, Q R, Q O");
  }

  // The Database view's entry of the seal read out: its pages, each with its signature checked.
  ASSERT_NO_FATAL_FAILURE(ShowView("d"));
  ASSERT_NO_FATAL_FAILURE(OpenFromView("ZARN S/N 1001"));
  ASSERT_TRUE(page_.WaitFor("document.body.dataset.state", 30000)) << page_.Error().toStdString();
  EXPECT_EQ(page_.Evaluate("document.body.dataset.state").toString().toStdString(), "ready");
  EXPECT_EQ(Text("title"), "ZARN S/N 1001");
  EXPECT_GT(page_.Evaluate("document.querySelectorAll('td.authentic').length").toInt(), 0);
  EXPECT_EQ(page_.Evaluate("document.querySelectorAll('td.not-authentic').length").toInt(), 0);
  Screenshot("end_to_end_database_page");

  // The group of one seal of each link: one operation, then another, on both.
  ASSERT_NO_FATAL_FAILURE(ShowView("g"));
  ASSERT_NO_FATAL_FAILURE(OpenFromView("North"));
  ASSERT_TRUE(page_.WaitFor("document.body.dataset.ready === 'group'", 30000)) << page_.Error().toStdString();
  EXPECT_EQ(Text("title"), "North");
  EXPECT_EQ(page_.Evaluate("[...document.querySelectorAll('#seals tbody tr')].map(r => r.cells[0].innerText).join()")
                .toString()
                .toStdString(),
            "ZARN S/N 1002,ZARN S/N 2001");
  using Said = std::pair<std::string, std::string>;
  EXPECT_EQ(Operate("challengeButton"), Said("done", "Protocol initialization ended. 2 of 2 seals done."));
  EXPECT_EQ(Operate("statusButton"), Said("done", "Get status ended. 2 of 2 seals done."));
  EXPECT_EQ(page_.Evaluate("[...document.querySelectorAll('#seals tbody tr')].map(r => r.dataset.result).join()")
                .toString()
                .toStdString(),
            "done,done");
  Screenshot("end_to_end_group_page");
  for (const uint32_t serial : {1002u, 2001u})
    EXPECT_EQ(Join(Steps(Requests(script_->World(), serial))), "G, Q S") << serial;

  // File > Exit asks whether to save the read-out; No lets it go, and the whole world ends with the reader.
  const std::set<pid_t> world = script_->Programs();
  ASSERT_TRUE(x_input::Keys({"alt+f", "x"}));
  ASSERT_TRUE(x_input::WindowTitled("Confirm", 10000)) << "File > Exit asked nothing";
  ASSERT_TRUE(x_input::Focused("Confirm", 10000)) << "the question does not have the keys";
  Screenshot("end_to_end_closing");
  ASSERT_TRUE(x_input::Keys({"alt+n"}));
  int exitCode = -1;
  ASSERT_TRUE(script_->Finished(exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(AllEnded(world));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Drawn on the X display the test is given, as the reader is.
  QGuiApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
