// The reader's dialogs driven by keys and clicks on Qt's offscreen platform.
#include <QApplication>
#include <QMainWindow>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

#include "about.h"
#include "add.h"
#include "group.h"
#include "ipaddr.h"
#include "message_box.h"
#include "shown_text.h"
#include "user.h"

namespace {

// Runs steps while the dialog's modal loop runs; a dialog that a failed step leaves open
// is closed after a while, so that a failing test ends.
void WhileShown(QDialog* dialog, std::function<void()> steps) {
  QTimer::singleShot(0, dialog, [dialog, steps] {
    steps();
    QTimer::singleShot(3000, dialog, [dialog] { dialog->done(-1); });
  });
}

void Type(QWidget* widget, const QString& text) { QTest::keyClicks(widget, text); }
void Key(QWidget* widget, Qt::Key key) { QTest::keyClick(widget, key); }

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    main_.setGeometry(100, 100, 640, 460);
    main_.show();
  }
  QMainWindow main_;
  platform::MessageBoxRecorder boxes_;
};

TEST(ParseIPAddress, NormalFormAndRefusals) {
  struct Case {
    const char* typed;
    const char* normal;  // null: refused
  };
  const Case cases[] = {{"192.168.001.010", "192.168.1.10"},
                        {"1.0.0.0", "1.0.0.0"},
                        {"223.255.255.255", "223.255.255.255"},
                        {"0.1.2.3", nullptr},
                        {"224.0.0.1", nullptr},
                        {"10.0.0.256", nullptr},
                        {"10.0.0", nullptr},
                        {"10.0.0.1.", nullptr},
                        {"10.0.0.1.5", nullptr},
                        {"1abc.0.0.1", nullptr},
                        {"10..0.1", nullptr},
                        {"10.0.0.", nullptr},
                        {"", nullptr}};
  for (const Case& c : cases) {
    std::string text = c.typed;
    EXPECT_EQ(ParseIPAddress(text), c.normal != nullptr) << c.typed;
    EXPECT_EQ(text, c.normal ? c.normal : c.typed) << c.typed;
  }
}

TEST_F(DialogTest, AddSealTakesDigitsOnlyAndRunsThemTogether) {
  TAddSealForm form(&main_);
  struct Case {
    std::function<void(QLineEdit*)> type;
    bool ok;
    uint32_t number;
  };
  const Case cases[] = {
      {[](QLineEdit* e) { Type(e, "12"); }, true, 12},
      {[](QLineEdit* e) { Type(e, "1"); Key(e, Qt::Key_Right); Type(e, "2"); }, true, 12},
      {[](QLineEdit* e) { Type(e, "a7b"); }, true, 7},
      {[](QLineEdit* e) { Type(e, "1234567"); }, true, 12345},
      {[](QLineEdit* e) { Type(e, "00000"); }, true, 0},
  };
  for (const Case& c : cases) {
    WhileShown(&form, [&] {
      c.type(form.SealNumberEdit);
      Key(form.SealNumberEdit, Qt::Key_Return);
    });
    EXPECT_EQ(form.Execute("COM1"), c.ok);
    EXPECT_EQ(form.SealNumber(), c.number);
  }
  EXPECT_EQ(form.windowTitle(), "Add Seal To COM1");

  // OK with nothing typed beeps and stays; Escape cancels.
  bool stayed = false;
  WhileShown(&form, [&] {
    QTest::mouseClick(form.OkayButton, Qt::LeftButton);
    stayed = form.isVisible() && form.focusWidget() == form.SealNumberEdit;
    form.grab().save(BUILD_DIR "/add_seal.png");
    Key(form.SealNumberEdit, Qt::Key_Escape);
  });
  EXPECT_FALSE(form.Execute("10.0.0.1"));
  EXPECT_TRUE(stayed);
  EXPECT_EQ(boxes_.Beeps().size(), 1u);
}

TEST_F(DialogTest, DialogsAreCentredOnTheMainWindow) {
  TGroupForm form(&main_);
  TTreeNode* none = nullptr;
  QTreeWidget tree;
  auto* all = new TTreeNode(&tree, "All Seals", GroupImage);
  QRect shownAt;
  WhileShown(&form, [&] {
    shownAt = form.frameGeometry();
    form.reject();
  });
  form.Execute(all, none);
  const QRect outer = main_.frameGeometry();
  EXPECT_EQ(shownAt.left(), outer.left() + (outer.width() - shownAt.width()) / 2);
  EXPECT_EQ(shownAt.top(), outer.top() + (outer.height() - shownAt.height()) / 2);
}

