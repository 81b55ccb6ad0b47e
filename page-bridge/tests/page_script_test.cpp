// Page script in the real browser: a page of the program's html folder creates the
// bridge and test objects by ProgID and calls them by name; any other page has no way in.
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebEngineView>
#include <dlfcn.h>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include "activation.h"
#include "object_safety.h"
#include "page_objects.h"
#include "page_test_object.h"
#include "script_bridge_page.h"
#include "test_session.h"

namespace {

constexpr int Timeout = 15000;

std::string Json(const QJsonValue& value) {
  return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1).toStdString();
}

// Stands in for the desktop's browser.
class DesktopBrowser : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened.append(url); }
};

class PageScriptTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    registry_ = new QTemporaryDir;
    ::setenv("ZARN_REGISTRY_DIR", registry_->path().toLocal8Bit().constData(), 1);
    void* pindral = ::dlopen(PINDRAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pindral, nullptr) << ::dlerror();
    ASSERT_EQ(reinterpret_cast<HRESULT (*)()>(::dlsym(pindral, "DllRegisterServer"))(), S_OK);
    testObjects_ = ::dlopen(PAGE_TEST_OBJECT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(testObjects_, nullptr) << ::dlerror();
    for (auto [clsid, progId] : {std::pair{CLSID_PageTestObject, PageTestObjectProgId},
                                 std::pair{CLSID_UnsafeTestObject, UnsafeTestObjectProgId}})
      ASSERT_EQ(platform::RegisterInprocServerClass({clsid, "Test Object", std::string(progId) + ".1", progId, GUID{},
                                                     GUID{}, false},
                                                    PAGE_TEST_OBJECT_LIBRARY, "apartment"),
                S_OK);
    ASSERT_EQ(platform::RegisterImplementedCategories(CLSID_PageTestObject, {CATID_SafeForScripting}), S_OK);
  }
  static void TearDownTestSuite() {
    ::unsetenv("ZARN_REGISTRY_DIR");
    delete registry_;
  }

  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    ASSERT_TRUE(QDir(root_.path()).mkdir("html"));
    html_ = root_.path() + "/html";
    WriteFile(html_ + "/page.html");
    WriteFile(html_ + "/other.html");
    WriteFile(root_.path() + "/outside.html");
    page_ = new platform::ScriptBridgePage(html_, &view_);
    view_.setPage(page_);
    view_.resize(400, 300);
    view_.show();
  }

  static void WriteFile(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<!DOCTYPE html><html><body><p>page</p></body></html>");
  }

  bool Load(const QString& path) {
    bool ok = false, done = false;
    auto connection = QObject::connect(page_, &QWebEnginePage::loadFinished, [&](bool success) {
      ok = success;
      done = true;
    });
    page_->load(QUrl::fromLocalFile(path));
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < Timeout) QTest::qWait(10);
    QObject::disconnect(connection);
    return ok;
  }

  // Runs the body of an async function in the page: {"value": ...} or {"error", "number"}.
  QJsonObject Run(const QString& body) {
    page_->runJavaScript(
        "window.__answer = undefined; (async () => {" + body +
        "})().then(v => window.__answer = JSON.stringify({value: v === undefined ? null : v}),"
        "          e => window.__answer = JSON.stringify({error: String(e && e.message), number: e && e.number}));");
    return Answer();
  }

  QJsonObject Answer() {
    QElapsedTimer timer;
    timer.start();
    QString answer;
    while (answer.isEmpty() && timer.elapsed() < Timeout) {
      // Held by the callback too: a read answered after the time is up lands here, not in a
      // frame that has gone.
      auto read = std::make_shared<std::optional<QString>>();
      page_->runJavaScript("window.__answer", [read](const QVariant& v) { *read = v.toString(); });
      while (!*read && timer.elapsed() < Timeout) QTest::qWait(5);
      if (*read) answer = **read;
    }
    return QJsonDocument::fromJson(answer.toUtf8()).object();
  }

  // What a document that does not use our script gets from the transport: "no transport",
  // or the answer to creating an object.
  QString TryTheTransport() {
    QJsonObject answer = Run(R"(
      if (typeof qt === 'undefined' || !qt.webChannelTransport) return 'no transport';
      const objects = await new Promise(r => new QWebChannel(qt.webChannelTransport, c => r(c.objects.zarnPageObjects)));
      const answer = new Promise(r => objects.reply.connect((call, a) => { if (call === 7) r(a); }));
      objects.create(7, 'ZarnTest.PageObject');
      return JSON.stringify(await Promise.race([answer, new Promise(r => setTimeout(r, 1000, 'no answer'))]));)");
    return answer.value("value").toString();
  }

  // An object the page's script made, which the test then calls as the channel delivers
  // calls; their answers land in answers_.
  int ObjectForDirectCalls() {
    const int id = Run("return (await new ActiveXObject('ZarnTest.PageObject')).__zarnObject;").value("value").toInt();
    QObject::connect(&page_->Objects(), &platform::PageObjects::reply,
                     [this](int call, const QVariantMap& answer) { answers_[call] = answer; });
    return id;
  }

  static int Alive() { return reinterpret_cast<int (*)()>(::dlsym(testObjects_, "PageTestObjectsAlive"))(); }
  // The test objects' members run since the last time, in the order they ran.
  static std::string Seen() {
    return reinterpret_cast<const char* (*)()>(::dlsym(testObjects_, "PageTestObjectsSeen"))();
  }

  static inline QTemporaryDir* registry_ = nullptr;
  static inline void* testObjects_ = nullptr;
  QTemporaryDir root_;
  QString html_;
  QWebEngineView view_;
  platform::ScriptBridgePage* page_ = nullptr;
  std::map<int, QVariantMap> answers_;
};

