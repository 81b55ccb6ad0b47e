// The reader's own pages in the real main window, driven by script as an operator clicks
// them, against simulated seals on a pseudo-terminal and the real crypto service started
// by activation. Runs on a virtual X display so that the screenshots show the pages.
#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>

#include "date_time.h"
#include "file_dialog.h"
#include "images.h"
#include "main_form.h"
#include "page_driver.h"
#include "registry.h"
#include "seal_link_sim.h"
#include "seal_test_env.h"
#include "tools.h"
#include "unexpected_boxes.h"
#include "window_wait.h"
#include "zarn_startup.h"

namespace fs = std::filesystem;

// Texts in failure reports as text.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

constexpr uint32_t Serial = 4711;
constexpr uint32_t SecondSerial = 4712;
constexpr uint32_t PortTimeout = 500;
constexpr int PageTimeout = 15000;

size_t Count(TZarnDocument& document, const char* xpath) {
  return document.WithDom([&](const pugi::xml_document& d) { return d.select_nodes(xpath).size(); });
}

std::string Xml(TZarnDocument& document) {
  return document.WithDom([](const pugi::xml_document& d) {
    std::ostringstream out;
    d.save(out);
    return out.str();
  });
}

TTreeNode* ChildNamed(TTreeNode* node, const QString& text) {
  for (int i = 0; i < node->childCount(); ++i)
    if (node->child(i)->text(0) == text) return node->Child(i);
  return nullptr;
}

using window_wait::Until;

// What a script run in the page answered. The callback holds it as much as the waiter does,
// so an answer that comes after its wait gave up lands here and nowhere else.
struct PageAnswer {
  bool done = false;
  QString text;
};

std::shared_ptr<const PageAnswer> Ask(QWebEnginePage* page, const QString& script) {
  auto answer = std::make_shared<PageAnswer>();
  page->runJavaScript(script, [answer](const QVariant& v) {
    answer->text = v.toString();
    answer->done = true;
  });
  return answer;
}

// A quoted script string of any text.
QString Quoted(const QString& text) {
  QString out = "'";
  for (QChar c : text) out += c == '\'' || c == '\\' ? QString("\\") + c : QString(c);
  return out + "'";
}