TEST_F(DialogTest, AddInterfaceNormalisesOrTellsWhatIsWrong) {
  TAddInterfaceForm form(&main_);
  std::vector<bool> visibleAfter;
  WhileShown(&form, [&] {
    QTest::mouseClick(form.OKButton, Qt::LeftButton);
    visibleAfter.push_back(form.isVisible());
    Type(form.AddressEdit, "10.0.0");
    Key(form.AddressEdit, Qt::Key_Return);
    visibleAfter.push_back(form.isVisible());
    form.AddressEdit->clear();
    Type(form.AddressEdit, "192.168.001.010");
    form.grab().save(BUILD_DIR "/add_interface.png");
    Key(form.AddressEdit, Qt::Key_Return);
  });
  EXPECT_TRUE(form.Execute());
  EXPECT_EQ(form.AddressEdit->text(), "192.168.1.10");
  EXPECT_EQ(visibleAfter, (std::vector<bool>{true, true}));
  auto shown = boxes_.Boxes();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].text, "Please enter the IP address of the ZARN Network Interface.");
  EXPECT_EQ(shown[0].flags & platform::MB_ICONMASK, platform::MB_ICONINFORMATION);
  EXPECT_EQ(shown[1].text, "10.0.0 is not a valid IP address.");
  EXPECT_EQ(shown[1].flags & platform::MB_ICONMASK, platform::MB_ICONERROR);

  WhileShown(&form, [&] { Key(form.AddressEdit, Qt::Key_Escape); });
  EXPECT_FALSE(form.Execute());
}

class GroupFormTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    all_ = new TTreeNode(&groups_, "All Seals", GroupImage);
    for (int n : {17, 5, 9}) {
      auto* seal = new TTreeNode(&setup_, QString("ZARN S/N %1").arg(n), SealImage);
      seal->address = n;
      auto* entry = new TTreeNode(all_, seal->text(0), SealImage);
      entry->SetStateIndex(n == 5 ? LoggedOnStateImage : IdleStateImage);
      entry->sealNode = seal;
    }
    north_ = new TTreeNode(&groups_, "North", GroupImage);
    auto* entry = new TTreeNode(north_, "ZARN S/N 9", SealImage);
    entry->sealNode = all_->Child(2)->sealNode;
  }
  QStringList Texts(const QTreeWidgetItem* node) {
    QStringList t;
    for (int i = 0; i < node->childCount(); ++i) t << node->child(i)->text(0);
    return t;
  }
  QStringList Items(QTreeWidget* list) { return Texts(list->invisibleRootItem()); }
  // Name typed, then OK: whether the dialog closed.
  bool Named(TGroupForm& form, TTreeNode*& group, const QString& name) {
    WhileShown(&form, [&] {
      form.NameEdit->selectAll();
      Type(form.NameEdit, name);
      QTest::mouseClick(form.OkayButton, Qt::LeftButton);
      if (form.isVisible()) form.reject();
    });
    return form.Execute(all_, group);
  }

  QTreeWidget setup_, groups_;
  TTreeNode* all_ = nullptr;
  TTreeNode* north_ = nullptr;
};

TEST_F(GroupFormTest, CreatingPicksSealsAndRefusesADuplicateName) {
  TGroupForm form(&main_);
  TTreeNode* group = nullptr;
  std::vector<bool> enabled;
  QStringList selected;
  WhileShown(&form, [&] {
    enabled = {form.AddButton->isEnabled(), form.RemoveButton->isEnabled()};
    form.ListViewNotSelected->topLevelItem(0)->setSelected(true);  // ZARN S/N 17
    form.ListViewNotSelected->topLevelItem(1)->setSelected(true);  // ZARN S/N 5
    enabled.push_back(form.AddButton->isEnabled());
    QTest::mouseClick(form.AddButton, Qt::LeftButton);
    enabled.push_back(form.AddButton->isEnabled());
    selected = Items(form.ListViewSelected);
    Type(form.NameEdit, "north");
    QTest::mouseClick(form.OkayButton, Qt::LeftButton);  // refused: North exists
    form.NameEdit->clear();
    Type(form.NameEdit, "  ZARN S/N 17\t");
    form.grab().save(BUILD_DIR "/group.png");
    QTest::mouseClick(form.OkayButton, Qt::LeftButton);
  });
  ASSERT_TRUE(form.Execute(all_, group));
  EXPECT_EQ(form.windowTitle(), "Create Group");
  EXPECT_EQ(enabled, (std::vector<bool>{false, false, true, false}));
  EXPECT_EQ(selected, (QStringList{"ZARN S/N 17", "ZARN S/N 5"}));
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(groups_.indexOfTopLevelItem(group), 2);
  EXPECT_EQ(group->text(0), "ZARN S/N 17");
  EXPECT_EQ(group->ImageIndex(), GroupImage);
  EXPECT_EQ(Texts(group), (QStringList{"ZARN S/N 17", "ZARN S/N 5"}));
  EXPECT_EQ(group->Child(1)->StateIndex(), LoggedOnStateImage);
  EXPECT_EQ(group->Child(1)->sealNode->address, 5u);
  ASSERT_EQ(boxes_.Boxes().size(), 1u);
  EXPECT_EQ(boxes_.Boxes()[0].text, "A group with this name already exists. Please specify another name.");
}

