// The bridge object as the browser and page script meet it: its site, the session it
// fetches from the main window of its own thread, its names and calls, its registration.
#include <QTemporaryDir>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "activation.h"
#include "object_safety.h"
#include "registry.h"
#include "test_session.h"
#include "web_pindral.h"

namespace {

class WebPindralTest : public ::testing::Test {
 protected:
  // A fresh bridge holding one reference of ours.
  static ComPtr<IObjectWithSite> NewBridge() {
    ComPtr<IObjectWithSite> bridge;
    CWebPindralFactory factory;
    factory.AddRef();
    EXPECT_EQ(factory.CreateInstance(nullptr, IID_IObjectWithSite, bridge.PutVoid()), S_OK);
    return bridge;
  }
  static ComPtr<IDispatch> Dispatch(const ComPtr<IObjectWithSite>& bridge) {
    ComPtr<IDispatch> d;
    EXPECT_EQ(bridge.As(IID_IDispatch, d), S_OK);
    return d;
  }
  static HRESULT Invoke(const ComPtr<IDispatch>& d, DISPID id, std::vector<Variant> args, Variant* result) {
    DISPPARAMS params{std::move(args)};
    return d->Invoke(id, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &params, result, nullptr, nullptr);
  }

  TestSession session_;
};

TEST_F(WebPindralTest, InterfacesAnswerInTheirOrderWithOneIdentity) {
  auto bridge = NewBridge();
  ComPtr<IUnknown> unknown;
  ComPtr<IWebPindral> typed;
  ComPtr<IDispatch> dispatch;
  ComPtr<IProvideClassInfo> classInfo;
  ASSERT_EQ(bridge.As(IID_IUnknown, unknown), S_OK);
  ASSERT_EQ(bridge.As(IID_IWebPindral, typed), S_OK);
  ASSERT_EQ(bridge.As(IID_IDispatch, dispatch), S_OK);
  ASSERT_EQ(bridge.As(IID_IProvideClassInfo, classInfo), S_OK);
  EXPECT_EQ(static_cast<void*>(unknown.Get()), static_cast<void*>(bridge.Get()));
  EXPECT_EQ(static_cast<void*>(typed.Get()), static_cast<void*>(dispatch.Get()));
  ComPtr<IUnknown> none;
  EXPECT_EQ(bridge.As(IID_IClassFactory, none), E_NOINTERFACE);

  ComPtr<ITypeInfo> info;
  ASSERT_EQ(classInfo->GetClassInfo(info.Put()), S_OK);
  EXPECT_STREQ(info->Class()->name, "CWebPindral");
  EXPECT_STREQ(info->Class()->help, "WebPindral Class");
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0, info.Put()), S_OK);
  EXPECT_EQ(info->Interface()->iid, IID_IWebPindral);
}

TEST_F(WebPindralTest, SitingFetchesTheSessionOfTheThreadsMainWindowAndHandsItOutCounted) {
  TestMainWindow window("TMainForm", &session_);
  {
    auto bridge = NewBridge();
    TestSession site;  // any object serves as the site
    ASSERT_EQ(bridge->SetSite(static_cast<IDispatch*>(&site)), S_OK);
    EXPECT_EQ(site.refs, 1u);
    EXPECT_EQ(session_.refs, 1u);  // the bridge's own

    ComPtr<IWebPindral> typed;
    ASSERT_EQ(bridge.As(IID_IWebPindral, typed), S_OK);
    IDispatch* first = nullptr;
    IDispatch* second = nullptr;
    ASSERT_EQ(typed->get_Session(&first), S_OK);
    ASSERT_EQ(typed->get_Session(&second), S_OK);
    EXPECT_EQ(first, static_cast<IDispatch*>(&session_));
    EXPECT_EQ(second, first);
    EXPECT_EQ(session_.refs, 3u);
    first->Release();
    second->Release();

    ComPtr<IUnknown> back;
    EXPECT_EQ(bridge->GetSite(IID_IUnknown, back.PutVoid()), S_OK);
    EXPECT_EQ(back.Get(), static_cast<IDispatch*>(&site));
    back.Reset();

    // A detach asks the window again: the session is fetched anew, still one reference.
    ASSERT_EQ(bridge->SetSite(nullptr), S_OK);
    EXPECT_EQ(window.asked, 2);
    EXPECT_EQ(session_.refs, 1u);
    EXPECT_EQ(site.refs, 0u);
    EXPECT_EQ(bridge->GetSite(IID_IUnknown, back.PutVoid()), E_FAIL);
    EXPECT_FALSE(back);
    EXPECT_EQ(bridge->GetSite(IID_IUnknown, nullptr), E_POINTER);
  }
  EXPECT_EQ(session_.refs, 0u);  // destruction gave it back
}