TEST_F(PageScriptTest, APageOfTheFolderReachesTheSessionThroughTheBridge) {
  TestSession session;
  {
    TestMainWindow window("TMainForm", &session);
    ASSERT_TRUE(Load(html_ + "/page.html"));
    EXPECT_TRUE(page_->HasBridge());
    QJsonObject answer = Run(R"(
      const pindral = await new ActiveXObject("Pindral.WebPindral");
      const session = await pindral.session;
      return [await pindral.Info, await pindral.INFO, await session.SerialNumber, await session.serialnumber];)");
    EXPECT_EQ(Json(answer.value("value")),
              R"(["WebPindral for the ZARN Reader","WebPindral for the ZARN Reader",1234,1234])")
        << Json(answer);
    EXPECT_EQ(window.asked, 1);
    EXPECT_EQ(session.refs, 2u);  // the bridge's and the page's
    EXPECT_EQ(Run("return await (await new ActiveXObject('Pindral.WebPindral')).Nothing;").value("number").toInt(),
              DISP_E_UNKNOWNNAME);

    // Reloading releases what the page held: the bridges and their sessions.
    page_->triggerAction(QWebEnginePage::Reload);
    QElapsedTimer timer;
    timer.start();
    while (session.refs != 0 && timer.elapsed() < Timeout) QTest::qWait(10);
    EXPECT_EQ(session.refs, 0u);
    EXPECT_EQ(page_->Objects().ObjectCount(), 0);
  }
}

