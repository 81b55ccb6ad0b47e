#include "zarn.h"

namespace {

MemberInfo Get(DISPID id, const char* name, VARTYPE type) {
  return {id, name, MemberKind::PropertyGet, {}, type, "property"};
}
MemberInfo Call(DISPID id, const char* name, std::vector<ParamInfo> params = {}, VARTYPE result = VT_EMPTY) {
  return {id, name, MemberKind::Method, std::move(params), result, "method"};
}

// The [retval] of a typed getter as the dispatch result.
template <class T, class O, class Make>
HRESULT Answer(O& object, HRESULT (O::*getter)(T*), Variant& result, Make make) {
  T value{};
  HRESULT hr = (object.*getter)(&value);
  if (SUCCEEDED(hr)) result = make(value);
  return hr;
}

Variant Text(const Bstr& v) { return Variant(v); }
Variant Signed(int32_t v) { return Variant(v); }
Variant Unsigned(uint32_t v) { return Variant::Of(VT_UI4, v); }
Variant Boolean(bool v) { return Variant(v); }
Variant Object(IDispatch* v) { return Variant(ComPtr<IDispatch>::Attach(v)); }

class NativePointer final : public INativePointer, private ComObjectRoot {
 public:
  explicit NativePointer(void* pointer) : pointer_(pointer) {}
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_INativePointer) return E_NOINTERFACE;
    *object = static_cast<INativePointer*>(this);
    AddRef();
    return S_OK;
  }
  void* Pointer() const override { return pointer_; }

 private:
  void* const pointer_;
};

Variant Native(void* pointer) { return Variant(ComPtr<IUnknown>(new NativePointer(pointer))); }

}  // namespace

const InterfaceInfo& ZarnReaderSealInterfaceInfo() {
  static const InterfaceInfo info{
      IID_IZarnReaderSeal,
      "IZarnReaderSeal",
      "Dispatch interface for ZarnReaderSeal Object",
      {
          Get(1, "SerialNumber", VT_UI4),
          Call(2, "Logon"),
          Call(3, "Logoff"),
          Call(4, "Readout", {{"SealEventsToRead", VT_I4}, {"SystemEventsToRead", VT_I4}, {"SoHRecordsToRead", VT_I4}}),
          Call(5, "GetStatus"),
          Call(10, "GetChallenge"),
          Get(9, "LoggedOn", VT_BOOL),
          Call(11, "GetLogInfo"),
          Get(12, "SealEvents", VT_I4),
          Get(14, "SystemEvents", VT_I4),
          Get(16, "SoHRecords", VT_I4),
          Get(6, "KeysetNumber", VT_BSTR),
          Get(13, "KeysetDate", VT_BSTR),
          Get(15, "KeysetTime", VT_BSTR),
          Get(8, "Firmware", VT_BSTR),
          Call(7, "WritePad", {{"Text", VT_BSTR}}),
          Call(17, "ReadPad", {}, VT_BSTR),
          Call(20, "CreateKeyset", {{"Option", VT_UI4}}),
          Call(19, "Synchronize"),
          Call(18, "ClearPad"),
          Get(21, "Deviation", VT_I4),
          Get(22, "Error", VT_BSTR),
          Get(23, "Reason", VT_BSTR),
          Get(24, "Address", VT_UI4),
          Call(25, "EraseKeyset"),
          Get(28, "NativeObject", VT_UNKNOWN),
          Get(26, "ExStatusFlags", VT_I4),
      }};
  return info;
}

const InterfaceInfo& ZarnReaderSealGroupInterfaceInfo() {
  static const InterfaceInfo info{IID_IZarnReaderSealGroup,
                                  "IZarnReaderSealGroup",
                                  "Dispatch interface for ZarnReaderSealGroup Object",
                                  {
                                      Get(1, "Name", VT_BSTR),
                                      Get(2, "Count", VT_I4),
                                      Call(3, "Seal", {{"Index", VT_I4}}, VT_DISPATCH),
                                  }};
  return info;
}