TEST_F(WebPindralTest, TheWindowClassMatchesWithoutRegardToCaseAndOnlyWhole) {
  struct Case {
    const char* className;
    bool found;
  };
  for (Case c : {Case{"tmainform", true}, Case{"TMAINFORM", true}, Case{"TMainForm2", false}, Case{"TMainFor", false}}) {
    SCOPED_TRACE(c.className);
    TestMainWindow window(c.className, &session_);
    auto bridge = NewBridge();
    bridge->SetSite(nullptr);
    Variant result = Variant(int32_t(7));
    EXPECT_EQ(Invoke(Dispatch(bridge), DISPID_PindralSession, {}, &result), c.found ? S_OK : E_FAIL);
    EXPECT_EQ(result.Type(), c.found ? VT_DISPATCH : VT_EMPTY);
  }
  EXPECT_EQ(session_.refs, 0u);
}

TEST_F(WebPindralTest, AWindowThatAnswersNothingLeavesTheSessionEmpty) {
  TestMainWindow window("TMainForm", nullptr);
  auto bridge = NewBridge();
  bridge->SetSite(nullptr);
  ComPtr<IWebPindral> typed;
  ASSERT_EQ(bridge.As(IID_IWebPindral, typed), S_OK);
  IDispatch* session = reinterpret_cast<IDispatch*>(1);
  EXPECT_EQ(typed->get_Session(&session), E_FAIL);
  EXPECT_EQ(session, nullptr);
}

