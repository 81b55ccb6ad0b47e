// The main window driven as an operator drives it: menus, dialogs, seal operations
// through RunAction against a simulated seal, closing with its questions.
#include "main_form.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QDir>
#include <QFileInfo>
#include <QPrintPreviewWidget>
#include <QPrinterInfo>
#include <QToolButton>
#include <QTest>
#include <QWebEngineHistory>
#include <QRegularExpression>
#include <QTimer>
#include <QWebEngineView>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "actions.h"
#include "add.h"
#include "file_dialog.h"
#include "group.h"
#include <QMenuBar>
#include "message_box.h"
#include "registry.h"
#include "registry_store.h"
#include "seal_link_sim.h"
#include "seal_test_env.h"
#include "user.h"
#include "window_test_main.h"
#include "window_wait.h"

namespace fs = std::filesystem;

// Texts in failure messages as text.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

constexpr uint32_t Serial = 777;
constexpr uint32_t PortTimeout = 500;

size_t Count(TZarnDocument& document, const char* xpath) {
  return document.WithDom([&](const pugi::xml_document& d) { return d.select_nodes(xpath).size(); });
}

// Runs steps once the modal dialog is up; gives up after a while so a failing test ends.
void WhenModal(QWidget* dialog, std::function<void()> steps) {
  auto* timer = new QTimer;
  auto started = std::chrono::steady_clock::now();
  QObject::connect(timer, &QTimer::timeout, [=] {
    if (QApplication::activeModalWidget() == dialog) {
      timer->deleteLater();
      timer->stop();
      steps();
    } else if (std::chrono::steady_clock::now() - started > std::chrono::seconds(5)) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(5);
}

// Lets the window work until the condition holds or the time is up.
bool WaitFor(const std::function<bool()>& condition, int ms = 5000) { return QTest::qWaitFor(condition, ms); }

TTreeNode* ChildNamed(TTreeNode* node, const QString& text) {
  for (int i = 0; i < node->childCount(); ++i)
    if (node->child(i)->text(0) == text) return node->Child(i);
  return nullptr;
}

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zarn-main-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // The world's registry holds the crypto service's class; the reader's settings start empty.
    platform::Registry registry;
    registry.DeleteKey(std::string("\\") + SettingsKeyPath);
    seal_.Attach(link_);
    map_ = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{{7, link_.ServePty()}});
    seal_test::TestWorld::Get().ServeKeyDatabase(true);
    seal_test::FreshDatabase();
    seal_test::StoreInDatabase(seal_.Keyset());
  }
  void TearDown() override {
    form_.reset();
    fs::remove_all(dir_);
  }
  void NoOperatorDialog() {
    platform::Registry registry;
    ASSERT_TRUE(registry.OpenKey(std::string("\\") + SettingsKeyPath, true));
    ASSERT_TRUE(registry.WriteBool("ShowDialog", false));
  }
  void Start(const QString& html = {}) {
    form_ = std::make_unique<TMainForm>(QString(), html);
    form_->Trees().SetPortTimeout(PortTimeout);
    form_->show();
    QApplication::processEvents();
  }
  TTreeNode* Com7() { return ChildNamed(form_->Trees().RootNode(), "COM7"); }
  // A folder of pages whose titles name them; the seal page only when asked for.
  QString TestPages(bool withSealPage = true) {
    const QString html = QString::fromStdString(dir_ + "/html");
    QDir().mkpath(html);
    for (const char* name : {"Start", "Seal", "Group", "Database"}) {
      if (!withSealPage && std::string(name) == "Seal") continue;
      QFile page(html + "/ZarnReader" + name + ".htm");
      EXPECT_TRUE(page.open(QIODevice::WriteOnly));
      page.write(QString("<html><head><title>%1</title></head><body><h1>%1</h1>"
                         "<p style='height:3000px'>A page of the reader.</p></body></html>")
                     .arg(name)
                     .toUtf8());
    }
    return html;
  }
  // The titles of the pages in the browser's history, the current one last.
  QStringList PagesVisited() {
    QStringList titles;
    QWebEngineHistory* history = form_->Browser->history();
    for (int i = 0; i <= history->currentItemIndex(); ++i) titles << history->itemAt(i).title();
    return titles;
  }
  bool Shows(const QString& title) {
    return WaitFor([&] { return form_->Browser->title() == title && !loading_; }, 15000);
  }
  void WatchLoading() {
    QObject::connect(form_->Browser, &QWebEngineView::loadStarted, [this] { loading_ = true; });
    QObject::connect(form_->Browser, &QWebEngineView::loadFinished, [this] { loading_ = false; });
  }
  void Click(QTreeWidget* tree, QTreeWidgetItem* item) {
    tree->scrollToItem(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
  }
  void Click(QListWidget* list, QListWidgetItem* item) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
  }
  IDispatch* SessionSeal() {
    IDispatch* seal = nullptr;
    form_->Session().get_Seal(&seal);
    if (seal) seal->Release();  // the tree keeps it
    return seal;
  }
  // Adds a seal through Setup > Add Seal... with COM7 selected.
  TTreeNode* AddSealThroughTheMenu(uint32_t number) {
    form_->SetupTreeView->setCurrentItem(Com7());
    WhenModal(form_->AddSealForm, [&, number] {
      QTest::keyClicks(form_->AddSealForm->SealNumberEdit, QString::number(number));
      QTest::keyClick(form_->AddSealForm->SealNumberEdit, Qt::Key_Return);
    });
    form_->AddSealMenuItem->trigger();
    return form_->Trees().FindSealNode(number);
  }
  TActionParams ParamsOf(TTreeNode* seal) {
    TActionParams p;
    p.Seal = seal->seal->NativeSeal();
    p.Port = seal->ParentNode()->port;
    return p;
  }
  // The entries of the Database tab's list.
  QStringList Listed() {
    QStringList texts;
    for (int i = 0; i < form_->DatabaseListView->count(); ++i) texts << form_->DatabaseListView->item(i)->text();
    return texts;
  }
  // Until the Database tab lists just this seal: the window hears of it by a posted message.
  ::testing::AssertionResult ListsOnly(uint32_t serial) {
    return window_wait::Reads([&] { return Listed(); }, QStringList{QString("ZARN S/N %1").arg(serial)});
  }
  // The seal's status read into the document, which is then saved as the file. The list
  // shows the seal first, so that nothing of this document reaches the window later.
  void SaveStatusOf(TActionParams& p, const QString& file) {
    ASSERT_TRUE(RunAction(ChallengeThread, p));
    ASSERT_TRUE(RunAction(StatusThread, p));
    ASSERT_TRUE(ListsOnly(SealSerialNumber(*p.Seal)));
    ASSERT_TRUE(form_->SaveDatabaseAs(file));
  }

  std::string dir_;
  sim::SealLinkSimulator link_;
  sim::SimulatedSeal seal_{Serial, 3};
  std::unique_ptr<sim::ScopedPortMap> map_;
  std::unique_ptr<TMainForm> form_;
  bool loading_ = false;
};