class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zarn-pages-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    platform::Registry registry;
    registry.DeleteKey(std::string("\\") + SettingsKeyPath);
    ASSERT_TRUE(registry.OpenKey(std::string("\\") + SettingsKeyPath, true));
    ASSERT_TRUE(registry.WriteBool("ShowDialog", false));
    ASSERT_TRUE(registry.WriteString("Operator1", "JS"));
    ASSERT_TRUE(registry.WriteString("Operator2", "AB"));
    registry.CloseKey();
    seal_.Attach(link_);
    map_ = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{{7, link_.ServePty()}});
    seal_test::TestWorld::Get().ServeKeyDatabase(true);
    seal_test::FreshDatabase();
    seal_test::StoreInDatabase(seal_.Keyset());
    TSetupTrees::SetPortTimeout(PortTimeout);
    form_ = std::make_unique<TMainForm>();
    form_->resize(1000, 720);
    form_->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    SetFileDialogHandler({});
    if (form_) form_->Session().Silent();
    form_.reset();
    fs::remove_all(dir_);
  }

  TTreeNode* Com7() { return ChildNamed(form_->Trees().RootNode(), "COM7"); }
  TTreeNode* AddSeal(uint32_t serial) { return form_->Trees().AddSeal(serial, Com7()); }

  // Shows a page of the program's html folder and waits until its script has set it up.
  void ShowPage(const QString& page, const QString& ready) {
    Navigate([&] { form_->Browser->setUrl(QUrl::fromLocalFile(form_->HtmlPagePath(page))); }, ready);
  }
  // Clicks a node of a tree on its tab, as the operator opens a seal's or a group's page.
  void ClickNode(QWidget* tab, QTreeWidget* tree, QTreeWidgetItem* item, const QString& ready) {
    form_->PageControl->setCurrentWidget(tab);
    tree->expandAll();
    tree->scrollToItem(item);
    Navigate([&] { QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center()); },
             ready);
  }
  void Navigate(const std::function<void()>& step, const QString& ready) {
    bool loaded = false;
    QMetaObject::Connection connection =
        QObject::connect(form_->Browser, &QWebEngineView::loadFinished, [&](bool) { loaded = true; });
    step();
    EXPECT_TRUE(Until([&] { return loaded; }, PageTimeout));
    QObject::disconnect(connection);
    ASSERT_TRUE(Until([&] { return Eval("document.body && document.body.dataset.ready") == ready; }, PageTimeout))
        << ready.toStdString() << " page did not get ready";
  }
  // The seal page of the seal of that node, opened by a click on the node.
  void ShowSealPage(TTreeNode* node) { ClickNode(form_->SetupTabSheet, form_->SetupTreeView, node, "seal"); }

  // Runs script in the page and answers its result as text.
  QString Eval(const QString& script) {
    const auto answer = Ask(form_->Browser->page(), "(function(){ const v = (" + script +
                                                        "); return v === undefined || v === null ? '' : String(v); })()");
    EXPECT_TRUE(Until([&] { return answer->done; }, PageTimeout)) << script.toStdString();
    return answer->text;
  }
  QString Text(const QString& id) { return Eval("document.getElementById(" + Quoted(id) + ").textContent"); }
  void Click(const QString& id) { Eval("document.getElementById(" + Quoted(id) + ").click()"); }
  void Type(const QString& id, const QString& text) {
    Eval("document.getElementById(" + Quoted(id) + ").value = " + Quoted(text));
  }
  // The kind of the page's result box once an operation has ended: done, failed or canceled.
  QString Outcome(int ms = PageTimeout) {
    QString kind;
    (void)Until([&] { return !(kind = Eval("document.getElementById('message').dataset.kind")).isEmpty(); }, ms);
    return kind;
  }
  void Screenshot(const char* name) {
    QTest::qWait(400);  // the page's last paint
    EXPECT_TRUE(form_->grab().save(QString::fromStdString(std::string(BUILD_DIR) + "/" + name)));
  }

  std::string dir_;
  sim::SealLinkSimulator link_;
  sim::SimulatedSeal seal_{Serial, 3};
  std::unique_ptr<sim::ScopedPortMap> map_;
  std::unique_ptr<TMainForm> form_;
};

TEST_F(PagesTest, TheStartPageShowsTheOperatorsAndTheSealPageAsksForASeal) {
  ShowPage("ZarnReaderStart.htm", "start");
  EXPECT_EQ(Text("operator1"), "JS");
  EXPECT_EQ(Text("operator2"), "AB");
  EXPECT_EQ(Text("date"), QString::fromStdString(SealTimeToDateText(DateTimeToSealTime(platform::Now()))));
  EXPECT_EQ(Text("time").size(), 8);

  // A search on the port typed: the seal that answers is put under it, and the port is offered again.
  Type("portInput", "COM7");
  Click("findButton");
  ASSERT_EQ(Outcome(), "done") << Text("message").toStdString();
  EXPECT_EQ(Text("message"), "Search on COM7 ended.The Setup view shows the seals found.");
  ASSERT_NE(form_->Trees().FindSealNode(Serial), nullptr);
  EXPECT_EQ(Eval("Array.from(document.querySelectorAll('#ports option')).map(o => o.value).join()"), "COM7");

  // Open asks with the program's dialog, which nothing on the page can cancel: the busy bar
  // shows no Cancel meanwhile, and a dialog closed without a file is no failure.
  QString whileAsking;
  SetFileDialogHandler([&](const TFileDialogRequest&) -> std::optional<QString> {
    const auto answer = Ask(form_->Browser->page(),
                            "document.getElementById('busy').classList.contains('shown') + ' ' +"
                            "document.getElementById('cancelButton').hidden");
    EXPECT_TRUE(Until([&] { return answer->done; }, PageTimeout));
    whileAsking = answer->text;
    return std::nullopt;
  });
  Click("openButton");
  ASSERT_EQ(Outcome(), "note") << Text("message").toStdString();
  EXPECT_EQ(Text("message"), "No seal data file was opened.");
  EXPECT_EQ(whileAsking, "true true");
  EXPECT_EQ(Eval("document.getElementById('busy').classList.contains('shown')"), "false");
  form_->SetupTreeView->expandAll();
  Screenshot("start_page.png");

  ShowPage("ZarnReaderSeal.htm", "no seal");
  EXPECT_TRUE(Text("noSeal").contains("No seal is chosen."));
  EXPECT_EQ(Eval("document.getElementById('work').hidden"), "true");
}

