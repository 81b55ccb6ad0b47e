// The session, seal and group objects called through IDispatch as page script and
// outside clients call them, against simulated seals on a pseudo-terminal and on
// loopback TCP, with the real crypto service on a private bus.
#include <QApplication>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "actions.h"
#include "initials.h"
#include "main_form.h"
#include "message_box.h"
#include "registry.h"
#include "seal_link_sim.h"
#include "seal_test_env.h"
#include "unexpected_boxes.h"
#include "window_wait.h"
#include "zarn_startup.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t Serial = 4711;
constexpr uint32_t PortTimeout = 300;

// A call by name, looked up as written, as a script host makes it.
HRESULT Call(IDispatch* object, const std::string& name, uint16_t flags, std::vector<Variant> args = {},
             Variant* result = nullptr) {
  DISPID id = DISPID_UNKNOWN;
  if (HRESULT hr = object->GetIDsOfNames(GUID{}, {name}, 0, &id); FAILED(hr)) return hr;
  DISPPARAMS params{std::move(args)};
  return object->Invoke(id, GUID{}, 0, flags, &params, result, nullptr, nullptr);
}

HRESULT Method(IDispatch* object, const std::string& name, std::vector<Variant> args = {},
               Variant* result = nullptr) {
  return Call(object, name, DISPATCH_METHOD, std::move(args), result);
}

// A property's value; VT_ERROR with the HRESULT when the get failed.
Variant Get(IDispatch* object, const std::string& name) {
  Variant value;
  HRESULT hr = Call(object, name, DISPATCH_PROPERTYGET, {}, &value);
  return SUCCEEDED(hr) ? value : Variant::Of(VT_ERROR, hr);
}

std::string Text(IDispatch* object, const std::string& name) { return Get(object, name).String().Utf8(); }

template <class Object>
ComPtr<IDispatch> DispatchOf(Object* object) {
  return ComPtr<IDispatch>(static_cast<IDispatch*>(object));
}

TTreeNode* ChildNamed(TTreeNode* node, const QString& text) {
  for (int i = 0; i < node->childCount(); ++i)
    if (node->child(i)->text(0) == text) return node->Child(i);
  return nullptr;
}

class AutomationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Registry registry;
    registry.DeleteKey(std::string("\\") + SettingsKeyPath);
    ASSERT_TRUE(registry.OpenKey(std::string("\\") + SettingsKeyPath, true));
    ASSERT_TRUE(registry.WriteBool("ShowDialog", false));
    registry.CloseKey();
    seal_.Attach(link_);
    device_ = link_.ServePty();
    map_ = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{{7, device_}});
    seal_test::TestWorld::Get().ServeKeyDatabase(true);
    seal_test::FreshDatabase();
    seal_test::StoreInDatabase(seal_.Keyset());
    TSetupTrees::SetPortTimeout(PortTimeout);  // the COM ports are made as the window starts
    form_ = std::make_unique<TMainForm>();
    form_->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    if (form_) form_->Session().Silent();  // nothing asks on the way out
    form_.reset();
  }
  TTreeNode* Com7() { return ChildNamed(form_->Trees().RootNode(), "COM7"); }
  TTreeNode* AddSeal(uint32_t serial, TTreeNode* port = nullptr) {
    return form_->Trees().AddSeal(serial, port ? port : Com7());
  }
  ComPtr<IDispatch> SealObject(TTreeNode* node) { return DispatchOf(node->seal.Get()); }
  ComPtr<IDispatch> Session() {
    return ComPtr<IDispatch>::Attach(
        reinterpret_cast<IZarnReaderSession*>(SendMessage(form_->Handle(), WM_GETSESSION, 0, 0)));
  }
  std::vector<int> StatesUnder(TTreeNode* port) {
    std::vector<int> states;
    for (int i = 0; i < port->childCount(); ++i) states.push_back(port->Child(i)->StateIndex());
    return states;
  }

  // What the session keeps of its last Find: its result, the ports searched, the ports that did not open.
  std::string FindOutcome(IDispatch* session) {
    std::string outcome;
    for (const char* name : {"Find.Result", "Find.Ports", "Find.Failed"}) {
      Variant value;
      EXPECT_EQ(Method(session, "GetValue", {Variant(Bstr::FromUtf8(name))}, &value), S_OK);
      outcome += (outcome.empty() ? "" : "|") + value.String().Utf8();
    }
    return outcome;
  }

  sim::SealLinkSimulator link_;
  sim::SimulatedSeal seal_{Serial, 3};
  std::string device_;
  std::unique_ptr<sim::ScopedPortMap> map_;
  std::unique_ptr<TMainForm> form_;
};

// ---- type information ----

