// The automation call layer against a real automation object (VBScript.RegExp).
#include "regex/late_bound_call.h"

#include <gtest/gtest.h>

#include "support/printers.h"

namespace pellucor {
namespace {

class LateBoundCallTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(CreateComObject("VBScript.RegExp", regexp_)); }
  const ComApartment com_;  // goes after the object
  ComObject regexp_;
};

TEST_F(LateBoundCallTest, PropertiesAndMethods) {
  // Text crosses as code page 936 whatever the system's ANSI code page is.
  EXPECT_TRUE(LateBoundPut(regexp_.get(), "Pattern", GbkText("中(文)")));
  EXPECT_EQ(LateBoundStatus(), S_OK);
  EXPECT_EQ(LateBoundText(regexp_.get(), "Pattern", CallMode::PropertyGet), GbkText("中(文)"));
  // A method call binds a property get when there is no such function.
  EXPECT_EQ(LateBoundText(regexp_.get(), "Pattern", CallMode::Method), GbkText("中(文)"));
  EXPECT_TRUE(LateBoundPut(regexp_.get(), "Global", true));
  EXPECT_EQ(LateBoundNumber(regexp_.get(), "Global", CallMode::PropertyGet), -1.0);  // VARIANT_TRUE
  EXPECT_EQ(LateBoundText(regexp_.get(), "Replace", CallMode::Method,
                          {GbkText("中文中文"), GbkText("$1")}),
            GbkText("文文"));
  const ComObject matches =
      LateBoundObject(regexp_.get(), "Execute", CallMode::Method, {GbkText("中文 中文")});
  ASSERT_TRUE(matches);
  EXPECT_EQ(LateBoundNumber(matches.get(), "Count", CallMode::PropertyGet), 2.0);
  const ComObject second = LateBoundObject(matches.get(), "Item", CallMode::PropertyGet, {1.0});
  ASSERT_TRUE(second);
  EXPECT_EQ(LateBoundNumber(second.get(), "FirstIndex", CallMode::PropertyGet), 3.0);
}

TEST_F(LateBoundCallTest, FailuresGiveEmptyValues) {
  EXPECT_FALSE(LateBoundPut(regexp_.get(), "NoSuchMember", int32_t{1}));
  EXPECT_TRUE(FAILED(LateBoundStatus()));
  EXPECT_EQ(LateBoundText(regexp_.get(), "NoSuchMember", CallMode::PropertyGet), GbkText());
  EXPECT_EQ(LateBoundNumber(regexp_.get(), "NoSuchMember", CallMode::Method), 0.0);
  EXPECT_FALSE(LateBoundObject(regexp_.get(), "Pattern", CallMode::PropertyGet));  // not an object
  EXPECT_TRUE(FAILED(LateBoundStatus()));
  // An argument not given reaches the member as "parameter not found".
  EXPECT_EQ(LateBoundText(regexp_.get(), "Replace", CallMode::Method, {GbkText("abc"), Omitted{}}),
            GbkText());
  EXPECT_TRUE(FAILED(LateBoundStatus()));
  EXPECT_EQ(LateBoundText(nullptr, "Pattern", CallMode::PropertyGet), GbkText());
  // A failed call leaves the status; the next good call clears it.
  EXPECT_TRUE(LateBoundPut(regexp_.get(), "Pattern", GbkText("a")));
  EXPECT_EQ(LateBoundStatus(), S_OK);
}

TEST(CreateComObject, UnknownClassLeavesTheTargetAlone) {
  const ComApartment com;
  ComObject target;
  ASSERT_TRUE(CreateComObject("VBScript.RegExp", target));
  IDispatch* before = target.get();
  EXPECT_FALSE(CreateComObject("Pellucor.NoSuchClass", target));
  EXPECT_FALSE(CreateComObject("{00000000-0000-0000-0000-000000000001}", target));
  EXPECT_EQ(target.get(), before);
}

}  // namespace
}  // namespace pellucor