TEST_F(PagesTest, TheSealPageLogsOnAndReadsOutTheSealEvents) {
  for (uint32_t t = 1; t <= 30; ++t) seal_.AddSealEvent(1000 + t);
  ShowSealPage(AddSeal(Serial));
  EXPECT_EQ(Text("title"), "ZARN S/N 4711");
  EXPECT_EQ(Text("operators"), "JS, AB");
  EXPECT_EQ(Eval("document.getElementById('expert').hidden"), "true");  // not in expert mode

  Click("challengeButton");
  ASSERT_EQ(Outcome(), "done");
  EXPECT_EQ(Text("Firmware"), QString::fromStdString(VersionToText(3, 0)));
  EXPECT_EQ(Text("KeysetNumber"), QString::fromStdString(KeysetNumberToText(seal_.Keyset().number)));
  Click("logonButton");
  ASSERT_EQ(Outcome(), "done");
  EXPECT_TRUE(seal_.LoggedOn());
  EXPECT_EQ(Text("LoggedOn"), "Yes");

  Type("sealEventsInput", "30");
  Type("systemEventsInput", "0");
  Type("sohRecordsInput", "0");
  Click("readoutButton");
  ASSERT_EQ(Outcome(), "done") << Text("message").toStdString();
  EXPECT_EQ(Text("SealEvents"), "30");
  // The three seal-event pages that hold the 30 events, and the current system-event page.
  EXPECT_EQ(Count(form_->Document(), "/zarn/seal/key/page"), 4u);

  // Pad text goes to the seal and comes back as text, never as markup.
  const QString pad = "<b>Gate</b> 3 & \"north\"";
  Type("padText", pad);
  Click("writePadButton");
  ASSERT_EQ(Outcome(), "done") << Text("message").toStdString();
  Type("padText", "");
  Click("readPadButton");
  ASSERT_EQ(Outcome(), "done") << Text("message").toStdString();
  EXPECT_EQ(Eval("document.getElementById('padText').value"), pad);
  EXPECT_EQ(Eval("document.querySelectorAll('b').length"), "0");
  Screenshot("seal_page.png");

  // The pages read, verified, in the seal's Database page.
  const QString verdicts =
      "Array.from(document.querySelectorAll('td.authentic, td.not-authentic, td.unchecked'))"
      ".map(e => e.textContent).join()";
  const QString fourAuthentic = "authentic,authentic,authentic,authentic";
  ASSERT_EQ(page_driver::OpenFromDatabaseList(*form_, Serial), "ready");
  EXPECT_EQ(Eval(verdicts), fourAuthentic);
  Screenshot("database_page_after_readout.png");

  // Saved from the start page and opened again: the same document.
  const QString file = QString::fromStdString(dir_ + "/JS-AB.zrd");
  std::vector<TFileDialogRequest> asked;
  SetFileDialogHandler([&](const TFileDialogRequest& request) -> std::optional<QString> {
    asked.push_back(request);
    return file;
  });
  const std::string before = Xml(form_->Document());
  ShowPage("ZarnReaderStart.htm", "start");
  Click("saveButton");
  ASSERT_EQ(Outcome(), "done") << Text("message").toStdString();
  ASSERT_TRUE(QFile::exists(file));
  form_->NewDatabase();
  ASSERT_EQ(Count(form_->Document(), "/zarn/seal/key/page"), 0u);
  Click("openButton");
  ASSERT_EQ(Outcome(), "done") << Text("message").toStdString();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].kind, TFileDialogRequest::Kind::Save);
  EXPECT_EQ(asked[1].kind, TFileDialogRequest::Kind::Open);
  EXPECT_EQ(form_->FileName(), file);
  EXPECT_EQ(Xml(form_->Document()), before);
  ASSERT_EQ(page_driver::OpenFromDatabaseList(*form_, Serial), "ready");
  EXPECT_EQ(Eval(verdicts), fourAuthentic);
}