// Counts the Enter keys that reach a widget, that is, that a view let through.
class EnterSpy : public QObject {
 public:
  explicit EnterSpy(QWidget* widget) { widget->installEventFilter(this); }
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Return) ++count;
    return false;
  }
};

TEST_F(MainFormTest, FirstStartShowsTheDefaultsAndAsksForTheOperators) {
  form_ = std::make_unique<TMainForm>();
  bool asked = false;
  WhenModal(form_->UserForm, [&] {
    asked = true;
    QTest::keyClicks(form_->UserForm->InitialsEdit1, "js");
    QTest::mouseClick(form_->UserForm->OkayButton, Qt::LeftButton);
  });
  form_->show();
  ASSERT_TRUE(WaitFor([&] { return asked && !form_->UserForm->isVisible(); }));
  EXPECT_EQ(form_->frameGeometry(), QRect(0, 0, 640, 460));
  EXPECT_EQ(form_->windowTitle(), "ZARN");
  EXPECT_EQ(form_->Trees().RootNode()->text(0), "This Computer");
  ASSERT_NE(Com7(), nullptr);
  EXPECT_EQ(form_->GroupTreeView->topLevelItemCount(), 1);
  EXPECT_EQ(form_->GroupTreeView->topLevelItem(0)->text(0), "All Seals");
  EXPECT_EQ(form_->Options().operator1, "JS");
  EXPECT_EQ(form_->FileNamePanel->text(), " Untitled");
  EXPECT_TRUE(form_->ProgressBar->isHidden());
  // The session, with a reference added for the receiver.
  auto* session = reinterpret_cast<IZarnReaderSession*>(SendMessage(form_->Handle(), WM_GETSESSION, 0, 0));
  ASSERT_EQ(session, static_cast<IZarnReaderSession*>(&form_->Session()));
  EXPECT_EQ(session->Release(), 1u);  // the window keeps its own
}

TEST_F(MainFormTest, MenusFollowTheTabAndTheSelection) {
  NoOperatorDialog();
  Start();
  const QStringList menus{"&File", "&View", "&Setup", "&Group", "&Options"};
  QStringList shown;
  for (QAction* a : form_->menuBar()->actions()) shown << a->text();
  EXPECT_EQ(shown, menus);
  EXPECT_EQ(form_->RemoveToolbarbutton->objectName(), "RemoveToolbarbutton");
  EXPECT_EQ(form_->ForewardToolbarButton->toolTip(), "Navigate foreward");

  TTreeNode* seal = AddSealThroughTheMenu(12);
  ASSERT_NE(seal, nullptr);
  struct Case {
    QTreeWidgetItem* node;
    bool addSeal, find, removeSeals, removeInterface;
  };
  for (const Case& c : {Case{form_->Trees().RootNode(), false, true, true, false}, Case{Com7(), true, true, true, false},
                        Case{seal, false, false, true, false}}) {
    form_->SetupTreeView->setCurrentItem(c.node);
    EXPECT_EQ(form_->AddSealMenuItem->isEnabled(), c.addSeal) << c.node->text(0).toStdString();
    EXPECT_EQ(form_->FindToolbarButton->isEnabled(), c.find);
    EXPECT_EQ(form_->RemoveToolbarbutton->isEnabled(), c.removeSeals);
    EXPECT_EQ(form_->RemoveInterfaceMenuItem->isEnabled(), c.removeInterface);
  }
  form_->ViewGroupMenuItem->trigger();
  EXPECT_FALSE(form_->SetupMenu->isEnabled());
  EXPECT_FALSE(form_->FindToolbarButton->isEnabled());
  EXPECT_FALSE(form_->RemoveToolbarbutton->isEnabled());
  EXPECT_TRUE(form_->GroupMenu->isEnabled());
  EXPECT_FALSE(form_->RemoveGroupMenuItem->isEnabled());  // "All Seals"
  form_->ViewSetupMenuItem->trigger();
  EXPECT_TRUE(form_->RemoveToolbarbutton->isEnabled());  // the seal is still selected
  EXPECT_FALSE(form_->GroupMenu->isEnabled());
}

TEST_F(MainFormTest, OperationsThroughTheWindowFileTheirResultsAndCloseAsksThePartsQuestions) {
  NoOperatorDialog();
  Start();
  TTreeNode* node = AddSealThroughTheMenu(Serial);
  ASSERT_NE(node, nullptr);
  TActionParams p = ParamsOf(node);
  ASSERT_TRUE(RunAction(ChallengeThread, p));
  p.Operator1ID = 289;
  ASSERT_TRUE(RunAction(LogonThread, p)) << p.Result;
  // The seal's node and its entry under All Seals.
  EXPECT_TRUE(window_wait::Reads(
      [&] { return std::vector<int>{node->StateIndex(), form_->Trees().AllSealsNode()->Child(0)->StateIndex()}; },
      std::vector<int>{LoggedOnStateImage, LoggedOnStateImage}));
  ASSERT_TRUE(RunAction(StatusThread, p));
  std::string pad = "gate 3";
  p.PadText = &pad;
  ASSERT_TRUE(RunAction(WritePadThread, p));
  std::string read;
  p.PadText = &read;
  ASSERT_TRUE(RunAction(ReadPadThread, p));
  EXPECT_EQ(read, pad);
  ASSERT_TRUE(RunAction(SynchronizeThread, p));
  for (uint32_t t = 1; t <= 12 * 6; ++t) seal_.AddSealEvent(1000 + t);
  p.SealEventsToRead = 72;
  int largest = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (form_->ProgressBar->isVisible()) largest = std::max(largest, form_->ProgressBar->value());
  });
  watch.start(1);
  seal_.InjectFault('P', sim::SealFaultSpec(sim::SealFault::Delay, 20, 0));
  ASSERT_TRUE(RunAction(ReadoutThread, p));
  watch.stop();
  seal_.ClearFaults();
  EXPECT_GT(largest, 4);
  EXPECT_TRUE(form_->ProgressBar->isHidden());
  EXPECT_EQ(Count(form_->Document(), "/zarn/seal/key/page"), 7u);  // six seal-event pages and one system-event page
  EXPECT_EQ(Count(form_->Document(), "/zarn/seal/key/status"), 1u);
  EXPECT_EQ(Count(form_->Document(), "/zarn/seal/key/pad"), 1u);
  EXPECT_TRUE(WaitFor([&] { return form_->ModifiedPanel->text() == "Modified"; }));

  // Closing: the log-off question, Cancel keeps the window; No goes on to the save
  // question, whose Cancel keeps it too; then No and No close it.
  platform::MessageBoxRecorder boxes;
  boxes.Answer(platform::IDCANCEL);
  EXPECT_FALSE(form_->close());
  EXPECT_TRUE(form_->FileMenu->isEnabled());
  EXPECT_TRUE(form_->ToolBar->isEnabled());
  boxes.Answer(platform::IDNO);
  boxes.Answer(platform::IDCANCEL);
  EXPECT_FALSE(form_->close());
  boxes.Answer(platform::IDNO);
  boxes.Answer(platform::IDNO);
  EXPECT_TRUE(form_->close());
  auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 5u);
  EXPECT_EQ(shown[0].text, "You are logged on to a seal. Do you want to log off now?");
  EXPECT_EQ(shown[0].flags & platform::MB_TYPEMASK, platform::MB_YESNOCANCEL);
  EXPECT_EQ(shown[2].text, "The contents of the database has changed.\rDo you want to save the changes?");
  EXPECT_FALSE(form_->FileMenu->isEnabled());
}

