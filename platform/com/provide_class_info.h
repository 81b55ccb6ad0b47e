#pragma once
// IProvideClassInfo: an object's own way to the type information of its class.

#include "com.h"

inline constexpr IID IID_IProvideClassInfo = MakeGuid("{B196B283-BAB4-101A-B69C-00AA00341D07}");

class IProvideClassInfo : public IUnknown {
 public:
  virtual HRESULT GetClassInfo(ITypeInfo** info) = 0;
};
