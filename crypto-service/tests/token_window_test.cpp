// The token window on Qt's offscreen platform: the icons of announced tokens.
#include <QApplication>
#include <gtest/gtest.h>

#include "message_box.h"
#include "token_sim.h"
#include "token_window.h"

namespace {

struct TokenWindowTest : ::testing::Test {
  sim::TokenRack rack;
  platform::MessageBoxRecorder recorder;
  CTokenWindow window;
  HWND handle = window.Create();

  std::unique_ptr<CToken> Token(unsigned port, uint32_t serial) {
    rack.Plug(port, serial);
    auto token = std::make_unique<CToken>(port);
    EXPECT_TRUE(token->Ping());
    return token;
  }
};

}  // namespace

TEST_F(TokenWindowTest, OneIconPerAnnouncedTokenWithItsSerialNumber) {
  auto first = Token(21, 1001), second = Token(22, 1002);
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_ARRIVED, 0, LPARAM(first.get())), 0);
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_ARRIVED, 0, LPARAM(second.get())), 0);
  ASSERT_EQ(window.Icons().size(), 2u);
  EXPECT_EQ(window.Icons().at(first.get())->toolTip(), "ZARN Token S/N 1001");
  EXPECT_EQ(window.Icons().at(second.get())->toolTip(), "ZARN Token S/N 1002");
  EXPECT_EQ(recorder.Beeps().size(), 2u);
  EXPECT_FALSE(CTokenWindow::TokenIcon().pixmap(16, 16).isNull());

  std::vector<CToken*> shown;
  window.SetShowHandler([&](CToken* t) { shown.push_back(t); });
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(second.get()), WM_RBUTTONUP);
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(second.get()), WM_LBUTTONDBLCLK);
  EXPECT_TRUE(shown.empty());  // only the left button's release counts
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(second.get()), WM_LBUTTONUP);
  EXPECT_EQ(shown, std::vector<CToken*>{second.get()});

  SendMessage(handle, WM_TOKEN_REMOVED, 0, LPARAM(second.get()));
  EXPECT_EQ(window.Icons().size(), 1u);
  EXPECT_EQ(recorder.Beeps().size(), 3u);
  // A click the shell queued before the removal finds no token.
  SendMessage(handle, WM_TOKEN_NOTIFY, WPARAM(second.get()), WM_LBUTTONUP);
  EXPECT_EQ(shown.size(), 1u);
}

TEST_F(TokenWindowTest, APasswordRequestNobodyAnswersIsCancelled) {
  auto token = Token(23, 5);
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_PASSWORD, 0, LPARAM(token.get())), platform::IDCANCEL);
  window.SetPasswordHandler([](CToken*) -> LRESULT { return platform::IDOK; });
  EXPECT_EQ(SendMessage(handle, WM_TOKEN_PASSWORD, 0, LPARAM(token.get())), platform::IDOK);
  EXPECT_TRUE(window.Icons().empty());
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
