#pragma once
// A small automation class served by the test peer program, to drive the bus transport.

#include <atomic>

#include "com.h"

inline constexpr IID IID_ITestCalc = MakeGuid("{6B1E1C52-3C0A-4E7F-9A51-2E7D9C1F0A01}");
inline constexpr CLSID CLSID_TestCalc = MakeGuid("{6B1E1C52-3C0A-4E7F-9A51-2E7D9C1F0A02}");
inline constexpr const char* TestBusName = "org.zarn.Test";

class ITestCalc : public IDispatch {
 public:
  virtual HRESULT Add(int32_t a, int32_t b, int32_t* sum) = 0;
  virtual HRESULT Reverse(Bstr* data) = 0;
  virtual HRESULT get_Name(Bstr* name) = 0;
  virtual HRESULT put_Name(const Bstr& name) = 0;
  virtual HRESULT get_Child(IDispatch** child) = 0;
  virtual HRESULT get_LiveObjects(int32_t* count) = 0;
  virtual HRESULT get_Pid(int32_t* pid) = 0;
  virtual HRESULT Fail() = 0;
};

const InterfaceInfo& TestCalcInfo();

// The server's implementation.
class CTestCalc final : public DispatchImpl<ITestCalc>, private ComObjectRoot {
 public:
  CTestCalc() { ++live; }
  ~CTestCalc() override { --live; }
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override;
  HRESULT Add(int32_t a, int32_t b, int32_t* sum) override;
  HRESULT Reverse(Bstr* data) override;
  HRESULT get_Name(Bstr* name) override;
  HRESULT put_Name(const Bstr& name) override;
  HRESULT get_Child(IDispatch** child) override;
  HRESULT get_LiveObjects(int32_t* count) override;
  HRESULT get_Pid(int32_t* pid) override;
  HRESULT Fail() override;

  static inline std::atomic<int> live{0};

 protected:
  const InterfaceInfo& TypeInformation() const override { return TestCalcInfo(); }
  HRESULT InvokeMember(const MemberInfo& member, std::vector<Variant>& args, Variant& result) override;

 private:
  Bstr name_;
};

// The client's typed view of an object reached over the bus.
IUnknown* MakeTestCalcProxy(IDispatch* bus);

class CTestCalcFactory final : public ClassFactoryRoot {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
};