const InterfaceInfo& ZarnReaderSessionInterfaceInfo() {
  static const InterfaceInfo info{IID_IZarnReaderSession,
                                  "IZarnReaderSession",
                                  "Dispatch interface for ZarnReaderSession Object",
                                  {
                                      Get(1, "Document", VT_DISPATCH),
                                      Get(2, "Seal", VT_DISPATCH),
                                      Call(3, "SetValue", {{"Name", VT_BSTR}, {"Value", VT_VARIANT}}),
                                      Call(4, "GetValue", {{"Name", VT_BSTR}}, VT_VARIANT),
                                      Get(5, "Operator1", VT_BSTR),
                                      Get(6, "Operator2", VT_BSTR),
                                      Get(7, "Group", VT_DISPATCH),
                                      Get(8, "SerialNumber", VT_I4),
                                      Get(9, "Canceled", VT_BOOL),
                                      Call(10, "Cancel"),
                                      Call(11, "Close"),
                                      Call(13, "Save", {{"Filename", VT_BSTR}}),
                                      Call(16, "Open", {{"Filename", VT_BSTR}}),
                                      Get(12, "Expert", VT_BOOL),
                                      Call(19, "Silent"),
                                      Call(17, "Find", {{"Port", VT_BSTR}}),
                                      Get(14, "Date", VT_BSTR),
                                      Get(15, "Time", VT_BSTR),
                                  }};
  return info;
}

const InterfaceInfo& ZarnReaderSealEventsInfo() {
  static const InterfaceInfo info{DIID_IZarnReaderSealEvents, "IZarnReaderSealEvents",
                                  "Events interface for ZarnReaderSeal Object", {}};
  return info;
}

const InterfaceInfo& ZarnReaderSealGroupEventsInfo() {
  static const InterfaceInfo info{DIID_IZarnReaderSealGroupEvents, "IZarnReaderSealGroupEvents",
                                  "Events interface for ZarnReaderSealGroup Object", {}};
  return info;
}

const InterfaceInfo& ZarnReaderSessionEventsInfo() {
  static const InterfaceInfo info{DIID_IZarnReaderSessionEvents, "IZarnReaderSessionEvents",
                                  "Events interface for ZarnReaderSession Object", {}};
  return info;
}

const CoClassInfo& ZarnReaderSealClassInfo() {
  static const CoClassInfo info{CLASS_ZarnReaderSeal, "ZarnReaderSeal", "ZarnReaderSeal Object",
                                &ZarnReaderSealInterfaceInfo()};
  return info;
}

const CoClassInfo& ZarnReaderSealGroupClassInfo() {
  static const CoClassInfo info{CLASS_ZarnReaderSealGroup, "ZarnReaderSealGroup", "ZarnReaderSealGroup Object",
                                &ZarnReaderSealGroupInterfaceInfo()};
  return info;
}

const CoClassInfo& ZarnReaderSessionClassInfo() {
  static const CoClassInfo info{CLASS_ZarnReaderSession, "ZarnReaderSession", "ZarnReaderSession Object",
                                &ZarnReaderSessionInterfaceInfo()};
  return info;
}

const TypeLibInfo& ZarnTypeLibInfo() {
  static const TypeLibInfo info{
      LIBID_Zarn,
      "Zarn",
      "Zarn Library",
      1,
      0,
      {&ZarnReaderSealClassInfo(), &ZarnReaderSessionClassInfo(), &ZarnReaderSealGroupClassInfo()},
      {&ZarnReaderSealInterfaceInfo(), &ZarnReaderSealEventsInfo(), &ZarnReaderSessionInterfaceInfo(),
       &ZarnReaderSessionEventsInfo(), &ZarnReaderSealGroupInterfaceInfo(), &ZarnReaderSealGroupEventsInfo()}};
  return info;
}

