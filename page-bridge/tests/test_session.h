#pragma once
// What the tests stand in for the reader's main window: a window of a given class on the
// test's thread that answers WM_GETSESSION with a small session object.

#include <memory>
#include <QObject>

#include "main_window_messages.h"
#include "qt_message_queue.h"

// A session with one property, SerialNumber, that counts its references.
class TestSession final : public DispatchImpl<IDispatch> {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch) return E_NOINTERFACE;
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return ++refs; }
  uint32_t Release() override { return --refs; }  // lives as long as its test
  uint32_t refs = 0;

 protected:
  const InterfaceInfo& TypeInformation() const override {
    static const InterfaceInfo info{MakeGuid("{3E9A41C7-0B52-4D6E-8F13-A27C5D90B610}"),
                                    "ITestSession",
                                    "",
                                    {{1, "SerialNumber", MemberKind::PropertyGet, {}, VT_I4}}};
    return info;
  }
  HRESULT InvokeMember(const MemberInfo&, std::vector<Variant>&, Variant& result) override {
    result = Variant(int32_t(1234));
    return S_OK;
  }
};

// The window answers with the session and a reference added for the asker, or with 0.
class TestMainWindow : public QObject {
 public:
  TestMainWindow(const std::string& className, TestSession* session) : session_(session) {
    handle = platform::CreateWindowHandle(className, queue_, [this](UINT message, WPARAM, LPARAM) -> LRESULT {
      if (message != WM_GETSESSION || !session_) return 0;
      ++asked;
      session_->AddRef();
      return reinterpret_cast<LRESULT>(static_cast<IDispatch*>(session_));
    });
  }
  ~TestMainWindow() override { platform::DestroyWindowHandle(handle); }
  HWND handle = 0;
  int asked = 0;

 private:
  platform::QtMessageQueue queue_{this};
  TestSession* session_;
};
