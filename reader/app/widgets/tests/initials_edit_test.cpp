// Typing into the initials box on Qt's offscreen platform.
#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "initials_edit.h"

namespace {

struct InitialsEdit : ::testing::Test {
  InitialsEdit() { edit.setMaxLength(3); }
  TUserIdEdit edit;
};

}  // namespace

TEST(InitialsEditBox, TakesTwoCharactersWhenMadeInCode) {
  TUserIdEdit edit;
  EXPECT_EQ(edit.maxLength(), 2);
  QTest::keyClicks(&edit, "jsk");
  EXPECT_EQ(edit.text(), "JS");
  EXPECT_STREQ(edit.metaObject()->className(), "TUserIdEdit");
}

TEST_F(InitialsEdit, LettersBecomeCapitalsAndNothingElseGetsIn) {
  QTest::keyClicks(&edit, "j1 .");
  QTest::sendKeyEvent(QTest::Click, &edit, Qt::Key_Eacute, QString::fromUtf8("\xC3\xA9"), Qt::NoModifier);
  QTest::keyClicks(&edit, "-s");
  EXPECT_EQ(edit.text(), "JS");
  QTest::keyClick(&edit, Qt::Key_Backspace);
  EXPECT_EQ(edit.text(), "J");
  QTest::keyClicks(&edit, "Ab");
  EXPECT_EQ(edit.text(), "JAB");
  QTest::keyClick(&edit, 'C');  // a fourth letter does not fit
  EXPECT_EQ(edit.text(), "JAB");
  // Keys that are no character still edit: the cursor moves, Delete deletes.
  QTest::keyClick(&edit, Qt::Key_Home);
  QTest::keyClick(&edit, Qt::Key_Delete);
  QTest::keyClicks(&edit, "x");
  EXPECT_EQ(edit.text(), "XAB");
}

// The clipboard and undo keys are control characters: swallowed, where a plain box acts on them.
TEST_F(InitialsEdit, SwallowsTheClipboardAndUndoKeys) {
  QGuiApplication::clipboard()->setText("XY");
  QLineEdit plain;
  QTest::keyClick(&plain, Qt::Key_V, Qt::ControlModifier);
  ASSERT_EQ(plain.text(), "XY") << "the platform's paste key must reach a plain box";

  QTest::keyClicks(&edit, "ab");
  QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(edit.text(), "AB");
  QTest::keyClick(&edit, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(edit.text(), "AB");
  edit.selectAll();
  QTest::keyClick(&edit, Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(edit.text(), "AB");
  QGuiApplication::clipboard()->setText("unchanged");
  QTest::keyClick(&edit, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "unchanged");
  QTest::keyClick(&edit, Qt::Key_Backspace, Qt::ControlModifier);
  EXPECT_EQ(edit.text(), "AB");
  // Ctrl+H is the backspace character, the one control character that gets through.
  edit.setCursorPosition(2);
  QTest::keyClick(&edit, Qt::Key_H, Qt::ControlModifier);
  EXPECT_EQ(edit.text(), "A");
}

TEST_F(InitialsEdit, OnlyTypedTextIsFiltered) {
  edit.setText("a1");
  EXPECT_EQ(edit.text(), "a1");
  edit.clear();
  QInputMethodEvent committed;
  committed.setCommitString("k2m");
  QApplication::sendEvent(&edit, &committed);
  EXPECT_EQ(edit.text(), "KM");
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