TEST(ZarnTypeLibrary, NamesFindTheirDispidsInAnyLetterCase) {
  struct Case {
    const InterfaceInfo& info;
    const char* name;
    DISPID id;
  };
  const Case cases[] = {
      {ZarnReaderSealInterfaceInfo(), "serialnumber", 1},   {ZarnReaderSealInterfaceInfo(), "GETCHALLENGE", 10},
      {ZarnReaderSealInterfaceInfo(), "ReadPad", 17},       {ZarnReaderSealInterfaceInfo(), "createkeyset", 20},
      {ZarnReaderSealInterfaceInfo(), "NativeObject", 28},  {ZarnReaderSealInterfaceInfo(), "exstatusflags", 26},
      {ZarnReaderSealGroupInterfaceInfo(), "SEAL", 3},      {ZarnReaderSessionInterfaceInfo(), "open", 16},
      {ZarnReaderSessionInterfaceInfo(), "Silent", 19},     {ZarnReaderSessionInterfaceInfo(), "FIND", 17},
      {ZarnReaderSessionInterfaceInfo(), "expert", 12},     {ZarnReaderSessionInterfaceInfo(), "Time", 15},
  };
  for (const Case& c : cases) {
    DISPID id = 0;
    EXPECT_EQ(LookUpNames(c.info, {c.name}, &id), S_OK) << c.name;
    EXPECT_EQ(id, c.id) << c.name;
  }
  EXPECT_EQ(ZarnReaderSealInterfaceInfo().members.size(), 27u);
  EXPECT_EQ(ZarnReaderSessionInterfaceInfo().members.size(), 18u);
  EXPECT_TRUE(ZarnReaderSessionEventsInfo().members.empty());
  const TypeLibInfo& lib = ZarnTypeLibInfo();
  EXPECT_STREQ(lib.help, "Zarn Library");
  ASSERT_EQ(lib.classes.size(), 3u);
  EXPECT_STREQ(ZarnReaderSessionClassInfo().help, "ZarnReaderSession Object");
  EXPECT_STREQ(ZarnReaderSealGroupEventsInfo().help, "Events interface for ZarnReaderSealGroup Object");
}

TEST_F(AutomationTest, EachObjectHasOneConnectionPointForItsEvents) {
  ComPtr<IDispatch> session = Session();
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(session.As(IID_IConnectionPointContainer, container), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(DIID_IZarnReaderSealEvents, point.Put()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(DIID_IZarnReaderSessionEvents, point.Put()), S_OK);
  IID iid{};
  point->GetConnectionInterface(&iid);
  EXPECT_EQ(iid, DIID_IZarnReaderSessionEvents);

  // A script sink answers IDispatch; the point holds it until Unadvise.
  ComPtr<IDispatch> sink = DispatchOf(form_->Trees().AllSealsNode()->group.Get());
  uint32_t cookie = 0;
  ASSERT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.Put()), S_OK);
  CONNECTDATA data[2];
  uint32_t fetched = 0;
  EXPECT_EQ(connections->Next(2, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(data[0].cookie, cookie);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);

  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(point->GetConnectionPointContainer(back.Put()), S_OK);
  EXPECT_EQ(back.Get(), container.Get());
}

// ---- the seal object ----

TEST_F(AutomationTest, EverySealMemberThroughIDispatch) {
  form_->Options().operator1 = "JS";
  form_->Options().operator2 = "AB";
  ComPtr<IDispatch> seal = SealObject(AddSeal(Serial));
  EXPECT_EQ(Get(seal.Get(), "Address").Integer(), Serial);
  EXPECT_EQ(Get(seal.Get(), "Address").Type(), VT_UI4);
  EXPECT_EQ(Text(seal.Get(), "KeysetNumber"), "");  // number 0 before the challenge
  EXPECT_EQ(Text(seal.Get(), "KeysetDate"), "");

  ASSERT_EQ(Method(seal.Get(), "getchallenge"), S_OK);
  const sim::SealKeyset keyset = seal_.Keyset();
  EXPECT_EQ(Text(seal.Get(), "KeysetNumber"), KeysetNumberToText(keyset.number));
  EXPECT_EQ(Text(seal.Get(), "KEYSETDATE"), SealTimeToDateText(keyset.time));
  EXPECT_EQ(Text(seal.Get(), "KeysetTime"), SealTimeToTimeText(keyset.time));
  EXPECT_EQ(Text(seal.Get(), "Firmware"), VersionToText(3, 0));
  EXPECT_EQ(Get(seal.Get(), "SerialNumber").Integer(), Serial);

  ASSERT_EQ(Method(seal.Get(), "Logon"), S_OK);
  EXPECT_EQ(seal_.Operator1(), InitialsToUserId("JS"));
  EXPECT_EQ(seal_.Operator2(), InitialsToUserId("AB"));
  EXPECT_TRUE(Get(seal.Get(), "LoggedOn").Bool());
  EXPECT_EQ(Get(seal.Get(), "LoggedOn").Type(), VT_BOOL);

  for (uint32_t t = 1; t <= 14; ++t) seal_.AddSealEvent(1000 + t);
  seal_.AddSystemEvent(2000, 7);
  seal_.SetExtendedStatus(0xA5);
  ASSERT_EQ(Method(seal.Get(), "GetLogInfo"), S_OK);
  EXPECT_EQ(Get(seal.Get(), "SealEvents").Integer(), 14);
  EXPECT_EQ(Get(seal.Get(), "SystemEvents").Integer(), 1);
  EXPECT_EQ(Get(seal.Get(), "SoHRecords").Integer(), 0);
  EXPECT_EQ(Get(seal.Get(), "ExStatusFlags").Integer(), 0xA5);

  seal_.SetClockOffset(90);
  ASSERT_EQ(Method(seal.Get(), "GetStatus"), S_OK);
  EXPECT_EQ(Get(seal.Get(), "Deviation").Integer(), 90);
  ASSERT_EQ(Method(seal.Get(), "Synchronize"), S_OK);
  EXPECT_NEAR(seal_.ClockOffset(), 0, 2);

  ASSERT_EQ(Method(seal.Get(), "WritePad", {Variant(Bstr::FromUtf8("Gate 3 — ÄÖ"))}), S_OK);
  Variant pad;
  ASSERT_EQ(Method(seal.Get(), "ReadPad", {}, &pad), S_OK);
  EXPECT_EQ(pad.String().Utf8(), "Gate 3 — ÄÖ");  // single-byte text of the system both ways
  ASSERT_EQ(Method(seal.Get(), "ClearPad"), S_OK);
  ASSERT_EQ(Method(seal.Get(), "readpad", {}, &pad), S_OK);
  EXPECT_EQ(pad.String().Utf8(), "");

  ASSERT_EQ(Method(seal.Get(), "Readout", {Variant(14), Variant(1), Variant(0)}), S_OK);
  EXPECT_EQ(form_->Document().WithDom([](const pugi::xml_document& d) {
    return d.select_nodes("/zarn/seal/key/page").size();
  }), 3u);  // two seal-event pages and the system-event page

  ASSERT_EQ(Method(seal.Get(), "Logoff"), S_OK);
  EXPECT_FALSE(Get(seal.Get(), "LoggedOn").Bool());
  ASSERT_EQ(Method(seal.Get(), "CreateKeyset", {Variant(0)}), S_OK);
  EXPECT_NE(seal_.Keyset().number, keyset.number);
  ASSERT_EQ(Method(seal.Get(), "EraseKeyset"), S_OK);
  EXPECT_EQ(seal_.Keyset().number, 0u);
  EXPECT_EQ(Text(seal.Get(), "Error"), "");
  EXPECT_EQ(Text(seal.Get(), "Reason"), "");

  // In-process only: the seal's command layer itself.
  Variant native = Get(seal.Get(), "NativeObject");
  ASSERT_EQ(native.Type(), VT_UNKNOWN);
  ComPtr<INativePointer> pointer;
  ASSERT_EQ(native.Unknown().As(IID_INativePointer, pointer), S_OK);
  EXPECT_EQ(pointer->Pointer(), form_->Trees().FindSealNode(Serial)->seal->NativeSeal().get());
}