// Both lists hold the longest caption a seal can have whole, in the font in use; what
// their width does not show they scroll to.
TEST_F(GroupFormTest, TheListsShowTheLongestSealNumberWhole) {
  const QString longest = "ZARN S/N 4294967295";
  auto* seal = new TTreeNode(&setup_, longest, SealImage);
  seal->address = 4294967295u;
  auto* entry = new TTreeNode(all_, longest, SealImage);
  entry->SetStateIndex(IdleStateImage);
  entry->sealNode = seal;
  TGroupForm form(&main_);
  TTreeNode* group = nullptr;
  WhileShown(&form, [&] {
    for (const char* caption : {"ZARN S/N 4294967295", "ZARN S/N 5"})
      form.ListViewNotSelected->findItems(caption, Qt::MatchExactly).first()->setSelected(true);
    QTest::mouseClick(form.AddButton, Qt::LeftButton);
    for (QTreeWidget* list : {form.ListViewNotSelected, form.ListViewSelected}) {
      // The text, and the pictures, each with a margin on either side.
      const int margin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
      EXPECT_GE(list->columnWidth(0),
                list->fontMetrics().horizontalAdvance(longest) + list->iconSize().width() + 4 * margin)
          << list->objectName().toStdString();
      for (int i = 0; i < list->topLevelItemCount(); ++i)
        EXPECT_TRUE(ShowsWholeText(list, list->topLevelItem(i))) << list->topLevelItem(i)->text(0).toStdString();
    }
    form.grab().save(BUILD_DIR "/create_group.png");
    for (QTreeWidget* list : {form.ListViewNotSelected, form.ListViewSelected})
      list->horizontalScrollBar()->setValue(list->horizontalScrollBar()->maximum());
    form.grab().save(BUILD_DIR "/create_group_scrolled.png");
    form.reject();
  });
  EXPECT_FALSE(form.Execute(all_, group));
}

TEST_F(GroupFormTest, PropertiesRenameAndEmptyAGroup) {
  TGroupForm form(&main_);
  TTreeNode* group = north_;
  QStringList selected;
  // The same name in other letter case finds the group itself and is refused.
  EXPECT_FALSE(Named(form, group, "north"));
  EXPECT_EQ(north_->text(0), "North");
  EXPECT_FALSE(Named(form, group, " \t "));
  ASSERT_EQ(boxes_.Boxes().size(), 2u);
  EXPECT_EQ(boxes_.Boxes()[1].text, "Please specify a group name.");

  WhileShown(&form, [&] {
    selected = Items(form.ListViewSelected);
    form.ListViewSelected->selectAll();
    QTest::mouseClick(form.RemoveButton, Qt::LeftButton);
    QTest::mouseClick(form.OkayButton, Qt::LeftButton);
  });
  ASSERT_TRUE(form.Execute(all_, group));
  EXPECT_EQ(form.windowTitle(), "Group Properties");
  EXPECT_EQ(selected, QStringList{"ZARN S/N 9"});
  EXPECT_EQ(group, north_);
  EXPECT_EQ(north_->childCount(), 0);
  EXPECT_TRUE(Named(form, group, "South"));
  EXPECT_EQ(north_->text(0), "South");

  WhileShown(&form, [&] { Key(form.NameEdit, Qt::Key_Escape); });
  EXPECT_FALSE(form.Execute(all_, group));
}

TEST_F(DialogTest, OperatorDialogNeedsOneOperatorAndEscapePressesOk) {
  TUserForm form(&main_);
  ReaderOptions options{"", "", true, false};
  bool stayed = false;
  WhileShown(&form, [&] {
    Key(form.InitialsEdit1, Qt::Key_Escape);  // both empty: the message, and it stays
    stayed = form.isVisible() && form.focusWidget() == form.InitialsEdit1;
    Type(form.InitialsEdit2, "abcd");
    for (QCheckBox* box : {form.ExpertModeBox, form.ShowAtStartupBox})
      QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    form.grab().save(BUILD_DIR "/operators.png");
    Key(form.InitialsEdit2, Qt::Key_Escape);
  });
  form.Execute(options);
  EXPECT_TRUE(stayed);
  ASSERT_EQ(boxes_.Boxes().size(), 1u);
  EXPECT_EQ(boxes_.Boxes()[0].text, "Please enter your operator ID");
  EXPECT_EQ(options.operator1, "");
  EXPECT_EQ(options.operator2, "ABC");
  EXPECT_TRUE(options.expertMode);
  EXPECT_FALSE(options.showDialog);

  options.operator1 = "JS";
  QString shown;
  WhileShown(&form, [&] {
    shown = form.InitialsEdit1->text();
    QTest::mouseClick(form.OkayButton, Qt::LeftButton);
  });
  form.Execute(options);
  EXPECT_EQ(shown, "JS");
  EXPECT_EQ(options.operator1, "JS");
}

TEST_F(DialogTest, AboutBoxClosesWithOkOrEscape) {
  TAboutForm form(&main_);
  WhileShown(&form, [&] {
    form.grab().save(BUILD_DIR "/about.png");
    Key(form.Button1, Qt::Key_Escape);
  });
  form.exec();
  EXPECT_FALSE(form.isVisible());
  WhileShown(&form, [&] { Key(form.Button1, Qt::Key_Return); });
  EXPECT_EQ(form.exec(), QDialog::Accepted);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
