// The token window on Qt's offscreen platform: the icons of announced tokens.
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "message_box.h"
#include "token_sim.h"
#include "token_dialog.h"
#include "token_window.h"

namespace {

struct TokenWindowTest : ::testing::Test {
  sim::TokenRack rack;
  platform::MessageBoxRecorder recorder;
  KeyDatabaseSource database;  // none: the dialogs only show
  std::vector<std::unique_ptr<CToken>> tokens;  // outlive the window, as the scan's do
  CTokenWindow window{database};
  HWND handle = window.Create();

  CToken* Token(unsigned port, uint32_t serial) {
    rack.Plug(port, serial);
    tokens.push_back(std::make_unique<CToken>(port));
    EXPECT_TRUE(tokens.back()->Ping());
    return tokens.back().get();
  }
};

}  // namespace

TEST_F(TokenWindowTest, OneIconPerAnnouncedTokenWithItsSerialNumber) {
  auto first = Token(21, 1001), second = Token(22, 1002);
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_ARRIVED, 0, LPARAM(first)), 0);
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_ARRIVED, 0, LPARAM(second)), 0);
  ASSERT_EQ(window.Icons().size(), 2u);
  EXPECT_EQ(window.Icons().at(first)->toolTip(), "ZARN Token S/N 1001");
  EXPECT_EQ(window.Icons().at(second)->toolTip(), "ZARN Token S/N 1002");
  EXPECT_EQ(recorder.Beeps().size(), 2u);
  EXPECT_FALSE(CTokenWindow::TokenIcon().pixmap(16, 16).isNull());

  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(second), WM_RBUTTONUP);
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(second), WM_LBUTTONDBLCLK);
  EXPECT_FALSE(second->Dialog()->isVisible());  // only the left button's release counts
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(second), WM_LBUTTONUP);
  EXPECT_TRUE(second->Dialog()->isVisible());
  EXPECT_FALSE(first->Dialog()->isVisible());

  SendMessage(handle, WM_TOKEN_REMOVED, 0, LPARAM(second));
  EXPECT_EQ(window.Icons().size(), 1u);
  EXPECT_EQ(second->Dialog(), nullptr);
  EXPECT_EQ(recorder.Beeps().size(), 3u);
  // A click the shell queued before the removal finds no token.
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(second), WM_LBUTTONUP);
}

TEST_F(TokenWindowTest, APasswordRequestTheOperatorCancelsIsCancelled) {
  auto token = Token(23, 5);
  QTimer::singleShot(50, [] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); });
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_PASSWORD, 0, LPARAM(token)), platform::IDCANCEL);
  EXPECT_TRUE(window.Icons().empty());
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
