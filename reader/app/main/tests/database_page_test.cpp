// The Database page in the real main window: a read-out of a simulated seal through the
// window, the file saved and opened again (verified anew by the crypto service), the page
// shown for the session's serial number; and the seal data document as page script reads it.
#include <QApplication>
#include <QJsonArray>
#include <QScreen>
#include <QTest>
#include <QWebEngineView>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "actions.h"
#include "dom_script.h"
#include "file_dialog.h"
#include "main_form.h"
#include "page_driver.h"
#include "registry.h"
#include "seal_link_sim.h"
#include "seal_test_env.h"
#include "user.h"
#include "window_test_main.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t Serial = 3000000001u;  // above the signed range: the page must show it unsigned

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class DatabasePageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(page_driver::RegisterPindral(PINDRAL_LIBRARY));
  }

  void SetUp() override {
    char pattern[] = "/tmp/zarn-database-page-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    platform::Registry registry;
    registry.DeleteKey(std::string("\\") + SettingsKeyPath);
    ASSERT_TRUE(registry.OpenKey(std::string("\\") + SettingsKeyPath, true));
    ASSERT_TRUE(registry.WriteBool("ShowDialog", false));
    seal_.Attach(link_);
    map_ = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{{7, link_.ServePty()}});
    seal_test::TestWorld::Get().ServeKeyDatabase(true);
    seal_test::FreshDatabase();
    seal_test::StoreInDatabase(seal_.Keyset());
    form_ = std::make_unique<TMainForm>();
    form_->Trees().SetPortTimeout(500);
    form_->resize(1200, 860);
    form_->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form_.reset();
    fs::remove_all(dir_);
  }

  // Logs on to the simulated seal through the window and reads its status, pad and 30 seal events.
  void ReadOut(const std::string& padText) {
    TTreeNode* com7 = nullptr;
    for (int i = 0; i < form_->Trees().RootNode()->childCount(); ++i)
      if (form_->Trees().RootNode()->child(i)->text(0) == "COM7") com7 = form_->Trees().RootNode()->Child(i);
    ASSERT_NE(com7, nullptr);
    form_->Trees().AddSeal(Serial, com7);
    TTreeNode* node = form_->Trees().FindSealNode(Serial);
    ASSERT_NE(node, nullptr);
    TActionParams p;
    p.Seal = node->seal->NativeSeal();
    p.Port = node->ParentNode()->port;
    ASSERT_TRUE(RunAction(ChallengeThread, p));
    p.Operator1ID = 289;
    ASSERT_TRUE(RunAction(LogonThread, p)) << p.Result;
    ASSERT_TRUE(RunAction(StatusThread, p));
    std::string pad = padText;
    p.PadText = &pad;
    ASSERT_TRUE(RunAction(WritePadThread, p));
    // Thirty events over the last days, a few hours apart.
    for (uint32_t t = 1; t <= 30; ++t)
      seal_.AddSealEvent(MakeSealTime(uint16_t(18960 + t / 2), uint16_t(43200 - 1331 * (t % 30) - 7 * t)));
    p.SealEventsToRead = 30;
    ASSERT_TRUE(RunAction(ReadoutThread, p)) << p.Result;
  }

  // The page's state once painted; a failure's notice is reported.
  std::string Shown(std::string state) {
    if (state == "failed")
      ADD_FAILURE() << Run("return document.getElementById('notice').textContent;").value("value").toString().toStdString();
    return state;
  }
  std::string OpenFromDatabaseList() { return Shown(page_driver::OpenFromDatabaseList(*form_, Serial)); }
  std::string ShowDatabasePage(uint32_t serial) { return Shown(page_driver::ShowDatabasePage(*form_, serial)); }
  // Runs a command that replaces the document while a Database page is on screen; the
  // state that page reaches, shown anew.
  template <class Command>
  std::string ReplaceDocument(Command command) { return Shown(page_driver::AwaitPage(*form_, command)); }
  std::string OpenWhileShown(const fs::path& file) {
    bool opened = false;
    const std::string state =
        ReplaceDocument([&] { opened = form_->OpenDatabase(QString::fromStdString(file.string())); });
    EXPECT_TRUE(opened) << file;
    return state;
  }
  QJsonObject Run(const QString& body) { return page_driver::Run(form_->Browser->page(), body); }

  // The file with one hex digit of its second page's signature (bytes 8-15 of its 64) changed.
  static void TamperSignature(const fs::path& file, const fs::path& tampered) {
    std::string xml = ReadFile(file);
    size_t page = xml.find("<page>");
    page = xml.find("<page>", page + 1);
    ASSERT_NE(page, std::string::npos);
    char& digit = xml[page + 6 + 2 * 8 + 3];
    digit = digit == '0' ? '1' : '0';
    WriteFile(tampered, xml);
  }

  // The verdicts the page shows, in its order.
  std::vector<std::string> Verdicts() {
    std::vector<std::string> all;
    for (const QJsonValue& v :
         Run("return Array.from(document.querySelectorAll('td.authentic, td.not-authentic, td.unchecked'))"
             "            .map(e => e.textContent);")
             .value("value")
             .toArray())
      all.push_back(v.toString().toStdString());
    return all;
  }

  fs::path dir_;
  sim::SealLinkSimulator link_;
  // Firmware 2: pages encrypted in 8-byte blocks, so a changed signature digit leaves the
  // rest of the page readable.
  sim::SimulatedSeal seal_{Serial, 2};
  std::unique_ptr<sim::ScopedPortMap> map_;
  std::unique_ptr<TMainForm> form_;
};

