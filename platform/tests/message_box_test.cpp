#include "message_box.h"

#include <gtest/gtest.h>

#include <thread>

using namespace platform;

TEST(MessageBox, DefaultAnswerIsTheDefaultButton) {
  struct Case {
    unsigned flags;
    int answer;
  } cases[] = {
      {MB_OK | MB_ICONERROR, IDOK},
      {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
      {MB_YESNO, IDYES},
      {MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION, IDNO},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, IDRETRY},
      {MB_RETRYCANCEL, IDRETRY},
      {MB_YESNO | MB_DEFBUTTON4, IDYES},  // no fourth button: the first
  };
  for (const auto& c : cases) EXPECT_EQ(DefaultAnswer(c.flags), c.answer) << std::hex << c.flags;
}

TEST(MessageBox, WithoutHandlerOrPresenterItPrintsAndAnswersTheDefault) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBox("Save changes?", "ZARN", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ZARN] Save changes?\n");
  EXPECT_TRUE(MessageBeep(MB_ICONERROR));
}

TEST(MessageBox, RecorderTakesPrecedenceOverThePresenterAndRestoresOnExit) {
  std::vector<std::string> presented;
  SetMessageBoxPresenter([&](const MessageBoxRequest& r) {
    presented.push_back(r.text);
    return IDCANCEL;
  });
  {
    MessageBoxRecorder recorder;
    recorder.Answer(IDNO);
    EXPECT_EQ(MessageBox("first", "C", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(MessageBox("second", "C", MB_YESNO), IDYES);  // queue empty: default button
    std::thread([] { MessageBeep(MB_ICONEXCLAMATION); }).join();
    const auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "first");
    EXPECT_EQ(boxes[0].caption, "C");
    EXPECT_EQ(boxes[0].flags, MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(recorder.Beeps(), std::vector<unsigned>{MB_ICONEXCLAMATION});
    {
      MessageBoxRecorder inner;
      MessageBox("nested", "C", MB_OK);
      EXPECT_EQ(inner.Boxes().size(), 1u);
    }
    MessageBox("third", "C", MB_OK);
    EXPECT_EQ(recorder.Boxes().size(), 3u);
  }
  EXPECT_TRUE(presented.empty());
  EXPECT_EQ(MessageBox("shown", "C", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(presented, std::vector<std::string>{"shown"});
  SetMessageBoxPresenter({});
}
