#include "com.h"

#include "unicode.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

// ---- GUID ----

std::optional<GUID> GUID::Parse(const std::string& t) {
  if (t.size() != 38 || t.front() != '{' || t.back() != '}') return std::nullopt;
  for (size_t i = 1; i < 37; ++i) {
    bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? t[i] != '-' : !std::isxdigit(static_cast<unsigned char>(t[i]))) return std::nullopt;
  }
  char text[39];
  std::memcpy(text, t.c_str(), 39);
  return MakeGuid(text);
}

std::string GUID::ToString() const {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Data1, Data2, Data3, Data4[0],
                Data4[1], Data4[2], Data4[3], Data4[4], Data4[5], Data4[6], Data4[7]);
  return text;
}

// ---- Bstr ----

Bstr Bstr::FromBytes(const void* data, size_t length) {
  Bstr b;
  if (length) b.bytes_.assign(static_cast<const char*>(data), length);
  return b;
}

Bstr Bstr::FromText(const std::u16string& text) {
  Bstr b;
  b.bytes_.resize(text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) {
    b.bytes_[2 * i] = char(text[i] & 0xFF);
    b.bytes_[2 * i + 1] = char(text[i] >> 8);
  }
  return b;
}

std::u16string Bstr::Text() const {
  std::u16string text(Length(), u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = char16_t(uint8_t(bytes_[2 * i]) | uint8_t(bytes_[2 * i + 1]) << 8);
  return text;
}

Bstr Bstr::FromUtf8(const std::string& text) { return FromText(platform::Utf8ToUtf16(text)); }

std::string Bstr::Utf8() const { return platform::Utf16ToUtf8(Text()); }

// ---- Variant ----

namespace {

bool IsIntegerType(VARTYPE vt) { return vt == VT_I2 || vt == VT_I4 || vt == VT_UI1 || vt == VT_UI4 || vt == VT_ERROR; }

bool FitsIn(VARTYPE vt, int64_t v) {
  switch (vt) {
    case VT_I2: return v >= INT16_MIN && v <= INT16_MAX;
    case VT_UI1: return v >= 0 && v <= UINT8_MAX;
    case VT_UI4: return v >= 0 && v <= UINT32_MAX;
    default: return v >= INT32_MIN && v <= INT32_MAX;
  }
}

const Bstr EmptyBstr;
const ComPtr<IDispatch> NoDispatch;

}  // namespace

Variant Variant::Of(VARTYPE vt, int64_t value) { return vt == VT_VARIANT ? Variant() : Variant(vt, value); }

Variant Variant::Null() {
  Variant v;
  v.vt_ = VT_NULL;
  return v;
}

Variant Variant::EmptyOf(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR: return Variant(Bstr());
    case VT_DISPATCH: return Variant(ComPtr<IDispatch>());
    case VT_UNKNOWN: return Variant(ComPtr<IUnknown>());
    case VT_BOOL: return Variant(false);
    case VT_R8: case VT_DATE: return Real(vt, 0);
    case VT_I2: case VT_I4: case VT_UI1: case VT_UI4: case VT_ERROR: return Variant(vt, 0);
    default: return Variant();
  }
}

Variant Variant::Real(VARTYPE vt, double value) {
  Variant v;
  v.vt_ = vt;
  v.value_ = value;
  return v;
}

int64_t Variant::Integer() const {
  if (auto p = std::get_if<int64_t>(&value_)) return *p;
  if (auto p = std::get_if<bool>(&value_)) return *p ? -1 : 0;
  if (auto p = std::get_if<double>(&value_)) return int64_t(*p);
  return 0;
}

double Variant::RealValue() const {
  if (auto p = std::get_if<double>(&value_)) return *p;
  return double(Integer());
}

const Bstr& Variant::String() const {
  auto p = std::get_if<Bstr>(&value_);
  return p ? *p : EmptyBstr;
}

Bstr& Variant::String() {
  if (!std::holds_alternative<Bstr>(value_)) {
    vt_ = VT_BSTR;
    value_ = Bstr();
  }
  return std::get<Bstr>(value_);
}

