#pragma once
// An automation class of the test peer with every argument kind a script may pass,
// reached by clients through IDispatch and its member names only.

#include "com.h"

inline constexpr CLSID CLSID_TestVariants = MakeGuid("{6B1E1C52-3C0A-4E7F-9A51-2E7D9C1F0A04}");
inline constexpr IID IID_ITestVariants = MakeGuid("{6B1E1C52-3C0A-4E7F-9A51-2E7D9C1F0A03}");
inline constexpr const char* TestVariantsProgId = "Zarn.TestVariants";

const InterfaceInfo& TestVariantsInfo();
// The objects of the class alive in this process.
int TestVariantsLive();

class CTestVariantsFactory final : public ClassFactoryRoot {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
};
