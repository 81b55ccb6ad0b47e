#pragma once
// A small automation class in a library of its own, created by page script in the tests.

#include "com.h"

inline constexpr CLSID CLSID_PageTestObject = MakeGuid("{3E9A41C7-0B52-4D6E-8F13-A27C5D90B601}");
inline constexpr CLSID CLSID_UnsafeTestObject = MakeGuid("{3E9A41C7-0B52-4D6E-8F13-A27C5D90B602}");
inline constexpr const char* PageTestObjectProgId = "ZarnTest.PageObject";
inline constexpr const char* UnsafeTestObjectProgId = "ZarnTest.UnsafeObject";

// What its Fail method raises.
inline constexpr HRESULT PageTestFailure = HRESULT(0x80040201u);
inline constexpr const char* PageTestFailureText = "The test object failed on purpose";
