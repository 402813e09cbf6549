#include "db/connection_settings.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "db/credentials.h"
#include "platform/registry.h"
#include "testsupport/temp_root.h"

namespace corvane::db {
namespace {

using platform::RegRoot;
using platform::RegValue;

constexpr char kLocalKey[] = "SOFTWARE\\Corvane\\Vantora\\Core\\Connections\\Local";

// Splits a connection string the way an ODBC driver manager does: attributes
// separated by ";", a value in braces runs to the "}" not followed by another
// "}" ("}}" stands for one "}"). Throws on text a driver manager would reject.
std::vector<std::pair<std::string, std::string>> ParseOdbc(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eq = text.find('=', pos);
    if (eq == std::string::npos) throw std::runtime_error("attribute without '='");
    std::string name = text.substr(pos, eq - pos), value;
    pos = eq + 1;
    if (pos < text.size() && text[pos] == '{') {
      for (++pos;; ++pos) {
        if (pos >= text.size()) throw std::runtime_error("unterminated brace");
        if (text[pos] == '}') {
          if (pos + 1 < text.size() && text[pos + 1] == '}') {
            value += '}';
            ++pos;
            continue;
          }
          ++pos;
          break;
        }
        value += text[pos];
      }
    } else {
      size_t end = text.find(';', pos);
      value = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      pos = end == std::string::npos ? text.size() : end;
    }
    out.emplace_back(name, value);
    if (pos < text.size() && text[pos++] != ';') throw std::runtime_error("junk after value");
  }
  return out;
}

using Attributes = std::vector<std::pair<std::string, std::string>>;

TEST(BuildConnectionStringTest, DriverFollowsDriverValueOrIsOracle) {
  ConnectionCredentials c{"sa", "db01", "inventory", "pw", "", false, false};
  EXPECT_EQ(BuildConnectionString(c),
            "DRIVER={FreeTDS};SERVER=db01;DATABASE=inventory;UID=sa;PWD={pw}");
  c.is_oracle = true;
  EXPECT_EQ(ParseOdbc(BuildConnectionString(c)),
            (Attributes{{"DRIVER", kOracleDriver}, {"DBQ", "db01"}, {"UID", "sa"}, {"PWD", "pw"}}));
  c.is_oracle = false;
  c.driver = "PostgreSQL Unicode";
  EXPECT_EQ(ParseOdbc(BuildConnectionString(c))[0],
            (std::pair<std::string, std::string>{"DRIVER", "PostgreSQL Unicode"}));
  c.driver = "sqlite3";
  c.database = "/var/lib/corvane/inventory.db";
  EXPECT_EQ(
      BuildConnectionString(c),
      "DRIVER={sqlite3};DATABASE=/var/lib/corvane/inventory.db;JournalMode=WAL;SyncPragma=FULL");
}

TEST(BuildConnectionStringTest, HostileValuesStayOneAttributeEach) {
  ConnectionCredentials c{"u}", "srv;x=y", "db", "a;b}c=d;DRIVER={evil}", "", false, false};
  std::string text = BuildConnectionString(c);
  EXPECT_NE(text.find("PWD={a;b}}c=d;DRIVER={evil}}}"), std::string::npos) << text;
  Attributes parsed = ParseOdbc(text);
  EXPECT_EQ(parsed, (Attributes{{"DRIVER", "FreeTDS"},
                                {"SERVER", "srv;x=y"},
                                {"DATABASE", "db"},
                                {"UID", "u}"},
                                {"PWD", "a;b}c=d;DRIVER={evil}"}}));
  c.driver = "Odd}Driver";
  EXPECT_EQ(ParseOdbc(BuildConnectionString(c))[0].second, "Odd}Driver");
}

TEST(BuildConnectionStringTest, PostgresServerPortBecomesItsOwnAttribute) {
  ConnectionCredentials c{"cv", "db01:5433", "inventory", "pw", "PostgreSQL Unicode", false, false};
  EXPECT_EQ(BuildConnectionString(c),
            "DRIVER={PostgreSQL Unicode};SERVER=db01;PORT=5433;DATABASE=inventory;UID=cv;PWD={pw};"
            "Protocol=7.4-0");
  c.server = "[::1]:6000";
  EXPECT_EQ(ParseOdbc(BuildConnectionString(c))[1].second, "::1");
  EXPECT_EQ(ParseOdbc(BuildConnectionString(c))[2],
            (std::pair<std::string, std::string>{"PORT", "6000"}));
  // No port, or text that is no port: the server stays whole, no PORT.
  for (const char* server : {"db01", "::1", "db01:", "db01:54x"}) {
    c.server = server;
    Attributes parsed = ParseOdbc(BuildConnectionString(c));
    EXPECT_EQ(parsed[1].first, "SERVER") << server;
    EXPECT_EQ(parsed[2].first, "DATABASE") << server;
  }
  c.server = "db01;PORT=1:5432";  // the host part stays one value
  EXPECT_EQ(ParseOdbc(BuildConnectionString(c))[1].second, "db01;PORT=1");
  // Other drivers keep "host:port" as their server text.
  c.server = "db01:1433";
  c.driver = "";
  EXPECT_EQ(ParseOdbc(BuildConnectionString(c))[1],
            (std::pair<std::string, std::string>{"SERVER", "db01:1433"}));
}

class LoadCredentialsTest : public ::testing::Test {
 protected:
  testing::TempRoot root_;
};

TEST_F(LoadCredentialsTest, ReadsStoreWithDriverAndFailsWithoutIt) {
  EXPECT_FALSE(LoadCredentials().has_value());

  SetDbCredentials(0, 1, "inventory", "db01", "cvuser", "p;w}d");
  std::optional<ConnectionCredentials> c = LoadCredentials();
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->user, "cvuser");
  EXPECT_EQ(c->server, "db01");
  EXPECT_EQ(c->database, "inventory");
  EXPECT_EQ(c->password, "p;w}d");
  EXPECT_EQ(c->driver, "");
  EXPECT_FALSE(c->is_oracle);
  EXPECT_TRUE(c->rollup);
  EXPECT_EQ(ParseOdbc(BuildConnectionString(*c)).back(),
            (std::pair<std::string, std::string>{"PWD", "p;w}d"}));