TEST_F(PageScriptTest, ObjectsAreCalledByNameWithConvertedValuesAndFailuresThrowTheirCode) {
  ASSERT_TRUE(Load(html_ + "/page.html"));
  QJsonObject answer = Run(R"(
    const o = await new ActiveXObject("ZarnTest.PageObject");
    o.name = "Wäge €5";
    const child = await o.CHILD;
    child.Name = "child";
    return [await o.Name, await o.add(2, 3), await o.Byte(255), await o.Sited, await o.describe(child),
            await child.Name];)");
  EXPECT_EQ(Json(answer.value("value")), R"(["Wäge €5",5,255,true,"other is child","child"])") << Json(answer);

  struct Case {
    const char* script;
    HRESULT number;
    const char* message;
  };
  for (Case c : {Case{"o.Fail()", PageTestFailure, PageTestFailureText},
                 Case{"o.Byte(256)", DISP_E_OVERFLOW, "Overflow: Byte"},
                 Case{"o.Byte(-1)", DISP_E_OVERFLOW, "Overflow: Byte"},
                 Case{"o.Add(2147483648, 0)", DISP_E_OVERFLOW, "Overflow: Add"},
                 Case{"o.Add(1)", DISP_E_BADPARAMCOUNT, "Add failed (0x8002000E)"},
                 Case{"o.Missing", DISP_E_UNKNOWNNAME, "Object doesn't support this property or method: Missing"},
                 Case{"new ActiveXObject('ZarnTest.UnsafeObject')", HRESULT(0x800A01ADu),
                      "Automation server can't create object: ZarnTest.UnsafeObject (not safe for scripting)"},
                 Case{"new ActiveXObject('ZarnTest.Nothing')", REGDB_E_CLASSNOTREG,
                      "Automation server can't create object: ZarnTest.Nothing"}}) {
    SCOPED_TRACE(c.script);
    answer = Run(QString("const o = await new ActiveXObject('ZarnTest.PageObject'); return await %1;").arg(c.script));
    EXPECT_EQ(answer.value("number").toInt(), c.number);
    EXPECT_EQ(answer.value("error").toString().toStdString(), c.message);
  }
  // The unsafe class was refused before any object of it was made.
  EXPECT_TRUE(Load(html_ + "/other.html"));
  EXPECT_EQ(Alive(), 0);
}

TEST_F(PageScriptTest, AFailedPropertyWriteRejectsTheNextUseOfItsObjectInsteadOfRunningIt) {
  struct Case {
    const char* write;
    HRESULT number;
    const char* message;
  };
  for (Case c : {Case{"o.Add = 1", DISP_E_MEMBERNOTFOUND, "Add failed (0x80020003)"},  // a method
                 Case{"o.Child = 1", DISP_E_MEMBERNOTFOUND, "Child failed (0x80020003)"},  // read-only
                 Case{"o.Missing = 1", DISP_E_UNKNOWNNAME, "Object doesn't support this property or method: Missing"}}) {
    SCOPED_TRACE(c.write);
    ASSERT_TRUE(Load(html_ + "/page.html"));  // no objects left from the case before
    // A write after the failed one still goes out; the next use (a read that would make a
    // child) rejects and does not run; the use after it answers as usual.
    QJsonObject answer = Run(QString(R"(
      const logged = [];
      console.error = (...parts) => logged.push(parts.join(' '));
      const o = window.o = await new ActiveXObject('ZarnTest.PageObject');
      o.Name = 'before';
      %1;
      o.Name = 'after';
      let thrown = null;
      try { await o.Child; } catch (e) { thrown = e; }
      return {number: thrown && thrown.number, message: thrown && thrown.message, name: await o.Name, logged};)")
                                 .arg(c.write));
    QJsonObject value = answer.value("value").toObject();
    EXPECT_EQ(value.value("number").toInt(), c.number) << Json(answer);
    EXPECT_EQ(value.value("message").toString().toStdString(), c.message);
    EXPECT_EQ(value.value("name").toString(), "after");
    // Also told on the console, for a page that never uses the object again.
    EXPECT_EQ(Json(value.value("logged")), Json(QJsonArray{QString("A property write failed: ") + c.message}));
    EXPECT_EQ(Alive(), 1);  // no child was made
  }

  // Thrown once, and only by its own object: another object's call meanwhile answers, and the
  // object's call after the one that threw runs.
  ASSERT_TRUE(Load(html_ + "/page.html"));
  QJsonObject answer = Run(R"(
    console.error = () => {};
    const o = await new ActiveXObject('ZarnTest.PageObject');
    const other = await new ActiveXObject('ZarnTest.PageObject');
    o.Add = 1;
    const fine = await other.Add(1, 1);
    const failed = await o.Add(2, 2).then(() => 'no error', e => e.number);
    return [fine, failed, await o.Add(3, 3)];)");
  EXPECT_EQ(Json(answer.value("value")), "[2," + std::to_string(DISP_E_MEMBERNOTFOUND) + ",6]") << Json(answer);
}