TEST_F(PagesTest, CancelInTheSealPageEndsALongReadOut) {
  for (uint32_t t = 1; t <= 12 * 16; ++t) seal_.AddSealEvent(1000 + t);  // every seal-event page full
  TTreeNode* node = AddSeal(Serial);
  ShowSealPage(node);
  Click("challengeButton");
  ASSERT_EQ(Outcome(), "done");
  // Each page slowed enough that a loaded machine's cancel still lands long before the end.
  seal_.InjectFault('P', sim::SealFaultSpec(sim::SealFault::Delay, 400, 0));
  Type("sealEventsInput", "192");
  // The read-out keeps this thread in its wait; what the operator does meanwhile comes by timer.
  std::shared_ptr<const PageAnswer> busyWhileReading;
  QTimer operatorSteps;
  QObject::connect(&operatorSteps, &QTimer::timeout, [&] {
    size_t pages = 0;
    for (const auto& c : seal_.Commands()) pages += c.command == 'P';
    if (pages < 2) return;
    operatorSteps.stop();
    busyWhileReading = Ask(form_->Browser->page(),
                           "document.getElementById('busy').classList.contains('shown') + ' ' +"
                           "document.getElementById('readoutButton').disabled + ' ' +"
                           "document.getElementById('busyText').textContent +"
                           "' [' + document.getElementById('message').textContent + ']'");
    form_->Browser->page()->runJavaScript("document.getElementById('cancelButton').click()");
  });
  operatorSteps.start(5);
  // A double click: the second click finds the page busy and starts nothing.
  Eval("(b => { b.click(); b.click(); })(document.getElementById('readoutButton'))");
  ASSERT_EQ(Outcome(), "canceled") << Text("message").toStdString();
  EXPECT_EQ(Text("message"), "Read-out canceled.What was read before the cancel is kept in the seal data file.");
  ASSERT_NE(busyWhileReading, nullptr);
  EXPECT_EQ(busyWhileReading->text, "true true Read-out\u2026 []");
  EXPECT_EQ(Eval("document.getElementById('busy').classList.contains('shown')"), "false");
  const size_t pages = Count(form_->Document(), "/zarn/seal/key/page");
  EXPECT_GE(pages, 1u);
  EXPECT_LT(pages, 16u);
  // The flag was read by the page: the session no longer reports it.
  bool canceled = true;
  ASSERT_EQ(form_->Session().get_Canceled(&canceled), S_OK);
  EXPECT_FALSE(canceled);
}