TEST_F(DatabasePageTest, ShowsTheVerifiedPagesAndATamperedFileAsNotAuthentic) {
  ASSERT_NO_FATAL_FAILURE(ReadOut("Gate 3 <b>north</b> & co"));
  const fs::path file = dir_ / "read.xml";
  ASSERT_TRUE(form_->SaveDatabaseAs(QString::fromStdString(file.string())));
  // Opened again, every view is built anew from the hex texts through the crypto service.
  ASSERT_TRUE(form_->OpenDatabase(QString::fromStdString(file.string())));

  ASSERT_EQ(OpenFromDatabaseList(), "ready");
  // Three seal-event pages and the system log's empty page.
  EXPECT_EQ(Verdicts(), std::vector<std::string>(4, "authentic"));
  QJsonObject shown = Run(R"(
      const text = id => document.getElementById(id).textContent;
      return {title: text('title'),
              rows: document.querySelectorAll('#keysets tbody tr').length,
              pad: document.querySelector('pre.pad').textContent,
              padMarkup: document.querySelectorAll('pre.pad *').length,
              operator: Array.from(document.querySelectorAll('.status-grid div'))
                            .find(d => d.firstChild.textContent === 'Operator 1').lastChild.textContent,
              summary: text('summary')};)")
                          .value("value")
                          .toObject();
  EXPECT_EQ(shown.value("title").toString(), "ZARN S/N 3000000001");
  EXPECT_EQ(shown.value("rows").toInt(), 31);  // one row a seal event, one for the empty page
  EXPECT_EQ(shown.value("pad").toString(), "Gate 3 <b>north</b> & co");
  EXPECT_EQ(shown.value("padMarkup").toInt(), 0);
  EXPECT_EQ(shown.value("operator").toString(), "JS");
  EXPECT_EQ(shown.value("summary").toString(), "1key-set4log pages4authentic0not authentic");

  const fs::path tampered = dir_ / "tampered.xml";
  ASSERT_NO_FATAL_FAILURE(TamperSignature(file, tampered));
  ASSERT_EQ(OpenWhileShown(tampered), "ready");
  ASSERT_EQ(OpenFromDatabaseList(), "ready");
  std::vector<std::string> verdicts = Verdicts();
  EXPECT_EQ(std::count(verdicts.begin(), verdicts.end(), "not authentic"), 1) << testing::PrintToString(verdicts);
  EXPECT_EQ(std::count(verdicts.begin(), verdicts.end(), "authentic"), 3);
  EXPECT_EQ(Run("return document.querySelector('.count.bad').textContent;").value("value").toString(),
            "1not authentic");

  // A seal the file does not hold, and no seal chosen.
  EXPECT_EQ(ShowDatabasePage(12), "empty");
  EXPECT_EQ(Run("return document.getElementById('notice').textContent;").value("value").toString(),
            "The seal data file holds nothing for seal 12.");
  EXPECT_EQ(ShowDatabasePage(uint32_t(-1)), "empty");  // the session's -1: no seal chosen

  // A file that writes the serial with a leading zero, and lists the seal twice.
  std::string xml = ReadFile(file);
  const size_t begin = xml.find("<seal "), end = xml.find("</seal>") + 7;
  ASSERT_NE(begin, std::string::npos);
  std::string twice = xml.substr(begin, end - begin);
  const std::string sn = "sn=\"" + std::to_string(Serial) + "\"";
  ASSERT_NE(twice.find(sn), std::string::npos);
  twice.replace(twice.find(sn), sn.size(), "sn=\"0" + std::to_string(Serial) + "\"");
  xml.insert(end, twice);
  const fs::path listedTwice = dir_ / "twice.xml";
  WriteFile(listedTwice, xml);
  ASSERT_EQ(OpenWhileShown(listedTwice), "empty");  // still no seal chosen
  ASSERT_EQ(ShowDatabasePage(Serial), "ready");
  EXPECT_EQ(Verdicts(), std::vector<std::string>(8, "authentic"));
  EXPECT_EQ(Run("return document.getElementById('notice').textContent;").value("value").toString(),
            "The seal data file lists this seal 2 times; the key-sets of every entry are shown.");
}