TEST_F(WebPindralTest, NamesComeFromTheTableWithoutRegardToCase) {
  auto d = Dispatch(NewBridge());
  struct Case {
    const char* name;
    HRESULT hr;
    DISPID id;
  };
  for (Case c : {Case{"Info", S_OK, 1}, Case{"session", S_OK, 2}, Case{"PVAL", S_OK, 0}, Case{"get_info", S_OK, 1},
                 Case{"Get_Session", S_OK, 2}, Case{"Sessions", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN}}) {
    SCOPED_TRACE(c.name);
    DISPID id = 99;
    EXPECT_EQ(d->GetIDsOfNames(IID_IDispatch, {c.name}, 0, &id), c.hr);
    EXPECT_EQ(id, c.id);
  }
  DISPID ids[2] = {};
  EXPECT_EQ(d->GetIDsOfNames(IID_IDispatch, {"nothing", "info"}, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[1], 1);
}

TEST_F(WebPindralTest, InvokeReadsThePropertiesAndRefusesWhatItCannot) {
  TestMainWindow window("TMainForm", &session_);
  auto bridge = NewBridge();
  bridge->SetSite(nullptr);
  auto d = Dispatch(bridge);

  Variant info;
  ASSERT_EQ(Invoke(d, DISPID_PindralInfo, {}, &info), S_OK);
  EXPECT_EQ(info.String().Utf8(), "WebPindral for the ZARN Reader");
  // A put reads the property too: the flags are not looked at.
  DISPPARAMS none;
  Variant put;
  EXPECT_EQ(d->Invoke(DISPID_PindralInfo, IID_IDispatch, 0, DISPATCH_PROPERTYPUT, &none, &put, nullptr, nullptr), S_OK);
  EXPECT_EQ(put.Type(), VT_BSTR);

  Variant result;
  EXPECT_EQ(Invoke(d, DISPID_PindralSession, {Variant(int32_t(1))}, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Invoke(d, DISPID_PindralInfo, {Variant(int32_t(1))}, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Invoke(d, DISPID_PindralInfo, {Variant(int32_t(1)), Variant(int32_t(2))}, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Invoke(d, 3, {}, &result), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(d->Invoke(DISPID_PindralInfo, IID_IDispatch, 0, DISPATCH_PROPERTYGET, nullptr, &result, nullptr, nullptr),
            DISP_E_BADVARTYPE);

  // Without a place for the result, the session's added reference is given back.
  ASSERT_EQ(session_.refs, 1u);
  EXPECT_EQ(Invoke(d, DISPID_PindralSession, {}, nullptr), S_OK);
  EXPECT_EQ(Invoke(d, DISPID_PindralInfo, {}, nullptr), S_OK);
  EXPECT_EQ(session_.refs, 1u);

  ASSERT_EQ(Invoke(d, DISPID_PindralSession, {}, &result), S_OK);
  EXPECT_EQ(result.Dispatch().Get(), static_cast<IDispatch*>(&session_));
  EXPECT_EQ(session_.refs, 2u);
}

// The library registered and unregistered through its entry points, as the installer does.
TEST(PindralLibrary, RegistersItsClassCategoriesApplicationAndTypeLibraryAndRemovesThem) {
  QTemporaryDir registry;
  ::setenv("ZARN_REGISTRY_DIR", registry.path().toLocal8Bit().constData(), 1);
  void* library = ::dlopen(PINDRAL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto entry = [&](const char* name) { return reinterpret_cast<HRESULT (*)()>(::dlsym(library, name))(); };
  auto value = [](const std::string& key, const std::string& name = "") -> std::optional<std::string> {
    platform::Registry r(HKEY_CLASSES_ROOT);
    if (!r.OpenKeyReadOnly(key)) return std::nullopt;
    return r.ReadString(name);
  };
  ASSERT_EQ(entry("DllRegisterServer"), S_OK);
  const std::string cls = "\\CLSID\\" + CLSID_WebPindral.ToString();
  const std::string lib = LIBID_Pindral.ToString();
  EXPECT_EQ(value(cls), "CWebPindral Object");
  EXPECT_EQ(value(cls + "\\ProgID"), "Pindral.WebPindral.1");
  EXPECT_EQ(value(cls + "\\VersionIndependentProgID"), "Pindral.WebPindral");
  EXPECT_EQ(value(cls + "\\InprocServer32", "ThreadingModel"), "apartment");
  EXPECT_EQ(value(cls, "AppID"), lib);
  EXPECT_EQ(value(cls + "\\TypeLib"), lib);
  EXPECT_TRUE(platform::Registry(HKEY_CLASSES_ROOT).KeyExists(cls + "\\Programmable"));
  EXPECT_EQ(value("\\Pindral.WebPindral\\CurVer"), "Pindral.WebPindral.1");
  EXPECT_EQ(value("\\Pindral.WebPindral.1\\CLSID"), CLSID_WebPindral.ToString());
  EXPECT_EQ(value("\\AppID\\" + lib), "Pindral");
  EXPECT_EQ(value("\\AppID\\Pindral.DLL", "AppID"), lib);
  EXPECT_TRUE(platform::IsImplementedCategory(CLSID_WebPindral, CATID_SafeForScripting));
  EXPECT_TRUE(platform::IsImplementedCategory(CLSID_WebPindral, CATID_SafeForInitializing));
  EXPECT_EQ(value("\\TypeLib\\" + lib + "\\1.0"), "Pindral 1.0 Type Library");

  // Created by its ProgID, the library stays while the object lives.
  {
    ComPtr<IDispatch> bridge;
    ASSERT_EQ(CoCreateInstance("Pindral.WebPindral", nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, bridge.PutVoid()),
              S_OK);
    EXPECT_EQ(entry("DllCanUnloadNow"), S_FALSE);
  }
  EXPECT_EQ(entry("DllCanUnloadNow"), S_OK);

  ASSERT_EQ(entry("DllUnregisterServer"), S_OK);
  for (const std::string& key : {cls, std::string("\\Pindral.WebPindral"), std::string("\\Pindral.WebPindral.1"),
                                 "\\AppID\\" + lib, std::string("\\AppID\\Pindral.DLL"), "\\TypeLib\\" + lib})
    EXPECT_FALSE(platform::Registry(HKEY_CLASSES_ROOT).KeyExists(key)) << key;
  ::unsetenv("ZARN_REGISTRY_DIR");
}

}  // namespace