// Whatever waits for a write's answer, the host runs reads, calls and writes in the order the
// page made them, across objects too; a write's failure is thrown by the first use after it.
TEST_F(PageScriptTest, TheHostSeesReadsCallsAndWritesInTheOrderThePageMadeThem) {
  struct Case {
    const char* script;
    const char* value;
    const char* seen;
  };
  for (Case c : {
           // A call between two writes sees the first.
           Case{"o.Name = 'a'; const d = o.Describe(o); o.Name = 'b'; return [await d, await o.Name];",
                R"(["other is a","b"])", "Name=a Describe Name Name=b Name"},
           // A read is made where it is named, though script calls its then after the code that follows.
           Case{"o.Name = 'a'; const read = (async () => await o.Name)(); o.Name = 'b'; return [await read, await o.Name];",
                R"(["a","b"])", "Name=a Name Name=b Name"},
           // Not read by the end of its task, it gives its place up to what came after it.
           Case{"const later = o.Name; o.Name = 'a'; await new Promise(r => setTimeout(r, 50)); return await later;",
                R"("a")", "Name=a Name"},
           // A call waiting for a write (one that keeps the loop running) runs before the write
           // made after it, whose failure only the use after that write throws.
           Case{"o.Delay = 300; const sum = o.Add(1, 2); o.Delay = -1;"
                "return [await sum, await o.Name.then(() => 'ran', e => e.message)];",
                R"*([3,"Delay failed (0x80070057)"])*", "Delay=300 Add Delay=-1"},
           // Another object's call that reads this one comes after this one's writes.
           Case{"const child = await o.Child; child.Name = 'a'; child.Add(1, 1); child.Name = 'b';"
                "return await o.Describe(child);",
                R"("other is b")", "Child Name=a Add Name=b Describe Name"}}) {
    SCOPED_TRACE(c.script);
    ASSERT_TRUE(Load(html_ + "/page.html"));
    Seen();
    QJsonObject answer = Run(QString("console.error = () => {}; const o = await new ActiveXObject('ZarnTest.PageObject');") +
                             c.script);
    EXPECT_EQ(Json(answer.value("value")), c.value) << Json(answer);
    EXPECT_EQ(Seen(), c.seen);
  }
}

// A value the host cannot take fails its own request at once, a write where it is written,
// and every request of the page after it is answered as usual, in its order.
TEST_F(PageScriptTest, ARequestWithAValueTheHostCannotTakeFailsAloneAndAtOnce) {
  const std::string takes = "; it takes a number, a string, a boolean, null or an automation object";
  struct Case {
    const char* script;
    std::string message;
  };
  for (const Case& c : {Case{"o.Add(1n, 2)", "argument 1 of Add cannot be a BigInt"},
                        Case{"o.Describe([o])", "argument 1 of Describe cannot be an array"},
                        Case{"o.Add(1, (() => { const c = {}; c.c = c; return c; })())",
                             "argument 2 of Add cannot be an object"},
                        Case{"o.Add(() => 1, 2)", "argument 1 of Add cannot be a function"},
                        Case{"o.Name = () => 1", "Name cannot be a function"},
                        Case{"o.Name = 5n", "Name cannot be a BigInt"}}) {
    SCOPED_TRACE(c.script);
    ASSERT_TRUE(Load(html_ + "/page.html"));
    Seen();
    QJsonObject answer = Run(QString(R"(
      const o = await new ActiveXObject('ZarnTest.PageObject');
      o.Name = 'a';
      const sum = o.Add(1, 2);
      let thrown = null, settled = false;
      try { const faulty = %1; setTimeout(() => settled = 'late'); await faulty; } catch (e) { thrown = e; }
      settled = settled || 'at once';
      o.Name = 'b';
      return [thrown && thrown.number, thrown && thrown.message, settled, await sum, await o.Name,
              await o.Describe(o)];)")
                                 .arg(c.script));
    EXPECT_EQ(Json(answer.value("value")),
              Json(QJsonArray{int(DISP_E_TYPEMISMATCH), QString::fromStdString("Type mismatch: " + c.message + takes),
                              "at once", 3, "b", "other is b"}))
        << Json(answer);
    EXPECT_EQ(Seen(), "Name=a Add Name=b Name Describe Name");
  }
}