TEST_F(AutomationTest, FailuresLeaveTheMethodsTextAndTheReason) {
  TTreeNode* node = AddSeal(Serial);
  ComPtr<IDispatch> seal = SealObject(node);
  ASSERT_EQ(Method(seal.Get(), "GetChallenge"), S_OK);

  // Empty initials send operator IDs 0.
  ASSERT_EQ(Method(seal.Get(), "Logon"), S_OK);
  EXPECT_EQ(seal_.Operator1(), 0);
  EXPECT_EQ(seal_.Operator2(), 0);

  // A refusal by the seal with its reason.
  seal_.InjectFault('S', sim::SealFaultSpec(sim::SealFault::Refuse, 1));
  EXPECT_EQ(Method(seal.Get(), "GetStatus"), E_FAIL);
  EXPECT_EQ(Text(seal.Get(), "Error"), "Get status failed.");
  EXPECT_EQ(Text(seal.Get(), "Reason"), "Access denied. Authorization failed.");
  // Getters leave them; the next method clears them.
  EXPECT_EQ(Text(seal.Get(), "Error"), "Get status failed.");
  ASSERT_EQ(Method(seal.Get(), "GetLogInfo"), S_OK);
  EXPECT_EQ(Text(seal.Get(), "Error"), "");

  // A call while another operation runs is refused without a reason.
  HRESULT refused = S_OK;
  seal_.InjectFault('I', sim::SealFaultSpec(sim::SealFault::Delay, 150));
  QTimer::singleShot(30, form_.get(), [&] { refused = Method(seal.Get(), "Logoff"); });
  ASSERT_EQ(Method(SealObject(node).Get(), "GetLogInfo"), S_OK);
  EXPECT_EQ(refused, E_FAIL);
  EXPECT_EQ(Text(seal.Get(), "Error"), "Logoff failed.");
  EXPECT_EQ(Text(seal.Get(), "Reason"), "");
  EXPECT_TRUE(seal_.LoggedOn());

  // A silent port.
  seal_.InjectFault('S', sim::SealFaultSpec(sim::SealFault::Silence));
  EXPECT_EQ(Method(seal.Get(), "GetStatus"), E_FAIL);
  EXPECT_EQ(Text(seal.Get(), "Reason"), ErrorText(SealError::ReceiveTimeout));
}

