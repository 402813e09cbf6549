#include "db/dialect.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "db/dbms.h"
#include "db/error.h"
#include "db/value.h"

namespace corvane::db {
namespace {

std::string Format(DataType type, const DbValue& value, DbmsKind kind = kDbmsSqlServer) {
  bool raw = true;
  std::string out = FormatSqlValue(type, value, kind, &raw);
  EXPECT_FALSE(raw);
  return out;
}

TEST(SqlQuoteTest, QuotesTrimsAndDoublesQuotes) {
  EXPECT_EQ(SqlQuote(DbValue::Text("O'Brien")), "'O''Brien'");
  EXPECT_EQ(SqlQuote(DbValue::Text("  x  ")), "'x'");
  EXPECT_EQ(SqlQuote(DbValue::Text("\t\r\n x \v\f")), "'x'");
  EXPECT_EQ(SqlQuote(DbValue::Text("' OR 1=1 --")), "''' OR 1=1 --'");
  EXPECT_EQ(SqlQuote(DbValue::Text("a  b")), "'a  b'");
  EXPECT_EQ(SqlQuote(DbValue::Int32(-7)), "'-7'");
}

TEST(SqlQuoteTest, TrimsUnicodeSpacesButKeepsOtherCharacters) {
  // U+00A0 and U+3000 around, U+00E9 (C3 A9) inside must survive.
  EXPECT_EQ(SqlQuote(DbValue::Text("\xC2\xA0"
                                   "caf\xC3\xA9\xE3\x80\x80")),
            "'caf\xC3\xA9'");
  // A trailing U+00E0 (C3 A0) ends in the same byte as U+00A0 but is no space.
  EXPECT_EQ(SqlQuote(DbValue::Text("\xC3\xA0")), "'\xC3\xA0'");
}

TEST(SqlQuoteTest, EmptyAndNullLikeGiveEmptyLiteral) {
  EXPECT_EQ(SqlQuote(DbValue()), "''");
  EXPECT_EQ(SqlQuote(DbValue::Null()), "''");
  EXPECT_EQ(SqlQuote(DbValue::Error()), "''");
  EXPECT_EQ(SqlQuote(DbValue::Text("")), "''");
  EXPECT_EQ(SqlQuote(DbValue::Text("   ")), "''");
}

TEST(FormatSqlValueTest, NumberTextsKeepOnlyDigits) {
  EXPECT_EQ(Format(kValueNumber, DbValue::Text("abc")), "-1");
  EXPECT_EQ(Format(kValueNumber, DbValue::Text("")), "null");
  EXPECT_EQ(Format(kValueNumber, DbValue::Null()), "null");
  EXPECT_EQ(Format(kValueNumber, DbValue()), "null");
  EXPECT_EQ(Format(kValueNumber, DbValue::Text(" 4 096 ")), "4096");
  EXPECT_EQ(Format(kValueNumber, DbValue::Text("-12")), "12");
  EXPECT_EQ(Format(kValueNumber, DbValue::Text("1,024")), "1024");
  EXPECT_EQ(Format(kValueNumber, DbValue::Text("-1")), "1");
}

TEST(FormatSqlValueTest, NumberTextsBeyond32BitsAreWrittenAsRead) {
  // A 32-bit reading would wrap these to -1 or to negative numbers.
  EXPECT_EQ(Format(kValueNumber, DbValue::Text("4294967295")), "4294967295");
  EXPECT_EQ(Format(kValueNumber, DbValue::Text("12,345,678,901")), "12345678901");
  EXPECT_EQ(Format(kValueNumber, DbValue::Text("99999999999999999999999")),
            "99999999999999999999999");
}

TEST(FormatSqlValueTest, NumberOfOtherTypesConvertsOrThrows) {
  EXPECT_EQ(Format(kValueNumber, DbValue::Int32(-5)), "-5");
  EXPECT_EQ(Format(kValueNumber, DbValue::Double(12.9)), "12");
  EXPECT_EQ(Format(kValueNumber, DbValue::Decimal("-12.50")), "-12");
  try {
    Format(kValueNumber, DbValue::Double(1e12));
    FAIL() << "no error raised";
  } catch (const DbError& error) {
    EXPECT_EQ(error.code(), kErrorOverflow);
  }
  bool raw = false;
  EXPECT_THROW(FormatSqlValue(kValueNumber, DbValue::Bytes({'1'}), kDbmsSqlServer, &raw), DbError);
}

TEST(FormatSqlValueTest, BinaryIsRawAndTextIsQuoted) {
  bool raw = false;
  EXPECT_EQ(FormatSqlValue(kValueBinary, DbValue::Text("a'b c "), kDbmsSqlServer, &raw), "a'b c ");
  EXPECT_TRUE(raw);
  EXPECT_EQ(FormatSqlValue(kValueText, DbValue::Text(" it's "), kDbmsSqlServer, &raw), "'it''s'");
  EXPECT_FALSE(raw);
}

// Runs each date case under a fixed zone and puts the old one back.
class DateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    if (old) saved_ = old;
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(DateTest, EpochInUtc) {
  UseZone("UTC");
  for (DbmsKind kind : {kDbmsSqlServer, kDbmsSqlite, kDbmsPostgres, kDbmsAccess, kDbmsOther}) {
    EXPECT_EQ(Format(kValueDate, DbValue::Text("0"), kind), "{ts '1970-01-01 00:00:00'}") << kind;
  }
  EXPECT_EQ(Format(kValueDate, DbValue::Text("0"), kDbmsOracle),
            "TO_DATE('01/01/1970 00:00:00', 'MM/DD/YYYY HH24:MI:SS')");
}

TEST_F(DateTest, EpochInNewYorkIsLocalTime) {
  UseZone("America/New_York");
  for (DbmsKind kind : {kDbmsSqlServer, kDbmsSqlite, kDbmsPostgres}) {
    EXPECT_EQ(Format(kValueDate, DbValue::Text("0"), kind), "{ts '1969-12-31 19:00:00'}") << kind;
  }
  EXPECT_EQ(Format(kValueDate, DbValue::Text("0"), kDbmsOracle),
            "TO_DATE('12/31/1969 19:00:00', 'MM/DD/YYYY HH24:MI:SS')");
  // Summer time: 2024-07-04 16:00:00 UTC is 12:00 EDT.
  EXPECT_EQ(DateLiteral(1720108800, kDbmsPostgres), "{ts '2024-07-04 12:00:00'}");
}

TEST_F(DateTest, DateTextsReadAsLeadingDigits) {
  UseZone("UTC");
  EXPECT_EQ(Format(kValueDate, DbValue::Text(" 86400xyz")), "{ts '1970-01-02 00:00:00'}");
  EXPECT_EQ(Format(kValueDate, DbValue::Date(86400)), "{ts '1970-01-02 00:00:00'}");
  EXPECT_EQ(Format(kValueDate, DbValue::Text("-86400")), "{ts '1969-12-31 00:00:00'}");
}

TEST_F(DateTest, UnreadableDatesGiveNull) {
  UseZone("UTC");
  EXPECT_EQ(Format(kValueDate, DbValue::Text("not a date")), "NULL");
  EXPECT_EQ(Format(kValueDate, DbValue::Text("")), "NULL");
  EXPECT_EQ(Format(kValueDate, DbValue::Null()), "NULL");
  EXPECT_EQ(Format(kValueDate, DbValue::Text("-1")), "NULL");
  EXPECT_EQ(Format(kValueDate, DbValue::Text("99999999999999999999999")), "NULL");
  EXPECT_EQ(Format(kValueDate, DbValue::Text("9000000000000000000")), "NULL");
}

TEST_F(DateTest, AppendColumnValueBuildsMatchingLists) {
  UseZone("UTC");
  std::string columns = "COMPUTER_IDN";
  std::string values = "7";
  AppendColumnValue(kValueText, "NEWSTR", DbValue::Text(" O'Brien "), 0, kDbmsSqlServer, columns,
                    values);
  AppendColumnValue(kValueText, "OLDSTR", DbValue::Null(), 0, kDbmsSqlServer, columns, values);
  AppendColumnValue(kValueNumber, "NEWINT", DbValue::Text("x"), 42, kDbmsSqlServer, columns,
                    values);
  AppendColumnValue(kValueNumber, "OLDINT", DbValue(), 43, kDbmsSqlServer, columns, values);
  AppendColumnValue(kValueBinary, "NEWIMG", DbValue::Error(), 1, kDbmsSqlServer, columns, values);
  AppendColumnValue(static_cast<DataType>(9), "ODD", DbValue::Text("v"), 5, kDbmsSqlServer, columns,
                    values);
  EXPECT_EQ(columns, "COMPUTER_IDN, NEWSTR, NEWINT");
  EXPECT_EQ(values, "7, 'O''Brien', 42");
}

TEST_F(DateTest, AppendColumnValueDates) {
  UseZone("UTC");
  std::string columns, values;
  AppendColumnValue(kValueDate, "NEWDATE", DbValue::Text("2024-01-31 10:00:00"), 0, kDbmsSqlServer,
                    columns, values);
  AppendColumnValue(kValueDate, "OLDDATE", DbValue::Text("01/31/2024 10:00:00"), 0, kDbmsOracle,
                    columns, values);
  AppendColumnValue(kValueDate, "X", DbValue::Date(0), 0, kDbmsSqlite, columns, values);
  AppendColumnValue(kValueDate, "Y", DbValue::Text("1'}); DROP TABLE x; --"), 0, kDbmsSqlServer,
                    columns, values);
  EXPECT_EQ(columns, ", NEWDATE, OLDDATE, X, Y");
  EXPECT_EQ(values,
            ", {ts '2024-01-31 10:00:00'}"
            ", TO_DATE('01/31/2024 10:00:00', 'MM/DD/YYYY HH24:MI:SS')"
            ", {ts '1970-01-01 00:00:00'}"
            ", {ts '1''}); DROP TABLE x; --'}");
}

TEST(DialectTest, ClassifiesDbmsNames) {
  EXPECT_EQ(ClassifyDbmsName("Microsoft SQL Server", true), 102);
  EXPECT_EQ(ClassifyDbmsName("ACCESS", true), 101);
  EXPECT_EQ(ClassifyDbmsName("Oracle", true), 103);
  EXPECT_EQ(ClassifyDbmsName("DB2", true), 105);
  EXPECT_EQ(ClassifyDbmsName("", false), 100);
  EXPECT_EQ(ClassifyDbmsName("Oracle", false), 100);
  EXPECT_EQ(ClassifyDbmsName("", true), 100);
  EXPECT_EQ(ClassifyDbmsName("SQLite", true), 106);
  EXPECT_EQ(ClassifyDbmsName("PostgreSQL", true), 107);
  // Case-sensitive, first test wins.
  EXPECT_EQ(ClassifyDbmsName("oracle", true), 105);
  EXPECT_EQ(ClassifyDbmsName("Oracle via ACCESS", true), 101);
  EXPECT_EQ(ClassifyDbmsName("Microsoft SQL Server on Oracle", true), 103);
}

TEST(DialectTest, InsertedKeyQueries) {
  EXPECT_EQ(LockRowQuery(kDbmsPostgres, "Computer", "Computer_Idn", 12),
            "SELECT Computer_Idn FROM Computer WHERE Computer_Idn = 12 FOR UPDATE");
  EXPECT_EQ(LockRowQuery(kDbmsSqlServer, "Computer", "Computer_Idn", 12),
            "SELECT Computer_Idn FROM Computer WITH (UPDLOCK, ROWLOCK) WHERE Computer_Idn = 12");
  EXPECT_EQ(LockRowQuery(kDbmsSqlite, "Computer", "Computer_Idn", 12), "");
  EXPECT_EQ(InsertedKeyQuery(kDbmsSqlServer, "Computer"), "SELECT @@identity");
  EXPECT_EQ(InsertedKeyQuery(kDbmsOracle, "FileInfo"), "SELECT FileInfoSEQ.CURRVAL FROM DUAL");
  EXPECT_EQ(InsertedKeyQuery(kDbmsSqlite, "Computer"), "SELECT last_insert_rowid()");
  EXPECT_EQ(InsertedKeyQuery(kDbmsPostgres, "Computer"), "SELECT lastval()");
  EXPECT_EQ(InsertedKeyQuery(kDbmsAccess, "Computer"), "");
  EXPECT_EQ(InsertedKeyQuery(kDbmsOther, "Computer"), "");
}

TEST(DialectTest, DataTypesOfColumnTypeNames) {
  EXPECT_EQ(DataTypeForColumnType("image"), kValueBinary);
  EXPECT_EQ(DataTypeForColumnType("BLOB"), kValueBinary);
  EXPECT_EQ(DataTypeForColumnType("bytea"), kValueBinary);
  EXPECT_EQ(DataTypeForColumnType("Char"), kValueText);
  EXPECT_EQ(DataTypeForColumnType("varchar(255)"), kValueText);
  EXPECT_EQ(DataTypeForColumnType("TEXT"), kValueText);
  EXPECT_EQ(DataTypeForColumnType("int"), kValueNumber);
  EXPECT_EQ(DataTypeForColumnType("INTEGER"), kValueNumber);
  EXPECT_EQ(DataTypeForColumnType("DateTime"), kValueDate);
  EXPECT_EQ(DataTypeForColumnType("timestamp"), kValueDate);
  EXPECT_EQ(DataTypeForColumnType("float"), std::nullopt);
  EXPECT_EQ(DataTypeForColumnType("INTERVAL"), std::nullopt);
  EXPECT_EQ(DataTypeForColumnType(""), std::nullopt);
}

TEST(DialectTest, TextWidthsCountCharactersOrBytesAndCutsKeepCharactersWhole) {
  const std::string e_acute = "\xC3\xA9";   // two bytes
  const std::string euro = "\xE2\x82\xAC";  // three bytes
  std::string text = "ab" + e_acute + euro + "c";
  EXPECT_EQ(TextLength(text, kDbmsPostgres), 5u);
  EXPECT_EQ(TextLength(text, kDbmsSqlite), 5u);
  EXPECT_EQ(TextLength(text, kDbmsSqlServer), 8u);
  EXPECT_EQ(TextLength(text, kDbmsOracle), 8u);

  std::string fits = text;
  EXPECT_FALSE(CutToWidth(fits, 5, kDbmsPostgres));
  EXPECT_EQ(fits, text);
  EXPECT_FALSE(CutToWidth(fits, 8, kDbmsSqlServer));
  std::string chars = text;
  EXPECT_TRUE(CutToWidth(chars, 4, kDbmsPostgres));
  EXPECT_EQ(chars, "ab" + e_acute + euro);
  // In bytes, every cut that would fall inside a character backs off to its
  // start.
  for (size_t width = 0; width <= 8; ++width) {
    std::string bytes = text;
    CutToWidth(bytes, width, kDbmsSqlServer);
    const std::string expected = width < 2   ? text.substr(0, width)
                                 : width < 4 ? "ab"
                                 : width < 7 ? "ab" + e_acute
                                 : width < 8 ? "ab" + e_acute + euro
                                             : text;
    EXPECT_EQ(bytes, expected) << width;
  }
  std::string empty;
  EXPECT_FALSE(CutToWidth(empty, 0, kDbmsPostgres));
  std::string gone = e_acute;
  EXPECT_TRUE(CutToWidth(gone, 0, kDbmsSqlite));
  EXPECT_EQ(gone, "");
}

}  // namespace
}  // namespace corvane::db