// The browser may start a navigation between a request's arrival and its turn: its answer is
// dropped with the page. When the navigation never commits (here a download), the page is
// still on screen, so that answer comes after all, and so does one of a call still running.
TEST_F(PageScriptTest, APageThatStaysAfterANavigationThatNeverCommittedHasEveryCallAnswered) {
  {
    QFile data(html_ + "/data.bin");
    ASSERT_TRUE(data.open(QIODevice::WriteOnly));
    data.write(QByteArray(100, '\0'));
  }
  ASSERT_TRUE(Load(html_ + "/page.html"));
  const int id = ObjectForDirectCalls();
  ASSERT_GT(id, 0);
  platform::PageObjects& objects = page_->Objects();
  // A call that keeps the loop running; inside it, a call arrives just before the navigation
  // starts and takes its turn after it.
  objects.invoke(1001, id, "Wait", {600});
  QTimer::singleShot(100, &objects, [&] {
    objects.invoke(1002, id, "Add", {2, 3});
    objects.PageLeaving();
  });
  QTimer::singleShot(300, page_, [this] { page_->load(QUrl::fromLocalFile(html_ + "/data.bin")); });
  QElapsedTimer timer;
  timer.start();
  while ((!answers_.count(1001) || !answers_.count(1002)) && timer.elapsed() < Timeout) QTest::qWait(10);
  EXPECT_EQ(page_->url(), QUrl::fromLocalFile(html_ + "/page.html"));
  for (int call : {1001, 1002}) {
    SCOPED_TRACE(call);
    EXPECT_EQ(answers_[call].value("error").toMap().value("number").toInt(), E_ABORT);
    EXPECT_EQ(answers_[call].value("error").toMap().value("message").toString(),
              "The call was ended: the page started to leave and released its objects");
  }
  // It goes on with objects of its own.
  EXPECT_EQ(Run("return (await new ActiveXObject('ZarnTest.PageObject')).Add(1, 1);").value("value").toInt(), 2);
}

TEST_F(PageScriptTest, AnswersDueToAPageThatWentAreDroppedAndTheirObjectsReleased) {
  ASSERT_TRUE(Load(html_ + "/page.html"));
  ASSERT_EQ(Run("window.o = await new ActiveXObject('ZarnTest.PageObject'); return 1;").value("value").toInt(), 1);
  ASSERT_EQ(Alive(), 1);
  // The call keeps the loop running for a while; the page goes meanwhile, by a timer
  // that fires inside the call's wait.
  bool loaded = false;
  auto connection = QObject::connect(page_, &QWebEnginePage::loadFinished, [&](bool ok) { loaded = ok; });
  page_->runJavaScript("window.o.Wait(1500).then(late => { window.late = late; });");
  QTimer::singleShot(300, page_, [this] { page_->load(QUrl::fromLocalFile(html_ + "/other.html")); });
  QElapsedTimer timer;
  timer.start();
  while ((!loaded || timer.elapsed() < 2000) && timer.elapsed() < Timeout) QTest::qWait(10);
  QObject::disconnect(connection);
  ASSERT_TRUE(loaded);
  QJsonObject answer = Run("const o = await new ActiveXObject('ZarnTest.PageObject'); return await o.Add(20, 22);");
  EXPECT_EQ(answer.value("value").toInt(), 42);
  EXPECT_EQ(Run("return typeof window.late;").value("value").toString(), "undefined");
  EXPECT_EQ(page_->Objects().ObjectCount(), 1);  // this page's object, not the late one
  ASSERT_TRUE(Load(html_ + "/page.html"));
  EXPECT_EQ(Alive(), 0);
}