TEST_F(AutomationTest, ARemovedSealFailsEveryMethodAndStillAnswersItsGetters) {
  TTreeNode* node = AddSeal(Serial);
  ComPtr<IDispatch> seal = SealObject(node);
  ASSERT_EQ(Method(seal.Get(), "GetChallenge"), S_OK);
  form_->Trees().DeleteSealNode(node);
  EXPECT_EQ(Method(seal.Get(), "GetStatus"), E_FAIL);
  EXPECT_EQ(Text(seal.Get(), "Error"), SealRemovedText);
  EXPECT_EQ(Text(seal.Get(), "Reason"), "");
  EXPECT_EQ(Get(seal.Get(), "SerialNumber").Integer(), Serial);
  EXPECT_EQ(Text(seal.Get(), "Firmware"), VersionToText(3, 0));

  // What an outside client makes: no seal, no node.
  ComPtr<TZarnReaderSeal> outside = TZarnReaderSeal::Create();
  ComPtr<IDispatch> bare = DispatchOf(outside.Get());
  EXPECT_EQ(Method(bare.Get(), "Logon"), E_FAIL);
  EXPECT_EQ(Text(bare.Get(), "Error"), SealRemovedText);
  EXPECT_EQ(Get(bare.Get(), "SerialNumber").Integer(), E_FAIL);
  EXPECT_EQ(Get(bare.Get(), "Address").Integer(), 0);
}

TEST_F(AutomationTest, ASealWhoseNodeGoesDuringItsOwnOperationOutlivesTheOperation) {
  TTreeNode* node = AddSeal(Serial);
  // Only the node holds the object: deleting the node mid-operation drops the last reference.
  TZarnReaderSeal* object = node->seal.Get();
  std::weak_ptr<TSeal> seal = object->NativeSeal();
  ASSERT_EQ(object->GetChallenge(), S_OK);
  // No answer: the call ends in its failure path, which writes the object's Error and Reason.
  seal_.InjectFault('I', sim::SealFaultSpec(sim::SealFault::Silence));
  bool aliveDuring = false;
  QTimer::singleShot(30, form_.get(), [&] {
    form_->Trees().DeleteSealNode(node);
    aliveDuring = !seal.expired();
  });
  EXPECT_EQ(object->GetLogInfo(), E_FAIL);
  EXPECT_TRUE(aliveDuring);
  EXPECT_TRUE(seal.expired());  // freed with the object once the call returned
}


TEST_F(AutomationTest, AKeysetTheDatabaseLacksIsShownOnTheNodeAndInTheStatusBarUntilItGoes) {
  TTreeNode* anySeal = AddSeal(0);
  ComPtr<IDispatch> seal = SealObject(anySeal);
  ASSERT_EQ(Method(seal.Get(), "GetChallenge"), S_OK);
  // The reply names another sender: the new key-set is not the seal's own and is not stored.
  seal_.InjectFault('K', sim::SealFaultSpec(sim::SealFault::ForeignSerial, 777));
  platform::MessageBoxRecorder boxes;
  EXPECT_EQ(Method(seal.Get(), "CreateKeyset", {Variant(0)}), E_FAIL);
  EXPECT_EQ(Text(seal.Get(), "Error"), "Create key-set failed.");
  // Reason is the failure's text alone: the alert is shown where alerts are.
  EXPECT_EQ(Text(seal.Get(), "Reason"), ErrorText(SealError::CryptoTokenError));
  // Shown without a box: an unattended caller is never blocked.
  EXPECT_TRUE(boxes.Boxes().empty());
  EXPECT_TRUE(form_->KeysetAlertPanel->isVisible());
  EXPECT_TRUE(form_->KeysetAlertPanel->text().startsWith("Seal 777 sent a new key-set"));
  EXPECT_TRUE(form_->KeysetAlertPanel->toolTip().contains("not one of its own"));
  EXPECT_TRUE(anySeal->toolTip(0).contains("not one of its own"));
  form_->resize(900, 460);
  QApplication::processEvents();
  form_->grab().save(QString::fromStdString(std::string(BUILD_DIR) + "/keyset_alert.png"));

  // Erasing the key-set drops the held keys and the alert.
  ASSERT_EQ(Method(seal.Get(), "EraseKeyset"), S_OK);
  EXPECT_FALSE(form_->KeysetAlertPanel->isVisible());
  EXPECT_TRUE(anySeal->toolTip(0).isEmpty());
}

TEST_F(AutomationTest, ClosingWithTwoSealsLoggedOnAndYesLogsBothOff) {
  sim::SimulatedSeal second(Serial + 1, 3);
  second.Attach(link_);
  seal_test::StoreInDatabase(second.Keyset());
  for (uint32_t serial : {Serial, Serial + 1}) {
    ComPtr<IDispatch> seal = SealObject(AddSeal(serial));
    ASSERT_EQ(Method(seal.Get(), "GetChallenge"), S_OK);
    ASSERT_EQ(Method(seal.Get(), "Logon"), S_OK);
  }
  platform::MessageBoxRecorder boxes;
  boxes.Answer(platform::IDYES);
  EXPECT_TRUE(form_->close());
  EXPECT_FALSE(seal_.LoggedOn());
  EXPECT_FALSE(second.LoggedOn());
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "You are logged on to seals. Do you want to log off now?");
}

// ---- the group object ----