TEST_F(MainFormTest, YesLogsOffEverySealBeforeClosing) {
  NoOperatorDialog();
  Start();
  TTreeNode* node = AddSealThroughTheMenu(Serial);
  TActionParams p = ParamsOf(node);
  ASSERT_TRUE(RunAction(ChallengeThread, p));
  ASSERT_TRUE(RunAction(LogonThread, p));
  platform::MessageBoxRecorder boxes;
  boxes.Answer(platform::IDYES);
  EXPECT_TRUE(form_->close());
  EXPECT_FALSE(seal_.LoggedOn());
  EXPECT_EQ(boxes.Boxes().size(), 1u);
}

TEST_F(MainFormTest, AFailedLogOffOffersARetryAndNoCloses) {
  sim::SimulatedSeal second(778, 3);
  second.Attach(link_);
  seal_test::StoreInDatabase(second.Keyset());
  NoOperatorDialog();
  Start();
  for (uint32_t serial : {Serial, 778u}) {
    TActionParams p = ParamsOf(AddSealThroughTheMenu(serial));
    ASSERT_TRUE(RunAction(ChallengeThread, p));
    ASSERT_TRUE(RunAction(LogonThread, p));
  }
  second.InjectFault('O', sim::SealFaultSpec(sim::SealFault::Refuse, 1, 0));
  platform::MessageBoxRecorder boxes;
  boxes.Answer(platform::IDYES);     // log off now
  boxes.Answer(platform::IDYES);     // retry: fails again
  boxes.Answer(platform::IDCANCEL);  // keeps the window
  EXPECT_FALSE(form_->close());
  EXPECT_TRUE(form_->FileMenu->isEnabled());
  EXPECT_TRUE(form_->ToolBar->isEnabled());
  EXPECT_FALSE(seal_.LoggedOn());
  EXPECT_TRUE(second.LoggedOn());
  boxes.Answer(platform::IDYES);
  boxes.Answer(platform::IDNO);  // closes without the log-off
  EXPECT_TRUE(form_->close());
  std::vector<std::string> texts;
  for (const auto& box : boxes.Boxes()) texts.push_back(box.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"You are logged on to seals. Do you want to log off now?",
                                             "Log off failed. Retry?", "Log off failed. Retry?",
                                             "You are logged on to a seal. Do you want to log off now?",
                                             "Log off failed. Retry?"}));
}

TEST_F(MainFormTest, ACloseDuringAnOperationWaitsForItsEnd) {
  NoOperatorDialog();
  Start();
  TTreeNode* node = AddSealThroughTheMenu(Serial);
  TActionParams p = ParamsOf(node);
  ASSERT_TRUE(RunAction(ChallengeThread, p));
  seal_.InjectFault('I', sim::SealFaultSpec(sim::SealFault::Delay, 300));
  platform::MessageBoxRecorder boxes;  // the refused open says why
  bool visibleAfterClose = false, openRefused = false;
  QTimer::singleShot(50, form_.get(), [&] {
    form_->close();
    visibleAfterClose = form_->isVisible();
    openRefused = !form_->OpenDatabase(QString::fromStdString(dir_ + "/none.zrd"));
  });
  EXPECT_TRUE(RunAction(LogInfoThread, p));
  EXPECT_TRUE(visibleAfterClose);
  EXPECT_TRUE(openRefused);
  EXPECT_TRUE(form_->isVisible());
  EXPECT_TRUE(WaitFor([&] { return !form_->isVisible(); }));
}

TEST_F(MainFormTest, TheCancelButtonEndsAReadOutAndKeepsThePagesRead) {
  NoOperatorDialog();
  Start();
  TActionParams p = ParamsOf(AddSealThroughTheMenu(Serial));
  ASSERT_TRUE(RunAction(ChallengeThread, p));
  for (uint32_t t = 1; t <= 12 * 8; ++t) seal_.AddSealEvent(1000 + t);
  seal_.InjectFault('P', sim::SealFaultSpec(sim::SealFault::Delay, 100, 0));
  p.SealEventsToRead = 96;
  QTimer press;
  QObject::connect(&press, &QTimer::timeout, [&] {
    size_t pages = 0;
    for (const auto& c : seal_.Commands()) pages += c.command == 'P';
    if (pages == 3) {
      press.stop();
      form_->CancelToolbarButton->trigger();
    }
  });
  press.start(2);
  EXPECT_TRUE(RunAction(ReadoutThread, p));
  EXPECT_EQ(p.Result, 0);
  // The third page was on its way when Cancel came: it is kept too.
  EXPECT_EQ(Count(form_->Document(), "/zarn/seal/key/page"), 3u);
  EXPECT_TRUE(form_->ProgressBar->isHidden());
}

TEST_F(MainFormTest, ASecondCloseWhileTheFirstAsksIsRefused) {
  NoOperatorDialog();
  Start();
  TActionParams p = ParamsOf(AddSealThroughTheMenu(Serial));
  ASSERT_TRUE(RunAction(ChallengeThread, p));
  ASSERT_TRUE(RunAction(StatusThread, p));  // the document has changed
  int boxes = 0;
  auto previous = platform::SetMessageBoxHandler([&](const platform::MessageBoxRequest&) {
    if (++boxes == 1) form_->ExitMenuItem->trigger();  // asks nothing and closes nothing
    return platform::IDCANCEL;
  });
  EXPECT_FALSE(form_->close());
  platform::SetMessageBoxHandler(previous);
  EXPECT_EQ(boxes, 1);
  EXPECT_TRUE(form_->isVisible());
  EXPECT_TRUE(form_->FileMenu->isEnabled());
}

// The program's real boxes are installed; one that no test answers fails the test at once,
// named, instead of waiting for a click until the test's time is up.
TEST_F(MainFormTest, ABoxNoTestAnswersFailsTheTestAtOnceNamingIt) {
  NoOperatorDialog();
  Start();
  EXPECT_NONFATAL_FAILURE(form_->OpenDatabase(QString::fromStdString(dir_ + "/none.zrd")),
                          "a message box no test answers: [Error] No such file or directory (Line: 0 Pos.: 0)");
}

