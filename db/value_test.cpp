#include "db/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace corvane::db {
namespace {

TEST(DbValueTest, NullLikeKinds) {
  EXPECT_TRUE(DbValue().is_empty());
  EXPECT_TRUE(DbValue().is_null_like());
  EXPECT_TRUE(DbValue::Null().is_null_like());
  EXPECT_TRUE(DbValue::Error().is_null_like());
  EXPECT_FALSE(DbValue::Text("").is_null_like());
  EXPECT_FALSE(DbValue::Int32(0).is_null_like());
  EXPECT_NE(DbValue::Null(), DbValue());
  EXPECT_EQ(DbValue::Text("a"), DbValue::Text("a"));
  EXPECT_NE(DbValue::Text("1"), DbValue::Decimal("1"));
}

TEST(DbValueTest, ToText) {
  EXPECT_EQ(DbValue().ToText(), "");
  EXPECT_EQ(DbValue::Null().ToText(), "");
  EXPECT_EQ(DbValue::Error().ToText(), "");
  EXPECT_EQ(DbValue::Int32(-2147483647 - 1).ToText(), "-2147483648");
  EXPECT_EQ(DbValue::Decimal("-12.50").ToText(), "-12.50");
  EXPECT_EQ(DbValue::Double(0.1).ToText(), "0.1");
  EXPECT_EQ(DbValue::Double(1.0 / 3).ToText(), "0.333333333333333");
  EXPECT_EQ(DbValue::Double(2.5e20).ToText(), "2.5e+20");
  EXPECT_EQ(DbValue::Date(-86400).ToText(), "-86400");
  EXPECT_EQ(DbValue::Text("caf\xC3\xA9").ToText(), "caf\xC3\xA9");
  EXPECT_EQ(DbValue::Bytes({'a', 0, 'b'}).ToText(), std::string("a\0b", 3));
}

TEST(DbValueTest, ToInt32OfNumbersTruncatesTowardZero) {
  EXPECT_EQ(DbValue::Int32(5).ToInt32(), 5);
  EXPECT_EQ(DbValue::Double(-2.9).ToInt32(), -2);
  EXPECT_EQ(DbValue::Double(2147483647.9).ToInt32(), 2147483647);
  EXPECT_EQ(DbValue::Double(-2147483648.0).ToInt32(), -2147483647 - 1);
  EXPECT_EQ(DbValue::Double(2147483648.0).ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Double(std::nan("")).ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Double(std::numeric_limits<double>::infinity()).ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Decimal("-12.50").ToInt32(), -12);
  EXPECT_EQ(DbValue::Date(86400).ToInt32(), 86400);
  EXPECT_EQ(DbValue::Date(int64_t{1} << 40).ToInt32(), std::nullopt);
}

TEST(DbValueTest, ToInt32OfTextsReadsWholeText) {
  EXPECT_EQ(DbValue::Text("42").ToInt32(), 42);
  EXPECT_EQ(DbValue::Text(" -17 ").ToInt32(), -17);
  EXPECT_EQ(DbValue::Text("+3.99").ToInt32(), 3);
  EXPECT_EQ(DbValue::Text("2147483647").ToInt32(), 2147483647);
  EXPECT_EQ(DbValue::Text("-2147483648").ToInt32(), -2147483647 - 1);
  EXPECT_EQ(DbValue::Text("2147483648").ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Text("-2147483649").ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Text("99999999999999999999").ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Text("12abc").ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Text("1 2").ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Text("").ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Text("-").ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Text(".").ToInt32(), std::nullopt);
}

TEST(DbValueTest, ToInt32OfNullLikeAndBytes) {
  EXPECT_EQ(DbValue().ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Null().ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Error().ToInt32(), std::nullopt);
  EXPECT_EQ(DbValue::Bytes({'1'}).ToInt32(), std::nullopt);
}

}  // namespace
}  // namespace corvane::db
