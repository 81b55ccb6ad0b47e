#pragma once
// The reader's published interfaces: the session that page script and outside clients
// reach, and the seal and group objects it hands out. What the reader and its clients share.

#include "com.h"

inline constexpr GUID LIBID_Zarn = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B01}");
inline constexpr GUID APPID_Zarn = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B02}");
inline constexpr CLSID CLASS_ZarnReaderSeal = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B10}");
inline constexpr CLSID CLASS_ZarnReaderSession = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B20}");
inline constexpr CLSID CLASS_ZarnReaderSealGroup = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B30}");
inline constexpr IID IID_IZarnReaderSeal = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B11}");
inline constexpr IID IID_IZarnReaderSession = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B21}");
inline constexpr IID IID_IZarnReaderSealGroup = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B31}");
inline constexpr IID DIID_IZarnReaderSealEvents = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B12}");
inline constexpr IID DIID_IZarnReaderSessionEvents = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B22}");
inline constexpr IID DIID_IZarnReaderSealGroupEvents = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B32}");

// The session-bus name zarn owns while it serves its classes.
inline constexpr const char* ZarnBusName = "org.zarn.Zarn";

// What NativeObject gives a dispatch caller: a pointer into the reader's own memory in an
// object without automation, which no bus carries.
inline constexpr IID IID_INativePointer = MakeGuid("{6B1D4E20-93A7-4C58-B2F1-7E0A3C9D5B40}");
class INativePointer : public IUnknown {
 public:
  virtual void* Pointer() const = 0;
};

class IZarnReaderSeal : public IDispatch {
 public:
  virtual HRESULT get_SerialNumber(uint32_t* Value) = 0;
  virtual HRESULT Logon() = 0;
  virtual HRESULT Logoff() = 0;
  virtual HRESULT Readout(int32_t SealEventsToRead, int32_t SystemEventsToRead, int32_t SoHRecordsToRead) = 0;
  virtual HRESULT GetStatus() = 0;
  virtual HRESULT GetChallenge() = 0;
  virtual HRESULT get_LoggedOn(bool* Value) = 0;
  virtual HRESULT GetLogInfo() = 0;
  virtual HRESULT get_SealEvents(int32_t* Value) = 0;
  virtual HRESULT get_SystemEvents(int32_t* Value) = 0;
  virtual HRESULT get_SoHRecords(int32_t* Value) = 0;
  virtual HRESULT get_KeysetNumber(Bstr* Value) = 0;
  virtual HRESULT get_KeysetDate(Bstr* Value) = 0;
  virtual HRESULT get_KeysetTime(Bstr* Value) = 0;
  virtual HRESULT get_Firmware(Bstr* Value) = 0;
  virtual HRESULT WritePad(const Bstr& Text) = 0;
  virtual HRESULT ReadPad(Bstr* Text) = 0;
  virtual HRESULT CreateKeyset(uint32_t Option) = 0;
  virtual HRESULT Synchronize() = 0;
  virtual HRESULT ClearPad() = 0;
  virtual HRESULT get_Deviation(int32_t* Value) = 0;
  virtual HRESULT get_Error(Bstr* Value) = 0;
  virtual HRESULT get_Reason(Bstr* Value) = 0;
  virtual HRESULT get_Address(uint32_t* Value) = 0;
  virtual HRESULT EraseKeyset() = 0;
  virtual HRESULT get_NativeObject(void** Value) = 0;
  virtual HRESULT get_ExStatusFlags(int32_t* Value) = 0;
};

class IZarnReaderSealGroup : public IDispatch {
 public:
  virtual HRESULT get_Name(Bstr* Value) = 0;
  virtual HRESULT get_Count(int32_t* Value) = 0;
  virtual HRESULT Seal(int32_t Index, IDispatch** Value) = 0;
};

class IZarnReaderSession : public IDispatch {
 public:
  virtual HRESULT get_Document(IDispatch** Value) = 0;
  virtual HRESULT get_Seal(IDispatch** Value) = 0;
  virtual HRESULT SetValue(const Bstr& Name, const Variant& Value) = 0;
  virtual HRESULT GetValue(const Bstr& Name, Variant* Value) = 0;
  virtual HRESULT get_Operator1(Bstr* Value) = 0;
  virtual HRESULT get_Operator2(Bstr* Value) = 0;
  virtual HRESULT get_Group(IDispatch** Value) = 0;
  virtual HRESULT get_SerialNumber(int32_t* Value) = 0;
  virtual HRESULT get_Canceled(bool* Value) = 0;
  virtual HRESULT Cancel() = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT Save(const Bstr& Filename) = 0;
  virtual HRESULT Open(const Bstr& Filename) = 0;
  virtual HRESULT get_Expert(bool* Value) = 0;
  virtual HRESULT Silent() = 0;
  virtual HRESULT Find(const Bstr& Port) = 0;
  virtual HRESULT get_Date(Bstr* Value) = 0;
  virtual HRESULT get_Time(Bstr* Value) = 0;
};

const InterfaceInfo& ZarnReaderSealInterfaceInfo();
const InterfaceInfo& ZarnReaderSealGroupInterfaceInfo();
const InterfaceInfo& ZarnReaderSessionInterfaceInfo();
// The event interfaces: no members, nothing is ever fired.
const InterfaceInfo& ZarnReaderSealEventsInfo();
const InterfaceInfo& ZarnReaderSealGroupEventsInfo();
const InterfaceInfo& ZarnReaderSessionEventsInfo();
const CoClassInfo& ZarnReaderSealClassInfo();
const CoClassInfo& ZarnReaderSealGroupClassInfo();
const CoClassInfo& ZarnReaderSessionClassInfo();
const TypeLibInfo& ZarnTypeLibInfo();

// Answer a dispatch call by calling the typed member of the object; a property's value
// and a method's [retval] go to result.
HRESULT InvokeZarnReaderSeal(IZarnReaderSeal& object, const MemberInfo& member, std::vector<Variant>& args,
                             Variant& result);
HRESULT InvokeZarnReaderSealGroup(IZarnReaderSealGroup& object, const MemberInfo& member,
                                  std::vector<Variant>& args, Variant& result);
HRESULT InvokeZarnReaderSession(IZarnReaderSession& object, const MemberInfo& member, std::vector<Variant>& args,
                                Variant& result);