TEST_F(MainFormTest, TheCommandLineFileIsOpenedOrLeavesAnUntitledDocument) {
  NoOperatorDialog();
  Start();
  TActionParams p = ParamsOf(AddSealThroughTheMenu(Serial));
  const QString file = QString::fromStdString(dir_ + "/seals.zrd");
  ASSERT_NO_FATAL_FAILURE(SaveStatusOf(p, file));
  form_.reset();

  form_ = std::make_unique<TMainForm>(file);
  EXPECT_EQ(form_->FileNamePanel->text(), " " + file);
  EXPECT_TRUE(ListsOnly(Serial));
  form_.reset();

  platform::MessageBoxRecorder boxes;
  form_ = std::make_unique<TMainForm>(QString::fromStdString(dir_ + "/no-such-file.zrd"));
  EXPECT_EQ(form_->FileNamePanel->text(), " Untitled");
  EXPECT_TRUE(form_->FileName().isEmpty());
}

TEST_F(MainFormTest, ExportAndImportSetupThroughTheFileMenu) {
  NoOperatorDialog();
  Start();
  AddSealThroughTheMenu(51);
  const QString file = QString::fromStdString(dir_ + "/setup.zrn");
  std::vector<TFileDialogRequest> asked;
  auto previous = SetFileDialogHandler([&](const TFileDialogRequest& request) -> std::optional<QString> {
    asked.push_back(request);
    return file;
  });
  form_->ExportSetupMenuItem->trigger();
  form_->SetupTreeView->setCurrentItem(form_->Trees().FindSealNode(51));
  platform::MessageBoxRecorder boxes;
  form_->RemoveSealMenuItem->trigger();
  EXPECT_EQ(form_->Trees().FindSealNode(51), nullptr);
  form_->ImportSetupMenuItem->trigger();
  SetFileDialogHandler(previous);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].title, "Export Setup");
  EXPECT_EQ(asked[0].defaultExtension, "zrn");
  EXPECT_EQ(asked[1].title, "Import Setup");
  ASSERT_NE(form_->Trees().FindSealNode(51), nullptr);
  EXPECT_EQ(form_->Trees().FindSealNode(51)->ParentNode(), Com7());
  EXPECT_TRUE(form_->GlyphPanel->pixmap().isNull());  // the busy glyph is gone again
}

TEST_F(MainFormTest, SaveAsSuggestsTheOperatorsAndTheTime) {
  NoOperatorDialog();
  Start();
  struct Case {
    QString operator1, operator2, suggestion;
  };
  for (const Case& c : {Case{"JS", "AB", "^JS-AB-\\d{8}-\\d{6}$"}, Case{"", "AB", "^AB-\\d{8}-\\d{6}$"},
                        Case{"", "", "^\\d{8}-\\d{6}$"}}) {
    form_->Options().operator1 = c.operator1;
    form_->Options().operator2 = c.operator2;
    TFileDialogRequest asked;
    auto previous = SetFileDialogHandler([&](const TFileDialogRequest& request) -> std::optional<QString> {
      asked = request;
      return std::nullopt;
    });
    form_->SaveToolbarButton->trigger();  // untitled: Save As, cancelled
    SetFileDialogHandler(previous);
    EXPECT_EQ(asked.title, "Save As");
    EXPECT_EQ(asked.defaultExtension, "zrd");
    EXPECT_TRUE(QRegularExpression(c.suggestion).match(asked.fileName).hasMatch()) << asked.fileName.toStdString();
    EXPECT_EQ(form_->FileNamePanel->text(), " Untitled");
  }
}

TEST_F(MainFormTest, SetupAndGroupsSurviveARestart) {
  NoOperatorDialog();
  Start();
  AddSealThroughTheMenu(31);
  form_->ViewGroupMenuItem->trigger();
  WhenModal(form_->GroupForm, [&] {
    QTest::keyClicks(form_->GroupForm->NameEdit, "North");
    form_->GroupForm->ListViewNotSelected->selectAll();
    QTest::mouseClick(form_->GroupForm->AddButton, Qt::LeftButton);
    QTest::mouseClick(form_->GroupForm->OkayButton, Qt::LeftButton);
  });
  form_->CreateGroupMenuItem->trigger();
  form_->move(40, 30);
  form_.reset();

  Start();
  ASSERT_NE(form_->Trees().FindSealNode(31), nullptr);
  EXPECT_EQ(form_->Trees().FindSealNode(31)->ParentNode(), Com7());
  ASSERT_EQ(form_->GroupTreeView->topLevelItemCount(), 2);
  EXPECT_EQ(form_->GroupTreeView->topLevelItem(1)->text(0), "North");
  EXPECT_EQ(form_->GroupTreeView->topLevelItem(1)->childCount(), 1);
  EXPECT_EQ(form_->frameGeometry().topLeft(), QPoint(40, 30));
}

TEST_F(MainFormTest, ScreenshotOfTheMainWindow) {
  NoOperatorDialog();
  Start();
  AddSealThroughTheMenu(Serial);
  form_->Trees().AddInterface("10.0.0.17");
  form_->SetupTreeView->expandAll();
  EXPECT_TRUE(WaitFor([&] { return form_->Browser->title() == "ZARN Reader"; }, 15000));
  QTest::qWait(500);  // the page's first paint
  EXPECT_TRUE(form_->grab().save(BUILD_DIR "/main_window.png"));
}