// The document's members from page script, through the bridge, as the pages use them.
TEST_F(DatabasePageTest, PageScriptReadsTheDocumentAndIsToldOfStaleNodesAndBadXPath) {
  ASSERT_NO_FATAL_FAILURE(ReadOut("pad"));
  ASSERT_EQ(OpenFromDatabaseList(), "ready");
  struct Case {
    const char* body;
    QJsonValue expected;
  };
  const Case cases[] = {
      {"return await (await d.documentElement).nodeName;", "zarn"},
      {"return await (await d.selectSingleNode('/zarn/seal')).getAttribute('sn');", "3000000001"},
      {"return await (await d.selectSingleNode('/zarn/seal')).getAttribute('none');", QJsonValue::Null},
      {"return await (await d.selectNodes('//page')).length;", 4},
      // Newest page first, as the read-out appended them.
      {"const l = await d.selectNodes('//page/plain'); return await (await l.item(2)).getAttribute('no');", "0"},
      {"const l = await d.selectNodes('//page'); return (await l.item(4)) === null;", true},
      {"return (await (await d.selectSingleNode('//page')).text).length;", 128},
      {"return await (await d.selectSingleNode('//pad/plain')).xml;", "<plain><![CDATA[pad]]></plain>"},
      {"const k = await d.selectSingleNode('//key'); return await (await k.childNodes).length;", 6},
      {"const e = await d.selectSingleNode('//event'); return await (await (await e.parentNode).parentNode).nodeName;",
       "page"},
      {"return await (await d.selectSingleNode('//plain[@log=\"fo\"]')).getAttribute('verified');", "authentic"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    QJsonObject answer = Run(QString("const d = await (await zarn.connect()).Document; ") + c.body);
    EXPECT_FALSE(answer.contains("error")) << answer.value("error").toString().toStdString();
    EXPECT_EQ(answer.value("value"), c.expected);
  }

  // An XPath that cannot be read rejects with the parser's reason.
  QJsonObject bad = Run("const d = await (await zarn.connect()).Document; return await d.selectNodes('//page[');");
  EXPECT_TRUE(bad.value("error").toString().startsWith(DomBadXPathText)) << bad.value("error").toString().toStdString();
  EXPECT_EQ(uint32_t(bad.value("number").toDouble()), uint32_t(E_INVALIDARG));

  // A node kept across Session.Open (the file saved and opened again) says so. Asked from
  // the start page: a Database page on screen is shown anew for the file opened.
  const fs::path file = dir_ / "again.zrd";
  ASSERT_TRUE(form_->SaveDatabaseAs(QString::fromStdString(file.string())));
  bool started = false;
  auto loaded = QObject::connect(form_->Browser, &QWebEngineView::loadFinished, [&](bool ok) { started = ok; });
  form_->ViewStartPageMenuItem->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return started; }, page_driver::Timeout));
  QObject::disconnect(loaded);
  QJsonObject stale = Run(QString(R"(
      const s = await zarn.connect();
      const seal = await (await s.Document).selectSingleNode('/zarn/seal');
      await s.Open('%1');
      try { await seal.nodeName; return 'answered'; } catch (e) { return e.message; })")
                              .arg(QString::fromStdString(file.string())));
  EXPECT_EQ(stale.value("value").toString(), DomReplacedText);
  // The document itself reads the tree opened.
  EXPECT_EQ(Run("return await (await (await zarn.connect()).Document).selectNodes('//page').then(l => l.length);")
                .value("value")
                .toInt(),
            4);
}

