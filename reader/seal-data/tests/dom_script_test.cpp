// The seal data document as script reads it, called by name through IDispatch as a
// script host calls it: the members, nodes that outlive their tree, XPath that cannot
// be read, and reading while a worker thread writes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <variant>

#include "dom.h"
#include "dom_script.h"
#include "dom_test_util.h"

using namespace dom_test;

namespace {

const TSealTime KeyTime = Time("2024-05-06", "07:08:09");
const TSealTime T1 = Time("2024-06-01", "10:00:00"), T2 = Time("2024-06-01", "11:30:15");

Page Raw(uint8_t fill) {
  Page p;
  p.fill(fill);
  return p;
}

// What a call gave: a value, or the error script would see.
struct Answer {
  Variant value;
  HRESULT hr = S_OK;
  std::string error;
};

Answer Call(const ComPtr<IDispatch>& object, const std::string& name, uint16_t flags, std::vector<Variant> args = {}) {
  Answer answer;
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(answer.hr = object->GetIDsOfNames(IID_IDispatch, {name}, 0, &id))) return answer;
  DISPPARAMS params{std::move(args)};
  EXCEPINFO exception;
  answer.hr = object->Invoke(id, IID_IDispatch, 0, flags, &params, &answer.value, &exception, nullptr);
  if (answer.hr == DISP_E_EXCEPTION) {
    answer.hr = exception.scode;
    answer.error = exception.description;
  }
  return answer;
}

Answer Get(const ComPtr<IDispatch>& object, const std::string& name) {
  return Call(object, name, DISPATCH_PROPERTYGET);
}
Answer Method(const ComPtr<IDispatch>& object, const std::string& name, std::vector<Variant> args) {
  return Call(object, name, DISPATCH_METHOD, std::move(args));
}
Variant Text(const std::string& text) { return Variant(Bstr::FromUtf8(text)); }

ComPtr<IDispatch> Object(const Answer& answer) {
  EXPECT_EQ(answer.hr, S_OK) << answer.error;
  return answer.value.Dispatch();
}
std::string String(const Answer& answer) {
  EXPECT_EQ(answer.hr, S_OK) << answer.error;
  return answer.value.Type() == VT_BSTR ? answer.value.String().Utf8() : "<not text>";
}

class ScriptDom : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(doc.SelectKeyset(1234, 1234u << 8 | 3, KeyTime));
    ASSERT_TRUE(doc.AddLogPage(Raw(0xAA).data(), SealEventPage(5, {0, T1}).data(), AuthenticText));
    ASSERT_TRUE(doc.AddLogPage(Raw(0xBB).data(), SealEventPage(6, {T2}).data(), NotAuthenticText));
    std::vector<uint8_t> pad(64, 0xEE);
    ASSERT_TRUE(doc.AddPad(pad.data(), 0, "A & <b>"));
    document = CreateScriptDocument(doc);
  }
  ComPtr<IDispatch> Node(const std::string& xpath) {
    return Object(Method(document, "selectSingleNode", {Text(xpath)}));
  }

  MainWindow window;
  TZarnDocument doc{window.Host()};
  ComPtr<IDispatch> document;
};