TEST_F(MainFormTest, ClicksAndEnterOpenThePagesOfSealsGroupsAndTheDatabase) {
  NoOperatorDialog();
  Start(TestPages());
  WatchLoading();
  ASSERT_TRUE(Shows("Start"));
  TTreeNode* seal = AddSealThroughTheMenu(Serial);
  TActionParams p = ParamsOf(seal);
  ASSERT_TRUE(RunAction(ChallengeThread, p));
  ASSERT_TRUE(RunAction(StatusThread, p));  // the seal is now in the Database list
  ASSERT_TRUE(ListsOnly(Serial));

  Click(form_->SetupTreeView, seal);
  ASSERT_TRUE(Shows("Seal"));
  EXPECT_EQ(SessionSeal(), static_cast<IDispatch*>(seal->seal.Get()));

  form_->ViewGroupMenuItem->trigger();
  TTreeNode* allSeals = form_->Trees().AllSealsNode();
  Click(form_->GroupTreeView, allSeals);
  ASSERT_TRUE(Shows("Group"));
  IDispatch* group = nullptr;
  form_->Session().get_Group(&group);
  EXPECT_EQ(group, static_cast<IDispatch*>(allSeals->group.Get()));
  if (group) group->Release();
  allSeals->setExpanded(true);
  Click(form_->GroupTreeView, allSeals->Child(0));  // the entry stands for the seal
  ASSERT_TRUE(Shows("Seal"));

  form_->ViewDatabaseMenuItem->trigger();
  Click(form_->DatabaseListView, form_->DatabaseListView->item(0));
  ASSERT_TRUE(Shows("Database"));
  int32_t serial = 0;
  form_->Session().get_SerialNumber(&serial);
  EXPECT_EQ(serial, int32_t(Serial));

  // A press on one node and the release on another is no click.
  form_->ViewGroupMenuItem->trigger();
  QTest::mousePress(form_->GroupTreeView->viewport(), Qt::LeftButton, {},
                    form_->GroupTreeView->visualItemRect(allSeals).center());
  QTest::mouseRelease(form_->GroupTreeView->viewport(), Qt::LeftButton, {},
                      form_->GroupTreeView->visualItemRect(allSeals->Child(0)).center());

  // Enter: the selection's page, nothing on the root, a port or no selection; the key
  // never goes further.
  EnterSpy setupSpy(form_->SetupTabSheet), groupSpy(form_->GroupTabSheet), listSpy(form_->DatabaseTabSheet);
  form_->ViewSetupMenuItem->trigger();
  for (QTreeWidgetItem* node : {static_cast<QTreeWidgetItem*>(form_->Trees().RootNode()),
                                static_cast<QTreeWidgetItem*>(Com7())}) {
    form_->SetupTreeView->setCurrentItem(node);
    QTest::keyClick(form_->SetupTreeView, Qt::Key_Return);
  }
  form_->ViewGroupMenuItem->trigger();
  form_->GroupTreeView->clearSelection();
  QTest::keyClick(form_->GroupTreeView, Qt::Key_Return);
  form_->ViewDatabaseMenuItem->trigger();
  form_->DatabaseListView->clearSelection();
  QTest::keyClick(form_->DatabaseListView, Qt::Key_Return);
  form_->ViewGroupMenuItem->trigger();
  form_->GroupTreeView->setCurrentItem(allSeals);
  QTest::keyClick(form_->GroupTreeView, Qt::Key_Return);
  ASSERT_TRUE(Shows("Group"));
  form_->ViewSetupMenuItem->trigger();
  form_->SetupTreeView->setCurrentItem(seal);
  QTest::keyClick(form_->SetupTreeView, Qt::Key_Return);
  ASSERT_TRUE(Shows("Seal"));
  form_->ViewDatabaseMenuItem->trigger();
  form_->DatabaseListView->setCurrentRow(0);
  QTest::keyClick(form_->DatabaseListView, Qt::Key_Return);
  ASSERT_TRUE(Shows("Database"));
  EXPECT_EQ(setupSpy.count + groupSpy.count + listSpy.count, 0);
  EXPECT_EQ(PagesVisited(), QStringList({"Start", "Seal", "Group", "Seal", "Database", "Group", "Seal", "Database"}));
  EXPECT_TRUE(QFileInfo(form_->HtmlPagePath("ZarnReaderSeal.htm")).isFile());
}

TEST_F(MainFormTest, WhileAnOperationRunsASealClickShowsNothingButAGroupStillShows) {
  NoOperatorDialog();
  Start(TestPages());
  WatchLoading();
  ASSERT_TRUE(Shows("Start"));
  TTreeNode* seal = AddSealThroughTheMenu(Serial);
  TActionParams p = ParamsOf(seal);
  ASSERT_TRUE(RunAction(ChallengeThread, p));
  IDispatch* before = SessionSeal();
  seal_.InjectFault('I', sim::SealFaultSpec(sim::SealFault::Delay, 400));
  QTimer::singleShot(50, form_.get(), [&] {
    Click(form_->SetupTreeView, seal);
    form_->ViewGroupMenuItem->trigger();
    Click(form_->GroupTreeView, form_->Trees().AllSealsNode());
  });
  ASSERT_TRUE(RunAction(LogInfoThread, p));
  ASSERT_TRUE(Shows("Group"));
  EXPECT_EQ(SessionSeal(), before);
  EXPECT_EQ(PagesVisited(), QStringList({"Start", "Group"}));
  form_->ViewSetupMenuItem->trigger();
  Click(form_->SetupTreeView, seal);  // the operation has ended
  ASSERT_TRUE(Shows("Seal"));
}

TEST_F(MainFormTest, WithoutTheSealPageAClickChangesOnlyTheSessionsSeal) {
  NoOperatorDialog();
  Start(TestPages(false));
  WatchLoading();
  ASSERT_TRUE(Shows("Start"));
  TTreeNode* seal = AddSealThroughTheMenu(Serial);
  Click(form_->SetupTreeView, seal);
  EXPECT_EQ(SessionSeal(), static_cast<IDispatch*>(seal->seal.Get()));
  form_->ViewGroupMenuItem->trigger();
  Click(form_->GroupTreeView, form_->Trees().AllSealsNode());
  ASSERT_TRUE(Shows("Group"));
  EXPECT_EQ(PagesVisited(), QStringList({"Start", "Group"}));
}

TEST_F(MainFormTest, BackForwardRefreshAndTheStartPage) {
  NoOperatorDialog();
  Start(TestPages());
  WatchLoading();
  ASSERT_TRUE(Shows("Start"));
  TTreeNode* seal = AddSealThroughTheMenu(Serial);
  Click(form_->SetupTreeView, seal);
  ASSERT_TRUE(Shows("Seal"));
  form_->BackToolbarButton->trigger();
  ASSERT_TRUE(Shows("Start"));
  form_->BackToolbarButton->trigger();  // nothing to go back to
  form_->ForewardToolbarButton->trigger();
  ASSERT_TRUE(Shows("Seal"));
  form_->ForewardToolbarButton->trigger();

  int loads = 0;
  QObject::connect(form_->Browser, &QWebEngineView::loadStarted, [&] { ++loads; });
  TActionParams p = ParamsOf(seal);
  ASSERT_TRUE(RunAction(ChallengeThread, p));
  seal_.InjectFault('I', sim::SealFaultSpec(sim::SealFault::Delay, 300));
  QTimer::singleShot(50, form_.get(), [&] { form_->RefreshToolbarButton->trigger(); });
  ASSERT_TRUE(RunAction(LogInfoThread, p));
  QTest::qWait(200);
  EXPECT_EQ(loads, 0);
  form_->RefreshToolbarButton->trigger();
  EXPECT_TRUE(WaitFor([&] { return loads == 1 && !loading_; }));
  form_->ViewStartPageMenuItem->trigger();
  ASSERT_TRUE(Shows("Start"));
  EXPECT_EQ(PagesVisited(), QStringList({"Start", "Seal", "Start"}));
}

