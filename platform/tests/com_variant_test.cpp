// Coercion of automation values as calls coerce their arguments.
#include <gtest/gtest.h>

#include <cmath>

#include "com.h"

TEST(VariantChangeType, NumbersOutOfRangeOverflowAndOthersMismatch) {
  struct Case {
    Variant from;
    VARTYPE to;
    HRESULT result;
    int64_t value;
  };
  const Case cases[] = {
      {Variant::Real(VT_R8, 9.25e18), VT_I4, DISP_E_OVERFLOW, 0},  // beyond any 64-bit rounding
      {Variant::Real(VT_R8, -9.25e18), VT_UI4, DISP_E_OVERFLOW, 0},
      {Variant::Real(VT_R8, std::nan("")), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {Variant::Real(VT_R8, 2.5), VT_I4, S_OK, 3},
      {Variant(int32_t(70000)), VT_I2, DISP_E_OVERFLOW, 0},
      {Variant(int32_t(-1)), VT_UI1, DISP_E_OVERFLOW, 0},
      {Variant::Of(VT_UI4, 4294967295u), VT_I4, S_OK, -1},  // a script number shows the unsigned value
      {Variant(Bstr::FromUtf8("12x")), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {Variant(Bstr::FromUtf8("99999999999999999999")), VT_I4, DISP_E_OVERFLOW, 0},
      {Variant::Null(), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {Variant::Null(), VT_BSTR, DISP_E_TYPEMISMATCH, 0},
      {Variant(), VT_I4, S_OK, 0},
  };
  for (const Case& c : cases) {
    Variant v = c.from;
    EXPECT_EQ(v.ChangeType(c.to), c.result) << c.from.Type() << " to " << c.to;
    if (c.result == S_OK) {
      EXPECT_EQ(v.Type(), c.to);
      EXPECT_EQ(v.Integer(), c.value);
    }
  }
}

TEST(VariantChangeType, ObjectsAndByReferenceMarks) {
  Variant none = Variant(ComPtr<IUnknown>());
  ASSERT_EQ(none.ChangeType(VT_DISPATCH), S_OK);
  EXPECT_EQ(none.Type(), VT_DISPATCH);
  EXPECT_FALSE(none.Dispatch());
  Variant text = Variant(Bstr::FromUtf8("x")).ByRef();
  EXPECT_EQ(text.ChangeType(VT_DISPATCH), DISP_E_TYPEMISMATCH);
  Variant number = Variant(int32_t(7)).ByRef();
  ASSERT_EQ(number.ChangeType(VARTYPE(VT_BYREF | VT_BSTR)), S_OK);
  EXPECT_EQ(number.String().Utf8(), "7");
  EXPECT_TRUE(number.IsByRef());
  // A variant never holds the type "variant".
  EXPECT_EQ(Variant::Of(VT_VARIANT, 5).Type(), VT_EMPTY);
  EXPECT_EQ(Variant::EmptyOf(VT_VARIANT).Type(), VT_EMPTY);
}