TEST_F(AutomationTest, GroupNameCountAndSealIndexRules) {
  ComPtr<IDispatch> seal1 = SealObject(AddSeal(Serial));
  AddSeal(Serial + 1);
  TTreeNode* allSealsNode = form_->Trees().AllSealsNode();
  ComPtr<IDispatch> all = DispatchOf(allSealsNode->group.Get());
  EXPECT_EQ(Text(all.Get(), "Name"), "All Seals");
  EXPECT_EQ(Get(all.Get(), "Count").Integer(), 2);
  Variant first;
  ASSERT_EQ(Method(all.Get(), "Seal", {Variant(0)}, &first), S_OK);
  EXPECT_EQ(first.Dispatch().Get(), seal1.Get());
  Variant negative;
  ASSERT_EQ(Method(all.Get(), "seal", {Variant(-5)}, &negative), S_OK);
  EXPECT_EQ(negative.Dispatch().Get(), seal1.Get());
  Variant past;
  EXPECT_EQ(Method(all.Get(), "Seal", {Variant(2)}, &past), E_FAIL);
  EXPECT_EQ(past.Type(), VT_DISPATCH);
  EXPECT_FALSE(past.Dispatch());

  TTreeNode* empty = form_->Trees().AddGroup(nullptr, "Gate");
  ComPtr<IDispatch> gate = DispatchOf(empty->group.Get());
  EXPECT_EQ(Method(gate.Get(), "Seal", {Variant(-1)}, &past), E_FAIL);
  delete empty;
  EXPECT_EQ(Text(gate.Get(), "Name"), "Gate");
  EXPECT_EQ(Get(gate.Get(), "Count").Integer(), E_FAIL);
  EXPECT_EQ(Method(gate.Get(), "Seal", {Variant(0)}, &past), E_FAIL);
}

// ---- the session ----

TEST_F(AutomationTest, SessionValuesFlagsAndTheMainWindowsSettings) {
  ComPtr<IDispatch> session = Session();
  Variant value;
  ASSERT_EQ(Method(session.Get(), "GetValue", {Variant(Bstr::FromUtf8("never"))}, &value), S_OK);
  EXPECT_EQ(value.Type(), VT_EMPTY);
  ASSERT_EQ(Method(session.Get(), "SetValue", {Variant(Bstr::FromUtf8("gate")), Variant(3)}), S_OK);
  ASSERT_EQ(Method(session.Get(), "SetValue", {Variant(Bstr::FromUtf8("GATE")), Variant(Bstr::FromUtf8("B"))}), S_OK);
  ASSERT_EQ(Method(session.Get(), "getvalue", {Variant(Bstr::FromUtf8("Gate"))}, &value), S_OK);
  EXPECT_EQ(value.String().Utf8(), "B");
  // Object references too, the session itself among them, without keeping it alive.
  ComPtr<IDispatch> all = DispatchOf(form_->Trees().AllSealsNode()->group.Get());
  ASSERT_EQ(Method(session.Get(), "SetValue", {Variant(Bstr::FromUtf8("group")), Variant(all)}), S_OK);
  ASSERT_EQ(Method(session.Get(), "GetValue", {Variant(Bstr::FromUtf8("group"))}, &value), S_OK);
  EXPECT_EQ(value.Dispatch().Get(), all.Get());
  {
    ComPtr<TZarnReaderSession> outside = TZarnReaderSession::Create(form_.get());
    ComPtr<IDispatch> own = DispatchOf(outside.Get());
    ASSERT_EQ(Method(own.Get(), "SetValue", {Variant(Bstr::FromUtf8("me")), Variant(own)}), S_OK);
    ASSERT_EQ(Method(own.Get(), "GetValue", {Variant(Bstr::FromUtf8("me"))}, &value), S_OK);
    EXPECT_EQ(value.Dispatch().Get(), own.Get());
    value = Variant();
    own.Reset();
    EXPECT_EQ(outside.Detach()->Release(), 0u);  // the store kept no count of its own session
  }

  EXPECT_EQ(Get(session.Get(), "SerialNumber").Integer(), -1);
  // The document as page script reads it: the main window's seal data document.
  ComPtr<IDispatch> document = Get(session.Get(), "Document").Dispatch();
  ASSERT_TRUE(document);
  EXPECT_EQ(Text(Get(document.Get(), "documentElement").Dispatch().Get(), "nodeName"), "zarn");
  EXPECT_FALSE(Get(session.Get(), "Seal").Dispatch());
  EXPECT_EQ(Get(session.Get(), "Group").Dispatch().Get(), all.Get());

  form_->Options().operator1 = "JS";
  form_->Options().expertMode = true;
  EXPECT_EQ(Text(session.Get(), "Operator1"), "JS");
  EXPECT_EQ(Text(session.Get(), "Operator2"), "");
  EXPECT_TRUE(Get(session.Get(), "Expert").Bool());

  // Canceled reads true once; the Cancel button sets it too.
  EXPECT_FALSE(Get(session.Get(), "Canceled").Bool());
  ASSERT_EQ(Method(session.Get(), "Cancel"), S_OK);
  EXPECT_TRUE(ActionCanceled);
  EXPECT_TRUE(Get(session.Get(), "Canceled").Bool());
  EXPECT_FALSE(Get(session.Get(), "Canceled").Bool());
  form_->CancelToolbarButton->trigger();
  EXPECT_TRUE(Get(session.Get(), "Canceled").Bool());

  EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d$").match(QString::fromStdString(Text(session.Get(), "Date"))).hasMatch());
  EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(QString::fromStdString(Text(session.Get(), "Time"))).hasMatch());
}