// A page the history can no longer return to (dropped by a page opened after Back) lets go
// of its seal; the pages it can return to still tell the session theirs.
TEST_F(MainFormTest, OnlyPagesTheHistoryCanReturnToKeepTheirSeals) {
  NoOperatorDialog();
  Start(TestPages());
  WatchLoading();
  ASSERT_TRUE(Shows("Start"));
  ASSERT_TRUE(AddSealThroughTheMenu(Serial));
  ASSERT_TRUE(AddSealThroughTheMenu(Serial + 1));
  IDispatch* const first = form_->Trees().FindSealNode(Serial)->seal.Get();
  IDispatch* const second = form_->Trees().FindSealNode(Serial + 1)->seal.Get();
  const auto references = [](IDispatch* object) {
    object->AddRef();
    return object->Release();
  };
  const auto heldByTheTrees = references(first);
  ASSERT_EQ(references(second), heldByTheTrees);
  int loaded = 0;
  QObject::connect(form_->Browser, &QWebEngineView::loadFinished, [&] { ++loaded; });
  // Goes through the history, or opens the seal's page as a new entry of it by a click on
  // its entry in the group tree (a click on the current node of the setup tree opens
  // nothing); then the page has loaded.
  const auto go = [&](const std::function<void()>& step) {
    const int before = loaded;
    step();
    return WaitFor([&] { return loaded > before && !loading_; }, 15000);
  };
  const auto back = [&] { return go([&] { form_->BackToolbarButton->trigger(); }); };
  const auto forward = [&] { return go([&] { form_->ForewardToolbarButton->trigger(); }); };
  form_->ViewGroupMenuItem->trigger();
  TTreeNode* const allSeals = form_->Trees().AllSealsNode();
  allSeals->setExpanded(true);
  const auto open = [&](IDispatch* seal) {
    return go([&] {
      for (int i = 0; i < allSeals->childCount(); ++i)
        if (allSeals->Child(i)->sealNode->seal.Get() == seal) Click(form_->GroupTreeView, allSeals->Child(i));
    });
  };
  ASSERT_TRUE(open(first));
  ASSERT_TRUE(back());
  ASSERT_TRUE(open(second));
  EXPECT_EQ(references(first), heldByTheTrees);
  ASSERT_TRUE(open(first));
  ASSERT_TRUE(back());
  EXPECT_EQ(SessionSeal(), second);
  ASSERT_TRUE(forward());
  EXPECT_EQ(SessionSeal(), first);
  EXPECT_EQ(PagesVisited(), QStringList({"Start", "Seal", "Seal"}));
  EXPECT_EQ(references(first), heldByTheTrees + 2);  // the session's and its page's
  EXPECT_EQ(references(second), heldByTheTrees + 1);  // its page's
}

TEST_F(MainFormTest, EnterInAPageReachesThePage) {
  NoOperatorDialog();
  const QString html = TestPages();
  QFile start(html + "/ZarnReaderStart.htm");
  ASSERT_TRUE(start.open(QIODevice::WriteOnly));
  start.write("<html><head><title>Start</title></head><body><input id='name' autofocus "
              "onkeydown=\"if (event.key == 'Enter') document.title = 'Entered ' + this.value\"></body></html>");
  start.close();
  Start(html);
  WatchLoading();
  ASSERT_TRUE(Shows("Start"));
  form_->Browser->setFocus();
  QWidget* page = form_->Browser->focusProxy();
  QTest::keyClicks(page, "JS");
  QTest::keyClick(page, Qt::Key_Return);
  EXPECT_TRUE(Shows("Entered JS"));
}

TEST_F(MainFormTest, TheViewMenuChecksTheTextSizeAlsoAfterTheBrowsersOwnZoom) {
  NoOperatorDialog();
  Start(TestPages());
  WatchLoading();
  ASSERT_TRUE(Shows("Start"));
  QAction* const items[] = {form_->SmallestTextSizeMenuItem, form_->SmallerTextSizeMenuItem,
                            form_->MediumTextSizeMenuItem, form_->LargerTextSizeMenuItem,
                            form_->LargestTextSizeMenuItem};
  // Opens the View menu as a person does and answers which size is checked.
  auto checked = [&]() -> int {
    QMenuBar* bar = form_->menuBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(form_->ViewMenu->menuAction()).center());
    EXPECT_TRUE(WaitFor([&] { return form_->ViewMenu->isVisible(); }));
    int level = -1, count = 0;
    for (int i = 0; i < 5; ++i)
      if (items[i]->isChecked()) level = i, ++count;
    form_->ViewMenu->close();
    return count > 1 ? -2 : level;
  };
  EXPECT_EQ(checked(), 2);
  struct Step {
    QAction* item;  // or a notch of Ctrl and the wheel: +1 up, -1 down
    int notch;
    qreal zoom;
    int level;
    Qt::Key key = Qt::Key_unknown;  // or Ctrl and this key
  };
  for (const Step& step : {Step{form_->LargestTextSizeMenuItem, 0, 1.25, 4}, Step{form_->SmallestTextSizeMenuItem, 0, 0.8, 0},
                           Step{nullptr, +1, 0.9, 1}, Step{nullptr, +1, 1.0, 2}, Step{nullptr, +1, 1.1, 3},
                           Step{nullptr, +1, 1.2, -1}, Step{form_->LargerTextSizeMenuItem, 0, 1.1, 3},
                           Step{nullptr, -1, 1.0, 2}, Step{nullptr, -1, 0.9, 1}, Step{nullptr, -1, 0.8, 0},
                           Step{nullptr, -1, 0.7, -1}, Step{form_->MediumTextSizeMenuItem, 0, 1.0, 2},
                           Step{nullptr, 0, 1.1, 3, Qt::Key_Plus}, Step{nullptr, 0, 1.25, 4, Qt::Key_Equal},
                           Step{nullptr, 0, 1.5, -1, Qt::Key_Plus}, Step{nullptr, 0, 1.25, 4, Qt::Key_Minus},
                           Step{nullptr, 0, 1.0, 2, Qt::Key_0}, Step{nullptr, 0, 0.9, 1, Qt::Key_Minus},
                           Step{nullptr, 0, 0.8, 0, Qt::Key_Minus}, Step{nullptr, 0, 0.75, -1, Qt::Key_Minus},
                           Step{nullptr, 0, 1.0, 2, Qt::Key_0}}) {
    if (step.item) {
      step.item->trigger();
    } else if (step.key != Qt::Key_unknown) {
      form_->activateWindow();
      form_->Browser->setFocus();
      QTest::keyClick(form_->Browser->focusProxy(), step.key, Qt::ControlModifier);
    } else {
      QWidget* page = form_->Browser->focusProxy();
      const QPointF at(50, 50);
      QWheelEvent wheel(at, page->mapToGlobal(at), QPoint(), QPoint(0, 120 * step.notch), Qt::NoButton,
                        Qt::ControlModifier, Qt::NoScrollPhase, false);
      QApplication::sendEvent(page, &wheel);
    }
    EXPECT_TRUE(WaitFor([&] { return std::abs(form_->Browser->zoomFactor() - step.zoom) < 0.005; }))
        << step.zoom << " " << form_->Browser->zoomFactor();
    EXPECT_EQ(checked(), step.level) << step.zoom;
  }
  // The browser keeps the size from page to page.
  form_->LargerTextSizeMenuItem->trigger();
  Click(form_->SetupTreeView, AddSealThroughTheMenu(Serial));
  ASSERT_TRUE(Shows("Seal"));
  EXPECT_EQ(checked(), 3);
}