const ComPtr<IDispatch>& Variant::Dispatch() const {
  auto p = std::get_if<ComPtr<IDispatch>>(&value_);
  return p ? *p : NoDispatch;
}

ComPtr<IUnknown> Variant::Unknown() const {
  if (auto p = std::get_if<ComPtr<IUnknown>>(&value_)) return *p;
  if (auto p = std::get_if<ComPtr<IDispatch>>(&value_)) return ComPtr<IUnknown>(p->Get());
  return {};
}

HRESULT Variant::ChangeType(VARTYPE vt) {
  bool byRef = byRef_;
  HRESULT hr = Coerce(VARTYPE(vt & ~VT_BYREF));
  byRef_ = byRef;
  return hr;
}

HRESULT Variant::Coerce(VARTYPE vt) {
  if (vt == vt_ || vt == VT_VARIANT) return S_OK;
  if (IsIntegerType(vt)) {
    int64_t v;
    if (IsIntegerType(vt_) || vt_ == VT_BOOL || vt_ == VT_EMPTY) {
      v = Integer();
    } else if (vt_ == VT_R8 || vt_ == VT_DATE) {
      double r = RealValue();
      if (r != r) return DISP_E_TYPEMISMATCH;  // not a number
      // Far beyond every integer type, and within what a 64-bit integer holds.
      if (!(r > -1e18 && r < 1e18)) return DISP_E_OVERFLOW;
      v = int64_t(r < 0 ? r - 0.5 : r + 0.5);
    } else if (vt_ == VT_BSTR) {
      std::string s = String().Utf8();
      char* end = nullptr;
      errno = 0;
      long long parsed = std::strtoll(s.c_str(), &end, 10);
      if (s.empty() || *end) return DISP_E_TYPEMISMATCH;
      if (errno) return DISP_E_OVERFLOW;
      v = parsed;
    } else {
      return DISP_E_TYPEMISMATCH;
    }
    // Script numbers above 2^31 still mean the unsigned 32-bit value they show.
    if (vt == VT_I4 && v > INT32_MAX && v <= UINT32_MAX) v = int32_t(uint32_t(v));
    if (!FitsIn(vt, v)) return DISP_E_OVERFLOW;
    *this = Variant(vt, v);
    return S_OK;
  }
  switch (vt) {
    case VT_BOOL:
      if (!IsIntegerType(vt_) && vt_ != VT_EMPTY && vt_ != VT_R8) return DISP_E_TYPEMISMATCH;
      *this = Variant(RealValue() != 0);
      return S_OK;
    case VT_R8:
    case VT_DATE:
      if (!IsIntegerType(vt_) && vt_ != VT_R8 && vt_ != VT_DATE && vt_ != VT_BOOL && vt_ != VT_EMPTY)
        return DISP_E_TYPEMISMATCH;
      *this = Real(vt, RealValue());
      return S_OK;
    case VT_BSTR:
      if (vt_ == VT_EMPTY) {
        *this = Variant(Bstr());
      } else if (IsIntegerType(vt_)) {
        *this = Variant(Bstr::FromUtf8(std::to_string(Integer())));
      } else if (vt_ == VT_BOOL) {
        *this = Variant(Bstr::FromUtf8(Bool() ? "True" : "False"));
      } else {
        return DISP_E_TYPEMISMATCH;
      }
      return S_OK;
    case VT_DISPATCH: {
      if (vt_ == VT_EMPTY || vt_ == VT_NULL) {
        *this = Variant(ComPtr<IDispatch>());
        return S_OK;
      }
      if (vt_ != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
      ComPtr<IUnknown> object = Unknown();
      ComPtr<IDispatch> dispatch;
      if (object && FAILED(object.As(IID_IDispatch, dispatch))) return DISP_E_TYPEMISMATCH;
      *this = Variant(dispatch);
      return S_OK;
    }
    case VT_UNKNOWN:
      if (vt_ != VT_EMPTY && vt_ != VT_NULL && vt_ != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
      *this = Variant(Unknown());
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// ---- type information ----

namespace {

bool SameName(const char* a, const std::string& b) {
  size_t n = std::strlen(a);
  if (n != b.size()) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

class TypeInfo final : public ITypeInfo, private ComObjectRoot {
 public:
  TypeInfo(const InterfaceInfo* i, const CoClassInfo* c) : interface_(i), class_(c) {}
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ITypeInfo) {
      *object = static_cast<ITypeInfo*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  const InterfaceInfo* Interface() const override { return interface_; }
  const CoClassInfo* Class() const override { return class_; }

 private:
  const InterfaceInfo* interface_;
  const CoClassInfo* class_;
};

}  // namespace

const MemberInfo* InterfaceInfo::Find(const std::string& name, MemberKind kind) const {
  for (const auto& m : members)
    if (m.kind == kind && SameName(m.name, name)) return &m;
  return nullptr;
}

const MemberInfo* InterfaceInfo::Find(DISPID id, MemberKind kind) const {
  for (const auto& m : members)
    if (m.kind == kind && m.id == id) return &m;
  return nullptr;
}

ComPtr<ITypeInfo> MakeTypeInfo(const InterfaceInfo& info) { return ComPtr<ITypeInfo>(new TypeInfo(&info, nullptr)); }

ComPtr<ITypeInfo> MakeTypeInfo(const CoClassInfo& info) { return ComPtr<ITypeInfo>(new TypeInfo(nullptr, &info)); }

HRESULT LookUpNames(const InterfaceInfo& info, const std::vector<std::string>& names, DISPID* ids) {
  if (names.empty()) return S_OK;
  if (!ids) return E_POINTER;
  const MemberInfo* member = nullptr;
  for (MemberKind kind : {MemberKind::Method, MemberKind::PropertyGet, MemberKind::PropertyPut})
    if (!member) member = info.Find(names[0], kind);
  ids[0] = member ? member->id : DISPID_UNKNOWN;
  bool all = member != nullptr;
  // Further names are the member's parameters.
  for (size_t i = 1; i < names.size(); ++i) {
    ids[i] = DISPID_UNKNOWN;
    if (!member) continue;
    for (size_t p = 0; p < member->params.size(); ++p)
      if (SameName(member->params[p].name, names[i])) ids[i] = DISPID(p);
    all = all && ids[i] != DISPID_UNKNOWN;
  }
  return all ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT PrepareInvoke(const InterfaceInfo& info, DISPID id, uint16_t flags, DISPPARAMS* params, uint32_t* argError,
                      const MemberInfo*& member) {
  if (!params) return E_POINTER;
  member = nullptr;
  if (flags & DISPATCH_PROPERTYPUT) member = info.Find(id, MemberKind::PropertyPut);
  if (!member && (flags & DISPATCH_METHOD)) member = info.Find(id, MemberKind::Method);
  if (!member && (flags & DISPATCH_PROPERTYGET)) member = info.Find(id, MemberKind::PropertyGet);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  if (!params->named.empty()) {
    // A property put's value may come named; nothing else is passed by name.
    if (member->kind != MemberKind::PropertyPut || params->named.size() != 1 || params->named[0] != DISPID_PROPERTYPUT ||
        params->args.empty())
      return DISP_E_NONAMEDARGS;
    std::rotate(params->args.begin(), params->args.begin() + 1, params->args.end());
    params->named.clear();
  }
  if (params->args.size() != member->params.size()) return DISP_E_BADPARAMCOUNT;
  for (size_t i = 0; i < member->params.size(); ++i) {
    const ParamInfo& p = member->params[i];
    Variant& arg = params->args[i];
    if (p.dir == ParamDir::Out) {
      bool byRef = arg.IsByRef();
      arg = Variant::EmptyOf(p.type).ByRef(byRef);
      continue;
    }
    if (HRESULT hr = arg.ChangeType(p.type); FAILED(hr)) {
      if (argError) *argError = uint32_t(i);
      return hr;
    }
  }
  return S_OK;
}

// ---- apartments ----

namespace {
thread_local int apartmentDepth = 0;
}

HRESULT CoInitialize() { return apartmentDepth++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() {
  if (apartmentDepth > 0) --apartmentDepth;
}

bool CoIsInitialized() { return apartmentDepth > 0; }