TEST_F(AutomationTest, SilentAnswersEveryBoxAndClosesAModifiedDocumentUnsaved) {
  ComPtr<IDispatch> session = Session();
  char pattern[] = "/tmp/zarn-automation-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  ComPtr<IDispatch> seal = SealObject(AddSeal(Serial));
  ASSERT_EQ(Method(seal.Get(), "GetChallenge"), S_OK);
  ASSERT_EQ(Method(seal.Get(), "GetStatus"), S_OK);
  ASSERT_TRUE(form_->Document().Modified());

  // Save under a name, then open it again.
  const std::string file = dir + "/saved.zrd";
  EXPECT_EQ(Method(session.Get(), "Save", {Variant(Bstr::FromUtf8(file))}), S_OK);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(Method(session.Get(), "Open", {Variant(Bstr::FromUtf8(file))}), S_OK);
  EXPECT_EQ(form_->FileName().toStdString(), file);

  platform::MessageBoxRecorder boxes;
  ASSERT_EQ(Method(session.Get(), "Silent"), S_OK);
  EXPECT_EQ(Method(session.Get(), "Open", {Variant(Bstr::FromUtf8(dir + "/none.zrd"))}), E_FAIL);
  ASSERT_EQ(Method(seal.Get(), "Logon"), S_OK);
  // Close replies first; the close then finds a seal logged on and is refused without a box.
  ASSERT_EQ(Method(session.Get(), "Close"), S_OK);
  EXPECT_TRUE(form_->isVisible());
  QApplication::processEvents();
  EXPECT_TRUE(form_->isVisible());
  ASSERT_EQ(Method(seal.Get(), "Logoff"), S_OK);
  ASSERT_EQ(Method(seal.Get(), "GetStatus"), S_OK);
  ASSERT_TRUE(form_->Document().Modified());
  ASSERT_EQ(Method(session.Get(), "Close"), S_OK);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !form_->isVisible(); }, 2000));
  EXPECT_TRUE(boxes.Boxes().empty());
  fs::remove_all(dir);
}

// ---- finding seals ----

TEST_F(AutomationTest, FindMergesTheSealsThatAnswerOnAPortAndOverTcp) {
  sim::SimulatedSeal second(Serial + 1, 2), third(Serial + 2, 3);
  second.Attach(link_);
  third.Attach(link_);
  sim::SealLinkSimulator network;
  sim::SimulatedSeal remote(Serial + 10, 3);
  remote.Attach(network);
  TTreeNode* interfaceNode = form_->Trees().AddInterface(QString::fromStdString(network.ServeTcpOnFreeAddress()));
  for (const auto* s : {&seal_, &second, &third, &remote}) seal_test::StoreInDatabase(s->Keyset());
  // Known before: one that answers and is logged on, one that stays silent, one on the wrong port.
  ComPtr<IDispatch> known = SealObject(AddSeal(Serial));
  ASSERT_EQ(Method(known.Get(), "GetChallenge"), S_OK);
  ASSERT_EQ(Method(known.Get(), "Logon"), S_OK);
  AddSeal(999);
  AddSeal(Serial + 10);

  form_->SetupTreeView->setCurrentItem(form_->Trees().RootNode());
  ASSERT_TRUE(form_->FindSealsMenuItem->isEnabled());
  form_->FindToolbarButton->trigger();

  TTreeNode* com7 = Com7();
  QStringList names;
  for (int i = 0; i < com7->childCount(); ++i) names << com7->child(i)->text(0);
  EXPECT_EQ(names, QStringList({"ZARN S/N 4711", "ZARN S/N 4712", "ZARN S/N 4713", "ZARN S/N 999"}));
  EXPECT_EQ(StatesUnder(com7), (std::vector<int>{LoggedOnStateImage, IdleStateImage, IdleStateImage,
                                                  NotFoundStateImage}));
  // The remote seal moved to the interface it answered on; "Any Seal" keeps its state.
  ASSERT_NE(ChildNamed(interfaceNode, "ZARN S/N 4721"), nullptr);
  EXPECT_EQ(ChildNamed(interfaceNode, "ZARN S/N 4721")->StateIndex(), IdleStateImage);
  EXPECT_EQ(ChildNamed(interfaceNode, "Any Seal")->StateIndex(), IdleStateImage);
  // Every request carried the seals found so far.
  const auto requests = link_.Requests();
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(requests.back().receiver, 0u);
  EXPECT_EQ(requests.back().payload.size(), 138u);
  size_t listed = 0;
  for (size_t at = 10; at < 138; at += 4)
    listed += requests.back().payload[at] | requests.back().payload[at + 1] | requests.back().payload[at + 2] |
              requests.back().payload[at + 3];
  EXPECT_GT(listed, 0u);
  EXPECT_TRUE(form_->ProgressBar->isHidden());
}