TEST_F(PagesTest, AFailingOperationShowsErrorAndReason) {
  ShowSealPage(AddSeal(Serial));
  Click("challengeButton");
  ASSERT_EQ(Outcome(), "done");
  seal_.InjectFault('L', sim::SealFaultSpec(sim::SealFault::Refuse, 1));
  Click("logonButton");
  ASSERT_EQ(Outcome(), "failed");
  EXPECT_EQ(Eval("document.querySelector('#message strong').textContent"), "Logon failed.");
  EXPECT_EQ(Eval("document.querySelector('#message div').textContent"), "Access denied. Authorization failed.");
  EXPECT_EQ(Text("LoggedOn"), "No");

  // A count the parameter cannot take is refused by the page before anything is sent.
  Type("sealEventsInput", "-5");
  Click("readoutButton");
  EXPECT_EQ(Outcome(), "failed");
  EXPECT_EQ(Eval("document.querySelector('#message strong').textContent"), "Read-out not started.");

  // The key-set operations are offered in expert mode only.
  EXPECT_EQ(Eval("document.getElementById('expert').hidden"), "true");
  form_->Options().expertMode = true;
  ShowSealPage(form_->Trees().FindSealNode(Serial));
  EXPECT_EQ(Eval("document.getElementById('expert').hidden"), "false");
  Type("optionInput", "256");
  Click("createKeysetButton");
  EXPECT_EQ(Outcome(), "failed");
  EXPECT_EQ(Eval("document.querySelector('#message strong').textContent"), "Key-set not created.");
  const uint32_t before = seal_.Keyset().number;
  Type("optionInput", "0");
  Click("createKeysetButton");
  ASSERT_EQ(Outcome(), "done") << Text("message").toStdString();
  EXPECT_NE(seal_.Keyset().number, before);
  EXPECT_EQ(Text("KeysetNumber"), QString::fromStdString(KeysetNumberToText(seal_.Keyset().number)));
}

