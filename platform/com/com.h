#pragma once
// The component object model the system's programs are built on: GUIDs, HRESULTs,
// reference-counted interfaces, class factories, automation (IDispatch with type
// information from static tables), byte-carrying strings and variants.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// ---- GUID ----

struct GUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};

  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", either case, braces required.
  static std::optional<GUID> Parse(const std::string& text);
  // Upper-case with braces, as the registry holds it.
  std::string ToString() const;
  bool operator==(const GUID&) const = default;
  bool IsNull() const { return *this == GUID{}; }
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

// Builds a GUID from its text at compile time: constexpr GUID X = MakeGuid("{...}").
constexpr GUID MakeGuid(const char (&t)[39]) {
  auto hex = [](char c) -> uint32_t {
    return c >= '0' && c <= '9' ? uint32_t(c - '0') : c >= 'a' && c <= 'f' ? uint32_t(c - 'a' + 10) : uint32_t(c - 'A' + 10);
  };
  auto field = [&](int from, int digits) {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) v = v << 4 | hex(t[from + i]);
    return v;
  };
  GUID g;
  g.Data1 = field(1, 8);
  g.Data2 = uint16_t(field(10, 4));
  g.Data3 = uint16_t(field(15, 4));
  g.Data4[0] = uint8_t(field(20, 2));
  g.Data4[1] = uint8_t(field(22, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = uint8_t(field(25 + 2 * i, 2));
  return g;
}

// ---- HRESULT ----

using HRESULT = int32_t;
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t error) {
  return error == 0 ? 0 : HRESULT((error & 0xFFFF) | 0x80070000u);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = HRESULT(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = HRESULT(0x80004002u);
inline constexpr HRESULT E_POINTER = HRESULT(0x80004003u);
inline constexpr HRESULT E_ABORT = HRESULT(0x80004004u);
inline constexpr HRESULT E_FAIL = HRESULT(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = HRESULT(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = HRESULT(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = HRESULT(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = HRESULT(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = HRESULT(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = HRESULT(0x80040154u);
inline constexpr HRESULT CO_E_NOTINITIALIZED = HRESULT(0x800401F0u);
inline constexpr HRESULT CO_E_DLLNOTFOUND = HRESULT(0x800401F8u);
inline constexpr HRESULT CO_E_ERRORINDLL = HRESULT(0x800401F9u);
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = HRESULT(0x80080005u);
inline constexpr HRESULT RPC_E_DISCONNECTED = HRESULT(0x80010108u);
inline constexpr HRESULT RPC_E_SERVERFAULT = HRESULT(0x80010105u);
inline constexpr HRESULT RPC_E_TIMEOUT = HRESULT(0x8001011Fu);  // a peer did not answer in time
inline constexpr HRESULT RPC_E_SERVERCALL_RETRYLATER = HRESULT(0x8001010Au);  // a peer holds too many calls
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = HRESULT(0x80020003u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = HRESULT(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = HRESULT(0x80020006u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = HRESULT(0x80020004u);
inline constexpr HRESULT DISP_E_NONAMEDARGS = HRESULT(0x80020007u);
inline constexpr HRESULT DISP_E_EXCEPTION = HRESULT(0x80020009u);
inline constexpr HRESULT DISP_E_OVERFLOW = HRESULT(0x8002000Au);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = HRESULT(0x8002000Eu);

// ---- interfaces ----

inline constexpr IID IID_IUnknown = MakeGuid("{00000000-0000-0000-C000-000000000046}");
inline constexpr IID IID_IClassFactory = MakeGuid("{00000001-0000-0000-C000-000000000046}");
inline constexpr IID IID_IDispatch = MakeGuid("{00020400-0000-0000-C000-000000000046}");
inline constexpr IID IID_ITypeInfo = MakeGuid("{00020401-0000-0000-C000-000000000046}");

class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  virtual ~IUnknown() = default;
};

// Holds one counted reference.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(T* p) : p_(p) {  // NOLINT: adds a reference, as an assignment of a raw pointer does
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  // Takes over a reference the caller already owns.
  static ComPtr Attach(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  T* Detach() { return std::exchange(p_, nullptr); }
  void Reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out arguments: releases what is held and hands out the slot.
  void** PutVoid() {
    Reset();
    return reinterpret_cast<void**>(&p_);
  }
  T** Put() {
    Reset();
    return &p_;
  }
  template <class U>
  HRESULT As(REFIID iid, ComPtr<U>& out) const {
    return p_ ? p_->QueryInterface(iid, out.PutVoid()) : E_POINTER;
  }

 private:
  T* p_ = nullptr;
};

// Reference counting and interface lookup for an object; Find names the interfaces.
class ComObjectRoot {
 public:
  uint32_t AddRefImpl() { return ++refs_; }
  uint32_t ReleaseImpl() {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  virtual ~ComObjectRoot() = default;

 private:
  std::atomic<uint32_t> refs_{0};
};

#define COM_REFCOUNT_METHODS                                 \
  uint32_t AddRef() override { return AddRefImpl(); }      \
  uint32_t Release() override { return ReleaseImpl(); }

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT LockServer(bool lock) = 0;
};

// A class factory's counting and interfaces; the class answers CreateInstance.
class ClassFactoryRoot : public IClassFactory, protected ComObjectRoot {
 public:
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT LockServer(bool) override { return S_OK; }
};

// ---- byte strings and variants ----

// A string that carries raw bytes with their exact length (an odd one too), or text
// as UTF-16 code units. A null string and an empty one are both of length 0.
class Bstr {
 public:
  Bstr() = default;
  static Bstr FromBytes(const void* data, size_t length);
  static Bstr FromBytes(const std::string& bytes) { return FromBytes(bytes.data(), bytes.size()); }
  static Bstr FromText(const std::u16string& text);
  static Bstr FromUtf8(const std::string& text);

  size_t ByteLength() const { return bytes_.size(); }
  size_t Length() const { return bytes_.size() / 2; }  // in characters
  const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(bytes_.data()); }
  uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(bytes_.data()); }
  const std::string& ByteString() const { return bytes_; }
  std::u16string Text() const;
  std::string Utf8() const;
  bool operator==(const Bstr&) const = default;

 private:
  std::string bytes_;
};

enum VARTYPE : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_UI1 = 17,
  VT_UI4 = 19,
  VT_BYREF = 0x4000,  // a flag: the argument is the caller's own, to be written back
};

class IDispatch;

// A value of one automation type. Its type is never VT_VARIANT: a variant holds a value.
class Variant {
 public:
  Variant() = default;
  Variant(int32_t v) : vt_(VT_I4), value_(int64_t(v)) {}  // NOLINT
  Variant(bool v) : vt_(VT_BOOL), value_(v) {}           // NOLINT
  Variant(Bstr v) : vt_(VT_BSTR), value_(std::move(v)) {}  // NOLINT
  Variant(ComPtr<IDispatch> v) : vt_(VT_DISPATCH), value_(std::move(v)) {}  // NOLINT
  Variant(ComPtr<IUnknown> v) : vt_(VT_UNKNOWN), value_(std::move(v)) {}    // NOLINT
  static Variant Of(VARTYPE vt, int64_t value);  // the integer kinds
  static Variant Real(VARTYPE vt, double value);  // VT_R8, VT_DATE
  static Variant Null();
  // The empty value of a type: 0, false, an empty string, no object; VT_EMPTY for VT_VARIANT.
  static Variant EmptyOf(VARTYPE vt);

  VARTYPE Type() const { return vt_; }
  int64_t Integer() const;  // any integer kind, VT_BOOL as 0 or -1
  double RealValue() const;
  bool Bool() const { return Integer() != 0; }
  const Bstr& String() const;
  Bstr& String();
  const ComPtr<IDispatch>& Dispatch() const;  // null unless VT_DISPATCH
  ComPtr<IUnknown> Unknown() const;           // the object of VT_DISPATCH or VT_UNKNOWN
  bool IsObject() const { return vt_ == VT_DISPATCH || vt_ == VT_UNKNOWN; }

  // Marks an argument as the caller's own variable (VT_BYREF): an out or in-out value
  // is written back to it. Arguments are always written back; the mark is for callers
  // that say so and for the checks of parameters that are out only.
  Variant& ByRef(bool byRef = true) {
    byRef_ = byRef;
    return *this;
  }
  bool IsByRef() const { return byRef_; }

  // Converts to the type in place as automation coerces arguments: DISP_E_OVERFLOW for
  // a number out of the type's range, DISP_E_TYPEMISMATCH for any other impossibility.
  HRESULT ChangeType(VARTYPE vt);

 private:
  HRESULT Coerce(VARTYPE vt);

  VARTYPE vt_ = VT_EMPTY;
  bool byRef_ = false;
  std::variant<std::monostate, int64_t, double, bool, Bstr, ComPtr<IDispatch>, ComPtr<IUnknown>> value_;
  Variant(VARTYPE vt, int64_t v) : vt_(vt), value_(v) {}
};

// ---- automation ----

using DISPID = int32_t;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

inline constexpr uint16_t DISPATCH_METHOD = 1;
inline constexpr uint16_t DISPATCH_PROPERTYGET = 2;
inline constexpr uint16_t DISPATCH_PROPERTYPUT = 4;

// The arguments of one call, in the order the member declares them (not reversed).
// The only named argument is DISPID_PROPERTYPUT: the value of a property put, which
// then stands first in args.
struct DISPPARAMS {
  std::vector<Variant> args;
  std::vector<DISPID> named = {};
};

struct EXCEPINFO {
  uint16_t wCode = 0;
  std::string source;
  std::string description;
  HRESULT scode = 0;
};

enum class ParamDir { In, Out, InOut };
enum class MemberKind { Method, PropertyGet, PropertyPut };

struct ParamInfo {
  const char* name;
  VARTYPE type;
  ParamDir dir = ParamDir::In;
  bool bytes = false;  // a VT_BSTR that carries raw bytes, not text
};

struct MemberInfo {
  DISPID id;
  const char* name;
  MemberKind kind;
  std::vector<ParamInfo> params;
  VARTYPE result = VT_EMPTY;  // the [retval] of a method or the value of a property get
  const char* help = "";
};

struct InterfaceInfo {
  IID iid;
  const char* name;
  const char* help;
  std::vector<MemberInfo> members;

  // Names compare without regard to case, as script hosts expect.
  const MemberInfo* Find(const std::string& name, MemberKind kind) const;
  const MemberInfo* Find(DISPID id, MemberKind kind) const;
};

struct CoClassInfo {
  CLSID clsid;
  const char* name;
  const char* help;
  const InterfaceInfo* defaultInterface;
};

struct TypeLibInfo {
  GUID libid;
  const char* name;
  const char* help;
  uint16_t major;
  uint16_t minor;
  std::vector<const CoClassInfo*> classes;
  std::vector<const InterfaceInfo*> interfaces;
};

// The type information of one interface or class, handed out by GetTypeInfo and GetClassInfo.
class ITypeInfo : public IUnknown {
 public:
  virtual const InterfaceInfo* Interface() const = 0;  // null for a class
  virtual const CoClassInfo* Class() const = 0;        // null for an interface
};

ComPtr<ITypeInfo> MakeTypeInfo(const InterfaceInfo& info);
ComPtr<ITypeInfo> MakeTypeInfo(const CoClassInfo& info);

class IDispatch : public IUnknown {
 public:
  virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
  virtual HRESULT GetTypeInfo(uint32_t index, uint32_t lcid, ITypeInfo** info) = 0;
  virtual HRESULT GetIDsOfNames(REFIID iid, const std::vector<std::string>& names, uint32_t lcid, DISPID* ids) = 0;
  // Out and in-out arguments are written back into params; the [retval] goes to result.
  virtual HRESULT Invoke(DISPID id, REFIID iid, uint32_t lcid, uint16_t flags, DISPPARAMS* params, Variant* result,
                         EXCEPINFO* exception, uint32_t* argError) = 0;
};

// The type-information half of IDispatch: names to DISPIDs and the type information,
// from the interface's static table.
template <class Interface>
class TypeInfoDispatch : public Interface {
 public:
  HRESULT GetTypeInfoCount(uint32_t* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(uint32_t index, uint32_t, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    if (index != 0) return E_INVALIDARG;
    *info = MakeTypeInfo(TypeInformation()).Detach();
    return S_OK;
  }
  HRESULT GetIDsOfNames(REFIID, const std::vector<std::string>& names, uint32_t, DISPID* ids) override {
    return LookUpNames(TypeInformation(), names, ids);
  }

 protected:
  virtual const InterfaceInfo& TypeInformation() const = 0;
};

// IDispatch from an interface's type information: argument count and type checks and
// coercion too; the object answers InvokeMember for each member.
template <class Interface>
class DispatchImpl : public TypeInfoDispatch<Interface> {
 public:
  HRESULT Invoke(DISPID id, REFIID, uint32_t, uint16_t flags, DISPPARAMS* params, Variant* result,
                 EXCEPINFO* exception, uint32_t* argError) override {
    const MemberInfo* member = nullptr;
    HRESULT hr = PrepareInvoke(this->TypeInformation(), id, flags, params, argError, member);
    if (FAILED(hr)) return hr;
    Variant scratch;
    raised_.reset();
    hr = InvokeMember(*member, params->args, result ? *result : scratch);
    if (raised_) {
      if (exception) *exception = std::move(*raised_);
      raised_.reset();
      return DISP_E_EXCEPTION;
    }
    return hr;
  }

 protected:
  // Called with the arguments already counted and coerced to the member's types (out
  // parameters hold their type's empty value).
  virtual HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) = 0;
  // From InvokeMember: the call fails with DISP_E_EXCEPTION and this description.
  HRESULT Raise(EXCEPINFO exception) {
    raised_ = std::move(exception);
    return DISP_E_EXCEPTION;
  }

 private:
  std::optional<EXCEPINFO> raised_;  // an apartment object is called on one thread
};

// The typed view of an object that is reached through IDispatch only (an object of
// another process): each typed method calls Invoke with its arguments.
template <class Interface>
class DispatchProxy : public Interface, protected ComObjectRoot {
 public:
  DispatchProxy(IDispatch* inner, REFIID iid) : inner_(inner), iid_(iid) {}
  uint32_t AddRef() override { return AddRefImpl(); }
  uint32_t Release() override { return ReleaseImpl(); }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == iid_) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    return inner_->QueryInterface(iid, object);
  }
  HRESULT GetTypeInfoCount(uint32_t* count) override { return inner_->GetTypeInfoCount(count); }
  HRESULT GetTypeInfo(uint32_t index, uint32_t lcid, ITypeInfo** info) override {
    return inner_->GetTypeInfo(index, lcid, info);
  }
  HRESULT GetIDsOfNames(REFIID iid, const std::vector<std::string>& names, uint32_t lcid, DISPID* ids) override {
    return inner_->GetIDsOfNames(iid, names, lcid, ids);
  }
  HRESULT Invoke(DISPID id, REFIID iid, uint32_t lcid, uint16_t flags, DISPPARAMS* params, Variant* result,
                 EXCEPINFO* exception, uint32_t* argError) override {
    return inner_->Invoke(id, iid, lcid, flags, params, result, exception, argError);
  }

 protected:
  // args come back with the out and in-out values.
  HRESULT Call(DISPID id, uint16_t flags, std::vector<Variant>& args, Variant* result = nullptr) {
    DISPPARAMS params{std::move(args)};
    HRESULT hr = inner_->Invoke(id, IID_IDispatch, 0, flags, &params, result, nullptr, nullptr);
    args = std::move(params.args);
    return hr;
  }
  HRESULT Call(DISPID id, uint16_t flags, std::vector<Variant>&& args, Variant* result = nullptr) {
    return Call(id, flags, args, result);
  }

 private:
  ComPtr<IDispatch> inner_;
  const IID iid_;
};

HRESULT LookUpNames(const InterfaceInfo& info, const std::vector<std::string>& names, DISPID* ids);
// Finds the member a call means and checks and coerces its arguments: the value of a
// property put named DISPID_PROPERTYPUT moves to its declared place, in arguments are
// coerced to their types and out arguments start as their type's empty value.
HRESULT PrepareInvoke(const InterfaceInfo& info, DISPID id, uint16_t flags, DISPPARAMS* params, uint32_t* argError,
                      const MemberInfo*& member);

// ---- apartments and activation ----

inline constexpr uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr uint32_t CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr uint32_t CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

// Enters the component model on the calling thread; S_FALSE when already entered.
HRESULT CoInitialize();
void CoUninitialize();
bool CoIsInitialized();

// The calling thread inside the component model while the object lives.
class ApartmentScope {
 public:
  ApartmentScope() { CoInitialize(); }
  ~ApartmentScope() { CoUninitialize(); }
  ApartmentScope(const ApartmentScope&) = delete;
  ApartmentScope& operator=(const ApartmentScope&) = delete;
};