TEST_F(AutomationTest, SessionFindRemovesTheSealsOfThePortOrOfEveryPort) {
  AddSeal(999);
  TTreeNode* other = form_->Trees().AddInterface("127.0.0.1");  // nobody listens there
  form_->Trees().AddSeal(555, other);
  ComPtr<IDispatch> session = Session();
  platform::MessageBoxRecorder boxes;
  ASSERT_EQ(Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("COM7"))}), S_OK);
  EXPECT_EQ(form_->Trees().FindSealNode(999), nullptr);
  ASSERT_NE(form_->Trees().FindSealNode(Serial), nullptr);
  EXPECT_NE(form_->Trees().FindSealNode(555), nullptr);  // another port: untouched
  EXPECT_TRUE(boxes.Boxes().empty());
  EXPECT_EQ(FindOutcome(session.Get()), "done|COM7|");

  // A name of no port (letter case counts): every port is searched. The interface that does
  // not open is named, and keeps its seal.
  AddSeal(998);
  ASSERT_EQ(Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("com7"))}), S_OK);
  EXPECT_EQ(form_->Trees().FindSealNode(998), nullptr);
  ASSERT_NE(form_->Trees().FindSealNode(Serial), nullptr);
  EXPECT_NE(form_->Trees().FindSealNode(555), nullptr);
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "127.0.0.1: Socket error.");
  EXPECT_EQ(FindOutcome(session.Get()), "done|127.0.0.1\nCOM7|127.0.0.1: Socket error.");

  // While an operation runs the search is refused, saying so, before anything is removed.
  boxes.Clear();
  HRESULT found = E_FAIL;
  seal_.InjectFault('G', sim::SealFaultSpec(sim::SealFault::Delay, 150));
  QTimer::singleShot(30, form_.get(), [&] { found = Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("COM7"))}); });
  ASSERT_EQ(Method(SealObject(form_->Trees().FindSealNode(Serial)).Get(), "GetChallenge"), S_OK);
  EXPECT_EQ(found, S_OK);
  ASSERT_NE(form_->Trees().FindSealNode(Serial), nullptr);
  EXPECT_EQ(form_->Trees().FindSealNode(Serial)->StateIndex(), IdleStateImage);
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "Another operation is running.");
  EXPECT_EQ(FindOutcome(session.Get()), "refused||");
}

// A search whose port another program holds never ran, a canceled one and one whose line
// went down did not end: none takes a seal from the setup, or marks one not found.
TEST_F(AutomationTest, ASearchThatDidNotRunToItsEndRemovesNoSeal) {
  ComPtr<IDispatch> loggedOn = SealObject(AddSeal(Serial));
  ASSERT_EQ(Method(loggedOn.Get(), "GetChallenge"), S_OK);
  ASSERT_EQ(Method(loggedOn.Get(), "Logon"), S_OK);
  AddSeal(999);
  // The state of each seal in the setup tree, then of its entry under All Seals.
  const auto states = [&] {
    std::vector<int> shown = StatesUnder(Com7());
    for (int state : StatesUnder(form_->Trees().AllSealsNode())) shown.push_back(state);
    return shown;
  };
  const std::vector<int> before{LoggedOnStateImage, IdleStateImage, LoggedOnStateImage, IdleStateImage};
  ASSERT_TRUE(window_wait::Reads(states, before));  // the log-on reaches the window as a posted message
  const size_t asked = link_.Requests().size();  // by the log-on
  ComPtr<IDispatch> session = Session();
  platform::MessageBoxRecorder boxes;
  const auto holding = [&](const std::function<void()>& search) {
    const int held = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);  // the lock every program of the system takes
    search();
    ::close(held);
  };
  holding([&] { ASSERT_EQ(Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("COM7"))}), S_OK); });
  EXPECT_EQ(link_.Requests().size(), asked);
  EXPECT_NE(form_->Trees().FindSealNode(999), nullptr);
  EXPECT_NE(form_->Trees().FindSealNode(Serial), nullptr);
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "COM7: Open comport failed.");
  EXPECT_EQ(FindOutcome(session.Get()), "done|COM7|COM7: Open comport failed.");
  EXPECT_EQ(states(), before);

  // The menu's Find says the same.
  boxes.Clear();
  form_->SetupTreeView->setCurrentItem(Com7());
  ASSERT_TRUE(form_->FindSealsMenuItem->isEnabled());
  holding([&] { form_->FindSealsMenuItem->trigger(); });
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "COM7: Open comport failed.");
  EXPECT_EQ(states(), before);

  // Canceled while the silent seal is waited for: the seal that answered shows it is logged
  // on as before, the silent one what it showed before.
  boxes.Clear();
  QTimer::singleShot(50, form_.get(), [&] { Method(session.Get(), "Cancel"); });
  ASSERT_EQ(Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("COM7"))}), S_OK);
  EXPECT_GT(link_.Requests().size(), asked);
  EXPECT_NE(form_->Trees().FindSealNode(999), nullptr);
  EXPECT_NE(form_->Trees().FindSealNode(Serial), nullptr);
  EXPECT_TRUE(boxes.Boxes().empty());
  EXPECT_EQ(FindOutcome(session.Get()), "canceled|COM7|");
  EXPECT_EQ(states(), before);

  // The line goes down in place of the first answer, so the next round cannot be sent.
  link_.InjectFault({sim::LinkFault::CloseConnection});
  ASSERT_EQ(Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("COM7"))}), S_OK);
  EXPECT_NE(form_->Trees().FindSealNode(999), nullptr);
  EXPECT_NE(form_->Trees().FindSealNode(Serial), nullptr);
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "COM7: Transmit error.");
  EXPECT_EQ(FindOutcome(session.Get()), "done|COM7|COM7: Transmit error.");
  EXPECT_EQ(states(), before);
}

