#pragma once
// The reader session: the door through which page script and outside clients reach the
// running program. The main window keeps one for its whole life; each outside client
// that creates the class gets one of its own, whose window-reaching members act on the
// one program all the same.

#include <QPointer>
#include <QString>
#include <vector>

#include "connection_points.h"
#include "zarn.h"

class TMainForm;

class TZarnReaderSession final : private ComObjectRoot,
                                 public DispatchImpl<IZarnReaderSession>,
                                 public ConnectionPointContainerImpl {
 public:
  static ComPtr<TZarnReaderSession> Create(TMainForm* form);

  bool IsSilent() const { return silent_; }
  // Written by the main window as the operator opens entries.
  void SetSeal(IDispatch* seal) { seal_ = seal; }
  void SetGroup(IDispatch* group) { group_ = group; }
  void SetSerialNumber(int32_t serialNumber) { serialNumber_ = serialNumber; }

  HRESULT QueryInterface(REFIID iid, void** object) override;
  COM_REFCOUNT_METHODS

  HRESULT get_Document(IDispatch** Value) override;
  HRESULT get_Seal(IDispatch** Value) override;
  HRESULT SetValue(const Bstr& Name, const Variant& Value) override;
  HRESULT GetValue(const Bstr& Name, Variant* Value) override;
  HRESULT get_Operator1(Bstr* Value) override;
  HRESULT get_Operator2(Bstr* Value) override;
  HRESULT get_Group(IDispatch** Value) override;
  HRESULT get_SerialNumber(int32_t* Value) override;
  HRESULT get_Canceled(bool* Value) override;
  HRESULT Cancel() override;
  HRESULT Close() override;
  HRESULT Save(const Bstr& Filename) override;
  HRESULT Open(const Bstr& Filename) override;
  HRESULT get_Expert(bool* Value) override;
  HRESULT Silent() override;
  HRESULT Find(const Bstr& Port) override;
  HRESULT get_Date(Bstr* Value) override;
  HRESULT get_Time(Bstr* Value) override;

 protected:
  const InterfaceInfo& TypeInformation() const override { return ZarnReaderSessionInterfaceInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override {
    return InvokeZarnReaderSession(*this, member, args, result);
  }

 private:
  explicit TZarnReaderSession(TMainForm* form);
  bool IsThisSession(const Variant& value);

  struct StoredValue {
    QString name;
    Variant value;
    // The session itself, held without a count: a stored reference to itself would keep it forever.
    bool self = false;
  };

  QPointer<TMainForm> form_;
  std::vector<StoredValue> store_;
  bool silent_ = false;
  bool canceled_ = false;
  int32_t serialNumber_ = -1;
  ComPtr<IDispatch> seal_;
  ComPtr<IDispatch> group_;
};
