#include <QJSEngine>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

#include "variant_script.h"

namespace {

using platform::VariantFromScript;

struct NumberCase {
  double number;
  VARTYPE type;
  HRESULT hr;
  int64_t value;
};

TEST(VariantScript, NumbersReachIntegerParametersWithRangeChecks) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const NumberCase cases[] = {
      {255, VT_UI1, S_OK, 255},
      {256, VT_UI1, DISP_E_OVERFLOW, 0},
      {300, VT_UI1, DISP_E_OVERFLOW, 0},  // never port 44
      {-1, VT_UI1, DISP_E_OVERFLOW, 0},
      {2.5, VT_UI1, S_OK, 3},
      {2147483647, VT_I4, S_OK, 2147483647},
      {2147483648.0, VT_I4, DISP_E_OVERFLOW, 0},  // never wrapped to a negative number
      {-2147483648.0, VT_I4, S_OK, INT32_MIN},
      {4294967295.0, VT_UI4, S_OK, 4294967295},
      {4294967296.0, VT_UI4, DISP_E_OVERFLOW, 0},
      {-1, VT_UI4, DISP_E_OVERFLOW, 0},
      {32768, VT_I2, DISP_E_OVERFLOW, 0},
      {nan, VT_I4, DISP_E_TYPEMISMATCH, 0},
      {INFINITY, VT_I4, DISP_E_OVERFLOW, 0},
  };
  for (const NumberCase& c : cases) {
    Variant v;
    EXPECT_EQ(VariantFromScript(QJSValue(c.number), c.type, v), c.hr) << c.number;
    if (c.hr == S_OK) {
      EXPECT_EQ(v.Type(), c.type);
      EXPECT_EQ(v.Integer(), c.value) << c.number;
    }
  }
}

TEST(VariantScript, ValuesKeepTheirKindWhereAnyIsTaken) {
  Variant v;
  ASSERT_EQ(VariantFromScript(QJSValue(7), VT_VARIANT, v), S_OK);
  EXPECT_EQ(v.Type(), VT_I4);
  ASSERT_EQ(VariantFromScript(QJSValue(7.5), VT_VARIANT, v), S_OK);
  EXPECT_EQ(v.Type(), VT_R8);
  ASSERT_EQ(VariantFromScript(QJSValue(QStringLiteral("Zählung")), VT_VARIANT, v), S_OK);
  EXPECT_EQ(v.String().Utf8(), "Zählung");
  ASSERT_EQ(VariantFromScript(QJSValue(true), VT_I4, v), S_OK);
  EXPECT_EQ(v.Integer(), -1);
  EXPECT_EQ(VariantFromScript(QJSValue(QStringLiteral("soon")), VT_I4, v), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(VariantFromScript(QJSValue(QStringLiteral("12")), VT_UI1, v), S_OK);
  EXPECT_EQ(v.Integer(), 12);
  EXPECT_EQ(VariantFromScript(QJSValue(QStringLiteral("300")), VT_UI1, v), DISP_E_OVERFLOW);
  EXPECT_EQ(VariantFromScript(QJSValue(QStringLiteral("4294967295")), VT_I4, v), DISP_E_OVERFLOW);
}

TEST(VariantScript, VariantsBecomeScriptValues) {
  EXPECT_EQ(platform::ScriptFromVariant(Variant::Of(VT_UI4, 4294967295)).toNumber(), 4294967295.0);
  EXPECT_EQ(platform::ScriptFromVariant(Variant(int32_t(-5))).toInt(), -5);
  EXPECT_TRUE(platform::ScriptFromVariant(Variant(true)).toBool());
  EXPECT_EQ(platform::ScriptFromVariant(Variant(Bstr::FromUtf8("ok"))).toString(), "ok");
  EXPECT_TRUE(platform::ScriptFromVariant(Variant()).isUndefined());
  EXPECT_TRUE(platform::ScriptFromVariant(Variant(ComPtr<IDispatch>())).isNull());
  // The web channel's side gets the same values as QVariants.
  EXPECT_EQ(platform::QVariantFromVariant(Variant::Of(VT_UI1, 200)), QVariant(200u));
}

}  // namespace