// A session whose window has gone searches nothing, and says so in place of the outcome of
// the search it made before.
TEST_F(AutomationTest, SessionFindWithoutTheWindowKeepsNoEarlierOutcome) {
  const ComPtr<TZarnReaderSession> outside = TZarnReaderSession::Create(form_.get());
  const ComPtr<IDispatch> session(static_cast<IZarnReaderSession*>(outside.Get()));
  ASSERT_EQ(Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("COM7"))}), S_OK);
  ASSERT_EQ(FindOutcome(session.Get()), "done|COM7|");
  form_->Session().Silent();
  form_.reset();
  ASSERT_EQ(Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("COM7"))}), S_OK);
  EXPECT_EQ(FindOutcome(session.Get()), "refused||");
}

TEST_F(AutomationTest, SessionFindKeepsTheSealsItFindsAgainWithTheirSessionsAndGroupPlaces) {
  sim::SimulatedSeal second(Serial + 1, 2);
  second.Attach(link_);
  sim::SealLinkSimulator network;
  sim::SimulatedSeal remote(Serial + 10, 3);
  remote.Attach(network);
  TTreeNode* interfaceNode = form_->Trees().AddInterface(QString::fromStdString(network.ServeTcpOnFreeAddress()));
  // Two seals that answer on COM7, one that stays silent there, one on the interface.
  TTreeNode* first = AddSeal(Serial);
  AddSeal(999);
  AddSeal(Serial + 1);
  AddSeal(Serial + 10, interfaceNode);
  TTreeNode* gate = form_->Trees().AddGroup(nullptr, "Gate");
  for (uint32_t serial : {Serial + 1, 999u, Serial + 10, Serial})
    TSetupTrees::AddTreeNode(form_->GroupTreeView, SealCaption(serial), gate, SealImage)->sealNode =
        form_->Trees().FindSealNode(serial);
  TTreeNode* allSeals = form_->Trees().AllSealsNode();
  auto entries = [](const TTreeNode* group) {
    std::vector<uint32_t> seals;
    for (int i = 0; i < group->childCount(); ++i) seals.push_back(group->Child(i)->sealNode->address);
    return seals;
  };
  ComPtr<IDispatch> held = SealObject(first);
  ASSERT_EQ(Method(held.Get(), "GetChallenge"), S_OK);
  ASSERT_EQ(Method(held.Get(), "Logon"), S_OK);
  ComPtr<IDispatch> session = Session();

  ASSERT_EQ(Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("COM7"))}), S_OK);
  // The silent seal went with its entries; the others are where they were.
  EXPECT_EQ(form_->Trees().FindSealNode(999), nullptr);
  EXPECT_EQ(entries(gate), (std::vector<uint32_t>{Serial + 1, Serial + 10, Serial}));
  EXPECT_EQ(entries(allSeals), (std::vector<uint32_t>{Serial, Serial + 1, Serial + 10}));
  ASSERT_NE(form_->Trees().FindSealNode(Serial), nullptr);
  EXPECT_EQ(SealObject(form_->Trees().FindSealNode(Serial)).Get(), held.Get());
  EXPECT_TRUE(Get(held.Get(), "LoggedOn").Bool());
  EXPECT_EQ(form_->Trees().FindSealNode(Serial)->StateIndex(), LoggedOnStateImage);
  ASSERT_EQ(gate->childCount(), 3);
  EXPECT_EQ(gate->Child(2)->StateIndex(), LoggedOnStateImage);
  // The session with the seal goes on: it logs off and on again.
  EXPECT_EQ(Method(held.Get(), "Logoff"), S_OK);
  EXPECT_FALSE(seal_.LoggedOn());
  ASSERT_EQ(Method(held.Get(), "Logon"), S_OK);

  // A name of no port searches every port; every seal found again keeps its places.
  ASSERT_EQ(Method(session.Get(), "Find", {Variant(Bstr::FromUtf8("com7"))}), S_OK);
  EXPECT_EQ(entries(gate), (std::vector<uint32_t>{Serial + 1, Serial + 10, Serial}));
  EXPECT_EQ(entries(allSeals), (std::vector<uint32_t>{Serial, Serial + 1, Serial + 10}));
  ASSERT_NE(form_->Trees().FindSealNode(Serial), nullptr);
  EXPECT_EQ(SealObject(form_->Trees().FindSealNode(Serial)).Get(), held.Get());
  EXPECT_EQ(form_->Trees().FindSealNode(Serial + 10)->ParentNode(), interfaceNode);
  // No search finds "Any Seal", and none removes it.
  EXPECT_NE(ChildNamed(interfaceNode, "Any Seal"), nullptr);
  // Still logged on, so the close asks, and Yes logs it off.
  platform::MessageBoxRecorder boxes;
  boxes.Answer(platform::IDYES);
  EXPECT_TRUE(form_->close());
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].text, "You are logged on to a seal. Do you want to log off now?");
  EXPECT_FALSE(seal_.LoggedOn());
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  seal_test::TestWorld world;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TZarnStartup startup(argc, argv);
  platform::UnexpectedBoxesFail unexpectedBoxes;
  int result = RUN_ALL_TESTS();
  world.EndService();
  return result;
}