TEST_F(MainFormTest, PrintWithoutAPrinterSaysSoAndThePreviewShowsThePage) {
  NoOperatorDialog();
  Start(TestPages());
  WatchLoading();
  ASSERT_TRUE(Shows("Start"));
  ASSERT_TRUE(QPrinterInfo::defaultPrinter().isNull()) << "this test wants a machine without printers";
  {
    platform::MessageBoxRecorder boxes;
    form_->PrintToolbarButton->trigger();
    form_->PrintMenuItem->trigger();
    ASSERT_EQ(boxes.Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[0].text, "No printer is set up.");
  }
  // Looks at the preview once it has painted the page, then closes it.
  int pages = 0;
  bool shown = false;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || dialog->objectName() != "PrintPreviewDialog") return;
    shown = true;
    auto* preview = dialog->findChild<QPrintPreviewWidget*>();
    if (!preview || preview->pageCount() < 2) return;
    look.stop();
    pages = preview->pageCount();
    dialog->grab().save(BUILD_DIR "/print_preview.png");
    dialog->reject();
  });
  look.start(100);
  form_->PrintPreviewMenuItem->trigger();
  EXPECT_TRUE(shown);
  EXPECT_GT(pages, 1);  // the page is 3000 pixels high
}

TEST_F(MainFormTest, TurningThePreviewWhileItPaintsStillShowsThePage) {
  NoOperatorDialog();
  Start(TestPages());
  WatchLoading();
  ASSERT_TRUE(Shows("Start"));
  // Once the preview shows the page: a repaint, and a click on Landscape while it paints.
  int step = 0, pages = -1;
  QElapsedTimer clicked;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    auto* preview = dialog ? dialog->findChild<QPrintPreviewWidget*>() : nullptr;
    if (!preview || dialog->objectName() != "PrintPreviewDialog") return;
    if (step == 0 && preview->pageCount() > 1) {
      ++step;
      QToolButton* landscape = nullptr;
      for (auto* button : dialog->findChildren<QToolButton*>())
        if (button->defaultAction() && button->defaultAction()->text().contains("Landscape")) landscape = button;
      ASSERT_NE(landscape, nullptr);
      QTimer::singleShot(0, preview, &QPrintPreviewWidget::updatePreview);
      QTimer::singleShot(20, landscape, [landscape, &clicked] {
        clicked.start();
        const QPoint at = landscape->rect().center();
        QApplication::postEvent(landscape, new QMouseEvent(QEvent::MouseButtonPress, at, landscape->mapToGlobal(at),
                                                           Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        QApplication::postEvent(landscape, new QMouseEvent(QEvent::MouseButtonRelease, at, landscape->mapToGlobal(at),
                                                           Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
      });
      return;
    }
    if (step != 1 || !clicked.isValid() || clicked.elapsed() < 1500) return;
    look.stop();
    pages = preview->pageCount();
    dialog->grab().save(BUILD_DIR "/print_preview_turned.png");
    dialog->reject();
  });
  look.start(100);
  form_->PrintPreviewMenuItem->trigger();
  EXPECT_GT(pages, 1);
}

TEST_F(MainFormTest, SavingWritesTheViewsOnlyToAnXmlName) {
  NoOperatorDialog();
  Start();
  TActionParams p = ParamsOf(AddSealThroughTheMenu(Serial));
  ASSERT_TRUE(RunAction(ChallengeThread, p));
  ASSERT_TRUE(RunAction(StatusThread, p));
  for (const auto& [name, views] : std::vector<std::pair<std::string, bool>>{
           {"seals.XML", true}, {"seals.xml", true}, {"seals.zrd", false}, {"seals", false}}) {
    const QString file = QString::fromStdString(dir_ + "/" + name);
    auto previous = SetFileDialogHandler([&](const TFileDialogRequest&) -> std::optional<QString> { return file; });
    form_->SaveAsMenuItem->trigger();
    SetFileDialogHandler(previous);
    EXPECT_EQ(form_->FileName(), file);
    QFile saved(file);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly)) << name;
    EXPECT_EQ(saved.readAll().contains("<plain"), views) << name;
  }
}

TEST_F(MainFormTest, AFailedSaveAsSaysWhichFileAndWhyAndKeepsTheDocumentsName) {
  NoOperatorDialog();
  Start();
  const QString first = QString::fromStdString(dir_ + "/first.zrd");
  ASSERT_TRUE(form_->SaveDatabaseAs(first));
  const QString nowhere = QString::fromStdString(dir_ + "/nowhere/seals.zrd");
  platform::MessageBoxRecorder boxes;
  EXPECT_FALSE(form_->SaveDatabaseAs(nowhere));
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "Save file failed.\rThe file \"" + nowhere.toStdString() +
                                       "\" could not be written: No such file or directory.");
  EXPECT_EQ(form_->FileName(), first);
  EXPECT_EQ(form_->FileNamePanel->text(), " " + first);
}

TEST_F(MainFormTest, OpenWithUnsavedChangesAsksAndCancelKeepsEverything) {
  NoOperatorDialog();
  Start();
  TActionParams p = ParamsOf(AddSealThroughTheMenu(Serial));
  const QString first = QString::fromStdString(dir_ + "/first.zrd");
  ASSERT_NO_FATAL_FAILURE(SaveStatusOf(p, first));
  form_->NewMenuItem->trigger();  // unchanged since the save: asks nothing
  EXPECT_EQ(form_->FileNamePanel->text(), " Untitled");
  EXPECT_EQ(form_->DatabaseListView->count(), 0);
  ASSERT_TRUE(RunAction(StatusThread, p));
  ASSERT_TRUE(ListsOnly(Serial));
  ASSERT_TRUE(form_->Document().Modified());

  int dialogs = 0;
  auto previous = SetFileDialogHandler([&](const TFileDialogRequest& request) -> std::optional<QString> {
    ++dialogs;
    EXPECT_EQ(request.title, "Open");
    return first;
  });
  platform::MessageBoxRecorder boxes;
  boxes.Answer(platform::IDCANCEL);
  form_->OpenToolbarButton->trigger();
  EXPECT_EQ(dialogs, 0);
  EXPECT_TRUE(form_->Document().Modified());
  EXPECT_EQ(form_->FileNamePanel->text(), " Untitled");
  EXPECT_EQ(Count(form_->Document(), "/zarn/seal/key/status"), 1u);
  boxes.Answer(platform::IDNO);
  form_->OpenMenuItem->trigger();
  SetFileDialogHandler(previous);
  EXPECT_EQ(dialogs, 1);
  EXPECT_FALSE(form_->Document().Modified());
  EXPECT_EQ(form_->FileName(), first);
  ASSERT_EQ(boxes.Boxes().size(), 2u);
  EXPECT_EQ(boxes.Boxes()[1].text, "The contents of the database has changed.\rDo you want to save the changes?");
}