  platform::registry::SetValue(RegRoot::kLocalMachine, kLocalKey, "Driver",
                               RegValue::Sz("SQLite3"));
  c = LoadCredentials();
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->driver, "SQLite3");
  EXPECT_EQ(BuildConnectionString(*c),
            "DRIVER={SQLite3};DATABASE=inventory;JournalMode=WAL;SyncPragma=FULL");
}

TEST_F(LoadCredentialsTest, DriverIsReadFromTheDefaultConnection) {
  platform::registry::SetValue(RegRoot::kLocalMachine,
                               "SOFTWARE\\Corvane\\Vantora\\Core\\Connections", "Default",
                               RegValue::Sz("Ora"));
  SetDbCredentials(1, 0, "", "tns", "scott", "tiger");
  platform::registry::SetValue(RegRoot::kLocalMachine, kLocalKey, "Driver", RegValue::Sz("Wrong"));
  std::optional<ConnectionCredentials> c = LoadCredentials();
  ASSERT_TRUE(c.has_value());
  EXPECT_TRUE(c->is_oracle);
  EXPECT_EQ(c->driver, "");
  EXPECT_EQ(BuildConnectionString(*c),
            std::string("DRIVER={") + kOracleDriver + "};DBQ=tns;UID=scott;PWD={tiger}");
}

TEST_F(LoadCredentialsTest, PasswordTooLongForTheStoreBuffersFails) {
  SetDbCredentials(0, 0, "db", "srv", "usr", std::string(260, 'p').c_str());
  EXPECT_FALSE(LoadCredentials().has_value());
  SetDbCredentials(0, 0, "db", "srv", "usr", std::string(259, 'p').c_str());
  std::optional<ConnectionCredentials> c = LoadCredentials();
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->password, std::string(259, 'p'));
}

}  // namespace
}  // namespace corvane::db
