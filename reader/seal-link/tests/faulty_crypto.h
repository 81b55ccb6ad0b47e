#pragma once
// A crypto service that breaks its interface's promises on purpose, served on the test
// bus under a class of its own. The key-set number (or, for Hash, the first byte of
// the start value) picks the fault; 0 answers correctly, leaving the data as it is.

#include "com.h"

inline constexpr CLSID CLSID_FaultyCrypto = MakeGuid("{7C4D2E90-1B3A-4F6E-8D5C-9A0B1C2D3E41}");
inline constexpr const char* FaultyCryptoBusName = "org.zarn.test.FaultyCrypto";

enum FaultyCryptoFault : int32_t {
  AnswerRight = 0,
  AnswerShort = 1,     // one byte less than was sent
  AnswerLong = 2,      // one byte more
  AnswerSuccessCode = 3,  // S_FALSE, data changed
};