TEST_F(PageScriptTest, TheBrowserClosingDuringACallLeavesNothingBehind) {
  ASSERT_TRUE(Load(html_ + "/page.html"));
  ASSERT_EQ(Run("window.o = await new ActiveXObject('ZarnTest.PageObject'); return 1;").value("value").toInt(), 1);
  ASSERT_EQ(Alive(), 1);
  // Goes while the call keeps the loop running: the timer fires inside the call's wait.
  page_->runJavaScript("window.o.Wait(800);");
  QTimer::singleShot(200, [this] { delete std::exchange(page_, nullptr); });
  QElapsedTimer timer;
  timer.start();
  while (Alive() != 0 && timer.elapsed() < Timeout) QTest::qWait(10);
  EXPECT_EQ(Alive(), 0);
  EXPECT_EQ(page_, nullptr);
}

TEST_F(PageScriptTest, PagesOutsideTheFolderGetNoBridgeAtAnyNavigation) {
  TestSession session;
  TestMainWindow window("TMainForm", &session);
  // Inside by its name, outside by where it really is.
  ASSERT_TRUE(QFile::link(root_.path() + "/outside.html", html_ + "/link.html"));
  for (const QString& path : {root_.path() + "/outside.html", html_ + "/link.html", html_ + "/../outside.html"}) {
    SCOPED_TRACE(path.toStdString());
    ASSERT_TRUE(Load(html_ + "/page.html"));
    ASSERT_TRUE(page_->HasBridge());
    ASSERT_TRUE(Load(path));
    EXPECT_FALSE(page_->HasBridge());
    QJsonObject answer = Run("return [typeof ActiveXObject, typeof qt === 'undefined' ? 'none' : typeof qt.webChannelTransport];");
    EXPECT_EQ(Json(answer.value("value")), R"(["undefined","none"])") << Json(answer);
  }
  EXPECT_EQ(window.asked, 0);
  EXPECT_EQ(session.refs, 0u);
  // A page of the folder again has it.
  ASSERT_TRUE(Load(html_ + "/other.html"));
  EXPECT_EQ(Run("return (await new ActiveXObject('ZarnTest.PageObject')).add(1, 1);").value("value").toInt(), 2);
}

TEST_F(PageScriptTest, LinksToTheOutsideOpenInTheDesktopsBrowser) {
  DesktopBrowser browser;
  QDesktopServices::setUrlHandler("https", &browser, "open");
  ASSERT_TRUE(Load(html_ + "/page.html"));
  // The last asks for a new window.
  Run("for (const href of ['https://example.org/help', 'https://example.org/other', 'https://example.org/new']) {"
      " const a = document.createElement('a'); a.href = href; a.target = href.endsWith('new') ? '_blank' : '';"
      " document.body.appendChild(a); a.click(); }");
  QElapsedTimer timer;
  timer.start();
  while (browser.opened.size() < 3 && timer.elapsed() < Timeout) QTest::qWait(10);
  // So does a form sent outside and an address set by script.
  Run("const f = document.createElement('form'); f.action = 'https://example.org/form'; f.method = 'post';"
      " document.body.appendChild(f); f.submit();");
  timer.restart();
  while (browser.opened.size() < 4 && timer.elapsed() < Timeout) QTest::qWait(10);
  Run("location.href = 'https://example.org/script';");
  timer.restart();
  while (browser.opened.size() < 5 && timer.elapsed() < Timeout) QTest::qWait(10);
  QDesktopServices::unsetUrlHandler("https");
  EXPECT_EQ(browser.opened,
            QList<QUrl>({QUrl("https://example.org/help"), QUrl("https://example.org/other"),
                         QUrl("https://example.org/new"), QUrl("https://example.org/form"),
                         QUrl("https://example.org/script")}));
  EXPECT_EQ(page_->url(), QUrl::fromLocalFile(html_ + "/page.html"));
  EXPECT_TRUE(page_->HasBridge());

  // A page of the folder asked for in a new window shows here.
  Run("const a = document.createElement('a'); a.href = 'other.html'; a.target = '_blank';"
      " document.body.appendChild(a); a.click();");
  timer.restart();
  while (page_->url() != QUrl::fromLocalFile(html_ + "/other.html") && timer.elapsed() < Timeout) QTest::qWait(10);
  EXPECT_EQ(page_->url(), QUrl::fromLocalFile(html_ + "/other.html"));
  EXPECT_TRUE(page_->HasBridge());
}