TEST_F(PagesTest, TheGroupPageRunsAnOperationOnEachSealAndShowsNamesAsText) {
  sim::SimulatedSeal second{SecondSerial, 2};
  second.Attach(link_);
  seal_test::StoreInDatabase(second.Keyset());
  AddSeal(Serial);
  AddSeal(SecondSerial);
  ClickNode(form_->GroupTabSheet, form_->GroupTreeView, form_->GroupTreeView->topLevelItem(0), "group");
  EXPECT_EQ(Text("title"), "All Seals");
  EXPECT_EQ(Text("subtitle"), "Group of 2 seals");

  // A group named by the operator, shown as text.
  const QString name = "North <Yard> & \"Gate 3\"";
  TTreeNode* group = form_->Trees().AddGroup(nullptr, name);
  for (uint32_t serial : {Serial, SecondSerial}) {
    TTreeNode* entry = TSetupTrees::AddTreeNode(form_->GroupTreeView, SealCaption(serial), group, SealImage);
    entry->sealNode = form_->Trees().FindSealNode(serial);
  }
  ClickNode(form_->GroupTabSheet, form_->GroupTreeView, group, "group");
  EXPECT_EQ(Text("title"), name);
  EXPECT_EQ(Eval("document.querySelectorAll('yard').length"), "0");
  EXPECT_EQ(Eval("document.querySelector('#seals tbody').rows[1].cells[0].textContent"), "ZARN S/N 4712");

  Click("challengeButton");
  ASSERT_EQ(Outcome(), "done") << Text("message").toStdString();
  EXPECT_EQ(Text("message"), "Protocol initialization ended.2 of 2 seals done.");
  for (uint32_t t = 1; t <= 5; ++t) seal_.AddSealEvent(1000 + t);
  second.InjectFault('I', sim::SealFaultSpec(sim::SealFault::Refuse, 1));
  Click("logInfoButton");
  ASSERT_EQ(Outcome(), "failed");
  const QString rows = "document.querySelector('#seals tbody').rows";
  EXPECT_EQ(Eval(rows + "[0].dataset.result"), "done");
  EXPECT_EQ(Eval(rows + "[0].cells[4].textContent"), "5");
  EXPECT_EQ(Eval(rows + "[1].dataset.result"), "failed");
  EXPECT_EQ(Eval(rows + "[1].cells[5].textContent"), "Get log info failed.Access denied. Authorization failed.");
  EXPECT_EQ(Text("message"), "Get log info ended.1 of 2 seals done, 1 failed.");
  Screenshot("group_page.png");

  // Cancel during the first seal's read-out ends it and leaves the second seal alone.
  for (uint32_t t = 1; t <= 12 * 16; ++t) seal_.AddSealEvent(2000 + t);
  // Each page slowed enough that a loaded machine's cancel still lands long before the end.
  seal_.InjectFault('P', sim::SealFaultSpec(sim::SealFault::Delay, 400, 0));
  seal_.ClearCommands();
  second.ClearCommands();
  QTimer operatorSteps;
  QObject::connect(&operatorSteps, &QTimer::timeout, [&] {
    size_t pages = 0;
    for (const auto& c : seal_.Commands()) pages += c.command == 'P';
    if (pages < 2) return;
    operatorSteps.stop();
    form_->Browser->page()->runJavaScript("document.getElementById('cancelButton').click()");
  });
  operatorSteps.start(5);
  Click("readoutButton");
  ASSERT_EQ(Outcome(), "canceled") << Text("message").toStdString();
  EXPECT_EQ(Eval(rows + "[0].dataset.result"), "canceled");
  EXPECT_EQ(Eval(rows + "[1].dataset.result"), "skipped");
  EXPECT_TRUE(second.Commands().empty());
  EXPECT_EQ(Text("message"), "Read-out canceled.0 of 2 seals done.");

  // Cancel clicked before the first seal's call went out: no seal is sent anything.
  seal_.ClearCommands();
  Eval("document.getElementById('readoutButton').click(), document.getElementById('cancelButton').click()");
  ASSERT_EQ(Outcome(), "canceled") << Text("message").toStdString();
  EXPECT_EQ(Eval(rows + "[0].dataset.result"), "skipped");
  EXPECT_EQ(Eval(rows + "[1].dataset.result"), "skipped");
  EXPECT_TRUE(seal_.Commands().empty());
  EXPECT_TRUE(second.Commands().empty());

  // The session stops answering after the first seal's call: the run ends and says why,
  // and the page is no longer busy.
  Eval("(real => { let calls = 0; zarn.connect = () => ++calls > 1 ? "
       "Promise.reject(new Error('The session stopped answering.')) : real(); })(zarn.connect)");
  Click("logInfoButton");
  ASSERT_EQ(Outcome(), "failed") << Text("message").toStdString();
  EXPECT_EQ(Text("message"), "Get log info failed.The session stopped answering.");
  EXPECT_EQ(Eval(rows + "[0].cells[5].textContent"), "Not finishedThe run ended while this seal was at work.");
  EXPECT_EQ(Eval(rows + "[1].dataset.result"), "skipped");
  EXPECT_EQ(Eval("document.getElementById('busy').classList.contains('shown') + ' ' +"
                 "document.getElementById('logInfoButton').disabled"),
            "false false");
}

bool underXvfb = false;

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  seal_test::TestWorld world;
  // The world's service draws nothing; the pages are drawn on the virtual display when there is one.
  underXvfb = std::getenv("DISPLAY") != nullptr;
  qputenv("QT_QPA_PLATFORM", underXvfb ? "xcb" : "offscreen");
  // Pages reach the session through the page bridge, registered as its installer does.
  void* pindral = ::dlopen(PINDRAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (!pindral || reinterpret_cast<HRESULT (*)()>(::dlsym(pindral, "DllRegisterServer"))() != S_OK) {
    std::fprintf(stderr, "the page bridge cannot be registered: %s\n", pindral ? "" : ::dlerror());
    return 1;
  }
  TZarnStartup startup(argc, argv);
  platform::UnexpectedBoxesFail unexpectedBoxes;
  int result = RUN_ALL_TESTS();
  world.EndService();
  return result;
}