HRESULT InvokeZarnReaderSeal(IZarnReaderSeal& o, const MemberInfo& member, std::vector<Variant>& a,
                             Variant& result) {
  using I = IZarnReaderSeal;
  auto i = [&](size_t n) { return int32_t(a[n].Integer()); };
  switch (member.id) {
    case 1: return Answer(o, &I::get_SerialNumber, result, Unsigned);
    case 2: return o.Logon();
    case 3: return o.Logoff();
    case 4: return o.Readout(i(0), i(1), i(2));
    case 5: return o.GetStatus();
    case 10: return o.GetChallenge();
    case 9: return Answer(o, &I::get_LoggedOn, result, Boolean);
    case 11: return o.GetLogInfo();
    case 12: return Answer(o, &I::get_SealEvents, result, Signed);
    case 14: return Answer(o, &I::get_SystemEvents, result, Signed);
    case 16: return Answer(o, &I::get_SoHRecords, result, Signed);
    case 6: return Answer(o, &I::get_KeysetNumber, result, Text);
    case 13: return Answer(o, &I::get_KeysetDate, result, Text);
    case 15: return Answer(o, &I::get_KeysetTime, result, Text);
    case 8: return Answer(o, &I::get_Firmware, result, Text);
    case 7: return o.WritePad(a[0].String());
    case 17: return Answer(o, &I::ReadPad, result, Text);
    case 20: return o.CreateKeyset(uint32_t(a[0].Integer()));
    case 19: return o.Synchronize();
    case 18: return o.ClearPad();
    case 21: return Answer(o, &I::get_Deviation, result, Signed);
    case 22: return Answer(o, &I::get_Error, result, Text);
    case 23: return Answer(o, &I::get_Reason, result, Text);
    case 24: return Answer(o, &I::get_Address, result, Unsigned);
    case 25: return o.EraseKeyset();
    case 28: return Answer(o, &I::get_NativeObject, result, Native);
    case 26: return Answer(o, &I::get_ExStatusFlags, result, Signed);
    default: return DISP_E_MEMBERNOTFOUND;
  }
}

HRESULT InvokeZarnReaderSealGroup(IZarnReaderSealGroup& o, const MemberInfo& member, std::vector<Variant>& a,
                                  Variant& result) {
  using I = IZarnReaderSealGroup;
  switch (member.id) {
    case 1: return Answer(o, &I::get_Name, result, Text);
    case 2: return Answer(o, &I::get_Count, result, Signed);
    case 3: {
      IDispatch* seal = nullptr;
      HRESULT hr = o.Seal(int32_t(a[0].Integer()), &seal);
      result = Object(seal);  // null on failure too
      return hr;
    }
    default: return DISP_E_MEMBERNOTFOUND;
  }
}

HRESULT InvokeZarnReaderSession(IZarnReaderSession& o, const MemberInfo& member, std::vector<Variant>& a,
                                Variant& result) {
  using I = IZarnReaderSession;
  switch (member.id) {
    case 1: return Answer(o, &I::get_Document, result, Object);
    case 2: return Answer(o, &I::get_Seal, result, Object);
    case 3: return o.SetValue(a[0].String(), a[1]);
    case 4: return o.GetValue(a[0].String(), &result);
    case 5: return Answer(o, &I::get_Operator1, result, Text);
    case 6: return Answer(o, &I::get_Operator2, result, Text);
    case 7: return Answer(o, &I::get_Group, result, Object);
    case 8: return Answer(o, &I::get_SerialNumber, result, Signed);
    case 9: return Answer(o, &I::get_Canceled, result, Boolean);
    case 10: return o.Cancel();
    case 11: return o.Close();
    case 13: return o.Save(a[0].String());
    case 16: return o.Open(a[0].String());
    case 12: return Answer(o, &I::get_Expert, result, Boolean);
    case 19: return o.Silent();
    case 17: return o.Find(a[0].String());
    case 14: return Answer(o, &I::get_Date, result, Text);
    case 15: return Answer(o, &I::get_Time, result, Text);
    default: return DISP_E_MEMBERNOTFOUND;
  }
}