// The desktop hands a local file or an unknown scheme to whatever application claims it:
// only web and mail addresses go out, anything else goes nowhere. Clicked for real, since
// the browser passes on a scheme it does not know only from a person's click.
TEST_F(PageScriptTest, OnlyWebAndMailAddressesLeaveForTheDesktop) {
  DesktopBrowser browser;
  const QStringList schemes{"http", "https", "mailto", "file", "foo", "ftp"};
  for (const QString& scheme : schemes) QDesktopServices::setUrlHandler(scheme, &browser, "open");
  ASSERT_TRUE(Load(html_ + "/page.html"));
  const QString outside = QUrl::fromLocalFile(root_.path() + "/outside.html").toString();
  const std::pair<QString, bool> addresses[] = {
      {"https://example.org/help", true}, {"http://example.org/plain", true},
      {"mailto:someone@example.org", true}, {"file:///etc/passwd", false},
      {outside, false}, {"foo:bar", false}, {"ftp://example.org/file", false}};
  // A link over the whole page, in the page's window or a new one, or an address set by script.
  const auto click = [&](const QString& href, const QString& target) {
    Run("document.body.innerHTML = ''; window.clicked = false; const a = document.createElement('a');"
        " a.href = '" + href + "'; a.target = '" + target + "'; a.textContent = 'go';"
        " a.style = 'position: fixed; left: 0; top: 0; right: 0; bottom: 0; display: block';"
        " a.onclick = () => window.clicked = true; document.body.appendChild(a);");
    QTest::mouseClick(view_.focusProxy(), Qt::LeftButton, {}, QPoint(200, 150));
    QElapsedTimer timer;
    timer.start();
    while (!Run("return window.clicked;").value("value").toBool() && timer.elapsed() < Timeout) QTest::qWait(10);
  };
  const std::function<void(const QString&)> ways[] = {
      [&](const QString& href) { click(href, ""); },
      [&](const QString& href) { click(href, "_blank"); },
      [&](const QString& href) { Run("location.href = '" + href + "';"); }};
  const QString last = "https://example.org/last";
  for (const auto& way : ways) {
    for (const auto& [address, out] : addresses) {
      // Without a click the browser itself keeps a scheme it does not know from the page.
      if (&way == &ways[2] && !address.startsWith("http") && !address.startsWith("file")) continue;
      SCOPED_TRACE(QString("way %1: %2").arg(&way - ways).arg(address).toStdString());
      browser.opened.clear();
      way(address);
      // A web address after it, and a while for a scheme the browser hands on later.
      Run("location.href = '" + last + "';");
      QStringList expected{last};
      if (out) expected.append(address);
      expected.sort();
      const auto opened = [&] {
        QStringList urls;
        for (const QUrl& url : browser.opened) urls.append(url.toString());
        urls.sort();
        return urls.join(' ').toStdString();
      };
      QElapsedTimer timer;
      timer.start();
      while (browser.opened.size() < expected.size() && timer.elapsed() < Timeout) QTest::qWait(10);
      QTest::qWait(200);
      EXPECT_EQ(opened(), expected.join(' ').toStdString());
      EXPECT_EQ(page_->url(), QUrl::fromLocalFile(html_ + "/page.html"));
    }
  }
  for (const QString& scheme : schemes) QDesktopServices::unsetUrlHandler(scheme);
  EXPECT_TRUE(page_->HasBridge());
}