TEST_F(ScriptDom, MembersAnswerAsTheDomDoes) {
  const std::string hexA(128, 'A');
  using Step = std::function<Answer()>;
  struct Case {
    const char* what;
    Step step;
    std::variant<std::string, int32_t, std::nullptr_t> expected;
  };
  const Case cases[] = {
      {"documentElement.nodeName", [&] { return Get(Object(Get(document, "documentElement")), "nodeName"); },
       "zarn"},
      {"names without regard to case", [&] { return Get(Object(Get(document, "DOCUMENTELEMENT")), "NodeName"); },
       "zarn"},
      {"getAttribute", [&] { return Method(Node("/zarn/seal"), "getAttribute", {Text("sn")}); }, "1234"},
      {"getAttribute of no attribute", [&] { return Method(Node("/zarn/seal"), "getAttribute", {Text("no")}); },
       nullptr},
      {"a page's text: hex text and nothing of the view's attributes", [&] { return Get(Node("//page"), "text"); },
       hexA},
      {"the pad's text from its CDATA section", [&] { return Get(Node("//pad/plain"), "text"); }, "A & <b>"},
      {"xml of a view", [&] { return Get(Node("//page/plain"), "xml"); },
       "<plain log=\"fo\" no=\"5\" date=\"2024-06-01\" time=\"10:00:00\" verified=\"authentic\">"
       "<event index=\"2\" date=\"2024-06-01\" time=\"10:00:00\"/></plain>"},
      {"xml escapes", [&] { return Get(Node("//pad/plain"), "xml"); }, "<plain><![CDATA[A & <b>]]></plain>"},
      {"an attribute node", [&] { return Get(Node("//plain/@verified"), "xml"); }, "verified=\"authentic\""},
      {"an attribute's text", [&] { return Get(Node("//plain[@no=6]/@verified"), "text"); }, "not authentic"},
      {"a text node's name", [&] { return Get(Node("//page/text()"), "nodeName"); }, "#text"},
      {"selectNodes.length", [&] { return Get(Object(Method(document, "selectNodes", {Text("//page")})), "length"); },
       int32_t(2)},
      {"selectNodes from a node",
       [&] { return Get(Object(Method(Node("//key"), "selectNodes", {Text("page/plain")})), "length"); }, int32_t(2)},
      {"item in document order",
       [&] {
         auto list = Object(Method(document, "selectNodes", {Text("//plain[@log]")}));
         return Method(Object(Method(list, "item", {Variant(int32_t(1))})), "getAttribute", {Text("no")});
       },
       "6"},
      {"item out of range", [&] {
         return Method(Object(Method(document, "selectNodes", {Text("//page")})), "item", {Variant(int32_t(2))});
       },
       nullptr},
      {"item below 0", [&] {
         return Method(Object(Method(document, "selectNodes", {Text("//page")})), "item", {Variant(int32_t(-1))});
       },
       nullptr},
      {"childNodes: the key's pages and pad",
       [&] { return Get(Object(Get(Node("//key"), "childNodes")), "length"); }, int32_t(3)},
      {"childNodes with the text node first",
       [&] {
         auto children = Object(Get(Node("//page"), "childNodes"));
         return Get(Object(Method(children, "item", {Variant(int32_t(1))})), "nodeName");
       },
       "plain"},
      {"parentNode", [&] { return Get(Object(Get(Node("//event"), "parentNode")), "nodeName"); }, "plain"},
      {"the root's parent is the document",
       [&] {
         auto parent = Object(Get(Object(Get(document, "documentElement")), "parentNode"));
         return Get(Object(Get(parent, "documentElement")), "nodeName");
       },
       "zarn"},
      {"selectSingleNode of nothing", [&] { return Method(document, "selectSingleNode", {Text("//seal[@sn=1]")}); },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Answer answer = c.step();
    ASSERT_EQ(answer.hr, S_OK) << answer.error;
    if (auto* text = std::get_if<std::string>(&c.expected)) {
      EXPECT_EQ(String(answer), *text);
    } else if (auto* number = std::get_if<int32_t>(&c.expected)) {
      ASSERT_EQ(answer.value.Type(), VT_I4);
      EXPECT_EQ(answer.value.Integer(), *number);
    } else {
      EXPECT_TRUE(answer.value.Type() == VT_NULL || (answer.value.Type() == VT_DISPATCH && !answer.value.Dispatch()))
          << "type " << answer.value.Type();
    }
  }
}

TEST_F(ScriptDom, NodesOfAReplacedTreeRefuseAndTheDocumentReadsTheNewOne) {
  ComPtr<IDispatch> seal = Node("/zarn/seal");
  ComPtr<IDispatch> pages = Object(Method(document, "selectNodes", {Text("//page")}));
  doc.NewDocument();
  for (const Answer& answer : {Get(seal, "nodeName"), Method(seal, "selectNodes", {Text("key")}),
                               Get(pages, "length"), Method(pages, "item", {Variant(int32_t(0))})}) {
    EXPECT_EQ(answer.hr, E_FAIL);
    EXPECT_EQ(answer.error, DomReplacedText);
  }
  // The document object itself follows the document to its new tree.
  EXPECT_EQ(String(Get(Object(Get(document, "documentElement")), "xml")), "<zarn/>");
  EXPECT_FALSE(Object(Method(document, "selectSingleNode", {Text("//seal")})));
}

TEST_F(ScriptDom, NodesAndListsTakenBeforeARemovalRefuse) {
  ComPtr<IDispatch> page5 = Node("//page[plain/@no=5]");
  ComPtr<IDispatch> page6 = Node("//page[plain/@no=6]");
  ComPtr<IDispatch> plain5 = Node("//plain[@no=5]");
  ComPtr<IDispatch> pages = Object(Method(document, "selectNodes", {Text("//page")}));
  // Page 5 read again: its old copy goes, the new one is appended.
  ASSERT_TRUE(doc.AddLogPage(Raw(0xCC).data(), SealEventPage(5, {0, T1}).data(), AuthenticText));
  // Also what is still in the tree: a node's place may have gone to another node.
  for (const Answer& answer : {Get(page5, "text"), Get(plain5, "nodeName"), Get(page6, "text"),
                               Method(pages, "item", {Variant(int32_t(0))}),
                               Method(pages, "item", {Variant(int32_t(1))}), Get(pages, "length")}) {
    EXPECT_EQ(answer.hr, E_FAIL);
    EXPECT_EQ(answer.error, DomRemovedText);
  }
  EXPECT_EQ(String(Get(Node("//page[plain/@no=6]"), "text")), std::string(128, 'B'));
  EXPECT_EQ(String(Get(Node("//page[plain/@no=5]"), "text")), std::string(128, 'C'));
  // The parser hands a removed node's memory to the next new node: the node held across
  // a replacement never reads its successor.
  for (int i = 0; i < 50; ++i) {
    ComPtr<IDispatch> held = Node("//page[plain/@no=5]");
    ASSERT_TRUE(doc.AddLogPage(Raw(uint8_t(i)).data(), SealEventPage(5, {0, T1}).data(), AuthenticText));
    EXPECT_EQ(Get(held, "text").error, DomRemovedText) << i;
  }
}

TEST_F(ScriptDom, XPathThatCannotBeReadIsAScriptErrorWithTheParsersReason) {
  ComPtr<IDispatch> key = Node("//key");
  for (const char* xpath : {"//page[", "count(//page)", "//*[name()=]", "", "foo(1)"}) {
    SCOPED_TRACE(xpath);
    for (const Answer& answer : {Method(document, "selectNodes", {Text(xpath)}),
                                 Method(key, "selectSingleNode", {Text(xpath)})}) {
      EXPECT_EQ(answer.hr, E_INVALIDARG);
      EXPECT_EQ(answer.error.rfind(DomBadXPathText, 0), 0u) << answer.error;
      EXPECT_GT(answer.error.size(), std::string(DomBadXPathText).size()) << "the parser's reason is missing";
    }
  }
  // The objects still answer afterwards.
  EXPECT_EQ(String(Get(key, "nodeName")), "key");
}

TEST_F(ScriptDom, NodesOutlivingTheDocumentSayItIsClosed) {
  ComPtr<IDispatch> seal = Node("/zarn/seal");
  {
    TZarnDocument other;
    document = CreateScriptDocument(other);
  }
  for (const Answer& answer : {Get(document, "documentElement")}) {
    EXPECT_EQ(answer.hr, E_FAIL);
    EXPECT_EQ(answer.error, DomClosedText);
  }
  EXPECT_EQ(String(Get(seal, "nodeName")), "seal");
}

// A read-out appends and replaces pages on its thread while script reads on the window
// thread: every read sees a whole tree, and a node either answers or says it went.
TEST_F(ScriptDom, ReadingWhileAWorkerAddsPages) {
  ASSERT_TRUE(doc.AddLogPage(Raw(1).data(), SealEventPage(7, {T1 + 7, T2}).data(), AuthenticText));
  ComPtr<IDispatch> held = Node("//page[plain/@no=7]");
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 2000; ++i) {
      const uint8_t number = uint8_t(i % 40);
      doc.AddLogPage(Raw(uint8_t(i)).data(), SealEventPage(number, {T1 + number, T2}).data(), AuthenticText);
    }
    done = true;
  });
  int reads = 0;
  // Each read answers whole or says a removal came between.
  auto refused = [](const Answer& answer) {
    EXPECT_EQ(answer.error, DomRemovedText);
    return answer.hr != S_OK;
  };
  while (!done) {
    ++reads;
    ComPtr<IDispatch> key = Node("//key");
    if (Answer xml = Get(key, "xml"); xml.hr == S_OK) {
      pugi::xml_document copy;
      EXPECT_TRUE(copy.load_string(xml.value.String().Utf8().c_str()));
    } else if (refused(xml)) {
      continue;
    }
    Answer list = Method(key, "selectNodes", {Text("page")});
    if (list.hr != S_OK && refused(list)) continue;
    ComPtr<IDispatch> pages = Object(list);
    Answer count = Get(pages, "length");
    if (count.hr != S_OK && refused(count)) continue;
    for (int32_t i = 0; i < count.value.Integer(); i += 7) {
      Answer item = Method(pages, "item", {Variant(i)});
      if (item.hr != S_OK && refused(item)) break;
      Answer text = Get(Object(item), "text");
      if (text.hr != S_OK && refused(text)) break;
      EXPECT_EQ(text.value.String().Utf8().size(), 128u);
    }
    Answer old = Get(held, "text");
    EXPECT_TRUE(old.hr == S_OK || refused(old));
  }
  worker.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(Get(Object(Method(document, "selectNodes", {Text("//page")})), "length").value.Integer(), 42);
  EXPECT_EQ(Get(held, "text").error, DomRemovedText);
}

}  // namespace