TEST_F(MainFormTest, ClosingSaysWhenTheSetupCouldNotBeSavedAndWhy) {
  NoOperatorDialog();
  const std::string registryDir = platform::RegistryDirectory();
  const std::string store = platform::reg::StoreFile(platform::reg::Root::CurrentUser);
  const std::string kept = dir_ + "/registry-kept";
  // Root writes through any permission bits: the folder is put behind a regular file instead.
  const std::string blocked = dir_ + "/not-a-folder/registry";
  std::ofstream(dir_ + "/not-a-folder") << "a file";
  const QString lost = "\rThe network interfaces, seals, groups, operators and window placement of this session are lost.";
  struct Case {
    const char* what;
    std::function<void()> spoil, mend;
    QString message;  // empty: nothing is said
  };
  const Case cases[] = {
      {"written", [] {}, [] {}, {}},
      {"folder unreachable", [&] { ::setenv(platform::RegistryDirVariable, blocked.c_str(), 1); },
       [&] { ::setenv(platform::RegistryDirVariable, registryDir.c_str(), 1); },
       QString::fromStdString("The setup could not be saved: the registry folder " + blocked + " cannot be written.") +
           lost},
      {"file damaged",
       [&] {
         fs::copy_file(store, kept, fs::copy_options::overwrite_existing);
         std::ofstream(store, std::ios::trunc) << "not a registry";
       },
       [&] { fs::copy_file(kept, store, fs::copy_options::overwrite_existing); },
       QString::fromStdString("The setup could not be saved: the registry file " + store + " is damaged.") + lost},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start();
    AddSealThroughTheMenu(31);
    c.spoil();
    platform::MessageBoxRecorder boxes;
    EXPECT_TRUE(form_->close());
    c.mend();
    std::vector<QString> texts;
    for (const auto& box : boxes.Boxes()) texts.push_back(QString::fromStdString(box.text));
    EXPECT_EQ(texts, c.message.isEmpty() ? std::vector<QString>{} : std::vector<QString>{c.message});
    for (const auto& box : boxes.Boxes()) EXPECT_EQ(box.flags & platform::MB_ICONMASK, platform::MB_ICONERROR);
    boxes.Clear();
    form_.reset();
    EXPECT_TRUE(boxes.Boxes().empty());  // said once, on closing
  }

  // A silent session is told nothing and still closes.
  Start();
  form_->Session().Silent();
  ::setenv(platform::RegistryDirVariable, blocked.c_str(), 1);
  platform::MessageBoxRecorder boxes;
  EXPECT_TRUE(form_->close());
  ::setenv(platform::RegistryDirVariable, registryDir.c_str(), 1);
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(MainFormTest, TheStoredPlacementIsTakenOnlyWhenAllFiveValuesAreThere) {
  const QRect stored(40, 30, 600, 400), standard(0, 0, 640, 460);
  struct Case {
    const char* missing;  // none for nullptr
    int state;
    QRect frame;
    bool maximized;
  };
  for (const Case& c : {Case{nullptr, 0, stored, false}, Case{"State", 0, standard, false},
                        Case{"Width", 0, standard, false}, Case{"Top", 2, standard, false}}) {
    SCOPED_TRACE(c.missing ? c.missing : "none");
    platform::Registry registry;
    registry.DeleteKey(std::string("\\") + SettingsKeyPath);  // the last window saved all five
    NoOperatorDialog();
    ASSERT_TRUE(registry.OpenKey(std::string("\\") + SettingsKeyPath, true));
    for (const auto& [name, value] : std::vector<std::pair<std::string, int>>{
             {"Top", stored.top()}, {"Left", stored.left()}, {"Height", stored.height()}, {"Width", stored.width()},
             {"State", c.state}})
      if (!c.missing || name != c.missing) {
        ASSERT_TRUE(registry.WriteInteger(name, value));
      }
    registry.CloseKey();
    Start();
    EXPECT_EQ(form_->frameGeometry(), c.frame);
    EXPECT_EQ(form_->isMaximized(), c.maximized);
    form_.reset();
  }
}

TEST_F(MainFormTest, NewOpenAndImportWhileAnOperationRunsSaySoAndChangeNothing) {
  NoOperatorDialog();
  Start();
  TActionParams p = ParamsOf(AddSealThroughTheMenu(Serial));
  const QString file = QString::fromStdString(dir_ + "/seals.zrd");
  ASSERT_NO_FATAL_FAILURE(SaveStatusOf(p, file));
  int dialogs = 0;
  auto previous = SetFileDialogHandler([&](const TFileDialogRequest&) -> std::optional<QString> {
    ++dialogs;
    return file;
  });
  platform::MessageBoxRecorder boxes;
  HRESULT opened = S_OK;
  size_t boxesBeforeSilent = 0;
  seal_.InjectFault('I', sim::SealFaultSpec(sim::SealFault::Delay, 300));
  QTimer::singleShot(50, form_.get(), [&] {
    form_->NewMenuItem->trigger();
    form_->OpenToolbarButton->trigger();
    form_->ImportSetupMenuItem->trigger();
    opened = form_->Session().Open(Bstr::FromUtf8(file.toStdString()));
    boxesBeforeSilent = boxes.Boxes().size();
    form_->Session().Silent();
    form_->OpenMenuItem->trigger();
  });
  ASSERT_TRUE(RunAction(LogInfoThread, p));
  SetFileDialogHandler(previous);
  EXPECT_EQ(opened, E_FAIL);
  EXPECT_EQ(dialogs, 0);
  EXPECT_EQ(boxesBeforeSilent, 4u);
  ASSERT_EQ(boxes.Boxes().size(), 4u);  // the silent session is told nothing
  for (const auto& box : boxes.Boxes()) EXPECT_EQ(box.text, "Another operation is running.");
  EXPECT_EQ(form_->FileName(), file);
  EXPECT_EQ(Count(form_->Document(), "/zarn/seal/key/status"), 1u);
  EXPECT_EQ(form_->DatabaseListView->count(), 1);
  EXPECT_NE(form_->Trees().FindSealNode(Serial), nullptr);
}

}  // namespace