// New, Open and Session.Open replace the document under a Database page on screen: the
// page shows the new one for the same seal, without its entry being opened again.
TEST_F(DatabasePageTest, APageOnScreenFollowsTheDocumentThroughNewOpenAndSessionOpen) {
  ASSERT_NO_FATAL_FAILURE(ReadOut("pad"));
  const fs::path file = dir_ / "read.xml", tampered = dir_ / "tampered.xml";
  ASSERT_TRUE(form_->SaveDatabaseAs(QString::fromStdString(file.string())));
  ASSERT_NO_FATAL_FAILURE(TamperSignature(file, tampered));
  ASSERT_EQ(OpenFromDatabaseList(), "ready");
  EXPECT_EQ(Verdicts(), std::vector<std::string>(4, "authentic"));
  const auto notice = [&] {
    return Run("return document.getElementById('notice').textContent;").value("value").toString().toStdString();
  };

  EXPECT_EQ(ReplaceDocument([&] { form_->NewMenuItem->trigger(); }), "empty");
  EXPECT_EQ(notice(), "The seal data file holds nothing for seal 3000000001.");

  auto previous = SetFileDialogHandler([&](const TFileDialogRequest&) -> std::optional<QString> {
    return QString::fromStdString(tampered.string());
  });
  EXPECT_EQ(ReplaceDocument([&] { form_->OpenMenuItem->trigger(); }), "ready");
  SetFileDialogHandler(previous);
  std::vector<std::string> verdicts = Verdicts();
  EXPECT_EQ(std::count(verdicts.begin(), verdicts.end(), "not authentic"), 1) << testing::PrintToString(verdicts);
  EXPECT_EQ(std::count(verdicts.begin(), verdicts.end(), "authentic"), 3);

  HRESULT opened = E_FAIL;
  EXPECT_EQ(ReplaceDocument([&] { opened = form_->Session().Open(Bstr::FromUtf8(file.string())); }), "ready");
  EXPECT_EQ(opened, S_OK);
  EXPECT_EQ(Verdicts(), std::vector<std::string>(4, "authentic"));
  int32_t serial = 0;
  form_->Session().get_SerialNumber(&serial);
  EXPECT_EQ(uint32_t(serial), Serial);
}

TEST_F(DatabasePageTest, ScreenshotOfTheDatabasePage) {
  ASSERT_NO_FATAL_FAILURE(ReadOut("Gate 3, north fence.\nSealed by JS in the presence of AC."));
  // With a forged page, so both verdicts show.
  const fs::path file = dir_ / "read.xml", tampered = dir_ / "tampered.xml";
  ASSERT_TRUE(form_->SaveDatabaseAs(QString::fromStdString(file.string())));
  ASSERT_NO_FATAL_FAILURE(TamperSignature(file, tampered));
  ASSERT_TRUE(form_->OpenDatabase(QString::fromStdString(tampered.string())));
  form_->resize(1200, 1000);
  ASSERT_EQ(OpenFromDatabaseList(), "ready");
  // The top of the page, then its seal events.
  for (const char* name : {"database_page.png", "database_page_logs.png"}) {
    QTest::qWait(300);
    const QImage shot = underXvfb ? form_->screen()->grabWindow(form_->winId()).toImage() : form_->grab().toImage();
    EXPECT_TRUE(shot.save(QString(BUILD_DIR "/") + name));
    Run("document.querySelector('h3 + table').scrollIntoView();");
  }
}

}  // namespace