TEST_F(PageScriptTest, AnOutsideDocumentStillOnScreenGetsNothingWhileAPageOfTheFolderLoads) {
  // Pending until written to: the outside document stays on screen meanwhile.
  const QString slow = html_ + "/slow.html";
  ASSERT_EQ(::mkfifo(slow.toLocal8Bit().constData(), 0600), 0);
  ASSERT_TRUE(Load(root_.path() + "/outside.html"));
  page_->load(QUrl::fromLocalFile(slow));
  QTest::qWait(300);
  const QString answer = TryTheTransport();
  EXPECT_TRUE(answer == "no transport" || answer.contains("Permission denied")) << answer.toStdString();
  EXPECT_EQ(Alive(), 0);

  // Let it end (a pipe is no page it shows).
  {
    bool done = false;
    auto connection = QObject::connect(page_, &QWebEnginePage::loadFinished, [&] { done = true; });
    QFile fifo(slow);
    ASSERT_TRUE(fifo.open(QIODevice::WriteOnly));
    fifo.close();
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < Timeout) QTest::qWait(10);
    QObject::disconnect(connection);
  }
  EXPECT_EQ(Alive(), 0);

  // A page of the folder coming after an outside one uses the bridge from its first script on.
  {
    QFile first(html_ + "/first.html");
    ASSERT_TRUE(first.open(QIODevice::WriteOnly));
    first.write("<!DOCTYPE html><html><body><script>"
                "window.made = new ActiveXObject('ZarnTest.PageObject').then(o => o.Add(1, 2));</script></body></html>");
  }
  ASSERT_TRUE(Load(root_.path() + "/outside.html"));
  ASSERT_TRUE(Load(html_ + "/first.html"));
  EXPECT_EQ(Json(Run("return await window.made;").value("value")), "3");
  EXPECT_TRUE(page_->HasBridge());

  // A page of the folder that never shows (a download) leaves the outside document without it.
  {
    QFile data(html_ + "/data.bin");
    ASSERT_TRUE(data.open(QIODevice::WriteOnly));
    data.write(QByteArray(100, '\0'));
  }
  ASSERT_TRUE(Load(root_.path() + "/outside.html"));
  ASSERT_FALSE(Load(html_ + "/data.bin"));
  EXPECT_EQ(page_->url(), QUrl::fromLocalFile(root_.path() + "/outside.html"));
  EXPECT_FALSE(page_->HasBridge());
  EXPECT_EQ(TryTheTransport().toStdString(), "no transport");
  EXPECT_EQ(Alive(), 0);
}

TEST_F(PageScriptTest, AReleaseWaitsForTheCallsBeforeIt) {
  ASSERT_TRUE(Load(html_ + "/page.html"));
  const int id = ObjectForDirectCalls();
  ASSERT_GT(id, 0);
  // In the order the channel delivers them: a call, the release the page's collector sends, a call.
  platform::PageObjects& objects = page_->Objects();
  objects.invoke(1001, id, "Add", {2, 3});
  objects.release(id);
  objects.invoke(1002, id, "Add", {2, 3});
  QElapsedTimer timer;
  timer.start();
  while ((!answers_.count(1001) || !answers_.count(1002)) && timer.elapsed() < Timeout) QTest::qWait(10);
  EXPECT_EQ(answers_[1001].value("value").toInt(), 5) << Json(QJsonObject::fromVariantMap(answers_[1001]));
  EXPECT_EQ(answers_[1002].value("error").toMap().value("message").toString(), "The object is no longer available: Add");
  EXPECT_EQ(Alive(), 0);
}

}  // namespace

#include "page_script_test.moc"
