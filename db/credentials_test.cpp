#include "db/credentials.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "testsupport/temp_root.h"

namespace {

using corvane::platform::RegRoot;
using corvane::platform::RegValue;
namespace registry = corvane::platform::registry;

constexpr char kConnections[] = "SOFTWARE\\Corvane\\Vantora\\Core\\Connections";

// A plain RC4, written from the algorithm's definition, to check the
// library's scrambling against.
std::vector<uint8_t> ReferenceRc4(const std::string& key, std::vector<uint8_t> data) {
  uint8_t s[256];
  for (int n = 0; n < 256; ++n) s[n] = static_cast<uint8_t>(n);
  int j = 0;
  for (int n = 0; n < 256; ++n) {
    j = (j + s[n] + static_cast<uint8_t>(key[n % key.size()])) % 256;
    std::swap(s[n], s[j]);
  }
  int i = 0;
  j = 0;
  for (uint8_t& b : data) {
    i = (i + 1) % 256;
    j = (j + s[i]) % 256;
    std::swap(s[i], s[j]);
    b ^= s[(s[i] + s[j]) % 256];
  }
  return data;
}

struct Read {
  int ok = -1, is_oracle = -1, rollup = -1;
  std::array<char, 260> database{}, server{}, user{}, password{};
};

Read ReadDefault(const char* machine = nullptr, size_t password_size = 260) {
  Read r;
  r.ok = GetDbCredentialsEx(machine, &r.is_oracle, &r.rollup, r.database.size(), r.database.data(),
                            r.server.size(), r.server.data(), r.user.size(), r.user.data(),
                            password_size, r.password.data());
  return r;
}

class CredentialsTest : public ::testing::Test {
 protected:
  corvane::testing::TempRoot root_;
};

TEST_F(CredentialsTest, WrittenValuesReadBackThroughDefaultConnection) {
  registry::SetValue(RegRoot::kLocalMachine, kConnections, "Default", RegValue::Sz("Prod"));
  SetDbCredentials(1, 1, "inventory", "db01", "cvuser", "s3cret;pw");

  std::string key = std::string(kConnections) + "\\Prod";
  auto stored = registry::GetValue(RegRoot::kLocalMachine, key, "Password");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, corvane::platform::RegType::kBinary);
  std::string plain = "s3cret;pw";
  EXPECT_EQ(stored->bytes, ReferenceRc4("#q7w", {plain.begin(), plain.end()}));
  EXPECT_EQ(registry::GetValue(RegRoot::kLocalMachine, key, "PWD Encrypted"), RegValue::Dword(1));
  EXPECT_EQ(registry::GetValue(RegRoot::kLocalMachine, key, "IsOracle"), RegValue::Sz("true"));
  EXPECT_FALSE(registry::KeyExists(RegRoot::kLocalMachine, std::string(kConnections) + "\\Local"));

  Read r = ReadDefault();
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.is_oracle, 1);
  EXPECT_EQ(r.rollup, 1);
  EXPECT_STREQ(r.database.data(), "inventory");
  EXPECT_STREQ(r.server.data(), "db01");
  EXPECT_STREQ(r.user.data(), "cvuser");
  EXPECT_STREQ(r.password.data(), "s3cret;pw");

  char password[32];
  EXPECT_EQ(GetPasswordEx(nullptr, sizeof password, password), 1);
  EXPECT_STREQ(password, "s3cret;pw");
}

TEST_F(CredentialsTest, MissingDefaultUsesLocalAndMissingKeyFails) {
  EXPECT_EQ(ReadDefault().ok, 0);
  SetDbCredentials(0, 0, "db", "srv", "usr", "");
  EXPECT_TRUE(registry::KeyExists(RegRoot::kLocalMachine, std::string(kConnections) + "\\Local"));
  Read r = ReadDefault();
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.is_oracle, 0);
  EXPECT_EQ(r.rollup, 0);
  EXPECT_STREQ(r.database.data(), "db");
  EXPECT_STREQ(r.password.data(), "");

  // A Default naming a connection that does not exist is a failure, not Local.
  registry::SetValue(RegRoot::kLocalMachine, kConnections, "Default", RegValue::Sz("Gone"));
  EXPECT_EQ(ReadDefault().ok, 0);
}

TEST_F(CredentialsTest, OversizedValuesLeaveBuffersEmpty) {
  SetDbCredentials(0, 0, std::string(300, 'd').c_str(), "srv", "usr", "12345678");
  Read r;
  std::memset(r.password.data(), 'x', r.password.size());
  r.ok = GetDbCredentials(&r.is_oracle, &r.rollup, r.database.size(), r.database.data(),
                          r.server.size(), r.server.data(), r.user.size(), r.user.data(), 7,
                          r.password.data());
  EXPECT_EQ(r.ok, 0);
  EXPECT_TRUE(
      std::all_of(r.password.begin(), r.password.begin() + 7, [](char c) { return c == 0; }));
  EXPECT_EQ(r.password[7], 'x');        // nothing beyond the size given
  EXPECT_STREQ(r.database.data(), "");  // too long, but not a failure by itself
  EXPECT_STREQ(r.server.data(), "srv");

  // Exactly as long as the buffer: no room for the terminator, refused.
  EXPECT_EQ(ReadDefault(nullptr, 8).ok, 0);
  Read fits = ReadDefault(nullptr, 9);
  EXPECT_EQ(fits.ok, 1);
  EXPECT_STREQ(fits.password.data(), "12345678");
}

TEST_F(CredentialsTest, IsOracleIsTrueOnlyForTrueInAnyCase) {
  SetDbCredentials(0, 0, "db", "srv", "usr", "pw");
  std::string key = std::string(kConnections) + "\\Local";
  registry::SetValue(RegRoot::kLocalMachine, key, "IsOracle", RegValue::Sz("TRUE"));
  EXPECT_EQ(ReadDefault().is_oracle, 1);
  registry::SetValue(RegRoot::kLocalMachine, key, "IsOracle", RegValue::Sz("yes"));
  EXPECT_EQ(ReadDefault().is_oracle, 0);
  registry::SetValue(RegRoot::kLocalMachine, key, "IsOracle", RegValue::Sz("true-ish"));
  EXPECT_EQ(ReadDefault().is_oracle, 0);
  registry::DeleteValue(RegRoot::kLocalMachine, key, "IsOracle");
  Read r = ReadDefault();
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.is_oracle, 0);
}

TEST_F(CredentialsTest, UnscrambledStringPasswordIsCopiedWithTerminator) {
  std::string key = std::string(kConnections) + "\\Local";
  registry::SetValue(RegRoot::kLocalMachine, key, "Password", RegValue::Sz("plain"));
  registry::SetValue(RegRoot::kLocalMachine, key, "PWD Encrypted", RegValue::Dword(0));
  char password[6];
  std::memset(password, 'x', sizeof password);
  EXPECT_EQ(GetPasswordEx(nullptr, sizeof password, password), 1);  // 5 + terminator
  EXPECT_STREQ(password, "plain");
  EXPECT_EQ(GetPasswordEx(nullptr, 5, password), 0);
}

TEST_F(CredentialsTest, GetPasswordFollowsRootPrefix) {
  SetDbCredentialsEh(CVCRED_HKEY_CURRENT_USER, "Software\\Tool\\Conn", 0, 0, "d", "s", "u",
                     "cu-pw");
  CvDbKey* key = OpenDbCredentialsKey(CVCRED_HKEY_LOCAL_MACHINE, "SOFTWARE\\Tool\\Conn");
  ASSERT_NE(key, nullptr);
  SetDbCredentialsEx(key, 0, 0, "d", "s", "u", "lm-pw");
  EXPECT_EQ(OpenDbCredentialsKey(42, "x"), nullptr);

  char password[16];
  EXPECT_EQ(GetPassword(nullptr, "HKEY_CURRENT_USER\\Software\\Tool\\Conn", 16, password), 1);
  EXPECT_STREQ(password, "cu-pw");
  EXPECT_EQ(GetPassword("", "hkey_current_user\\software\\tool\\conn", 16, password), 1);
  EXPECT_STREQ(password, "cu-pw");
  EXPECT_EQ(GetPassword(nullptr, "SOFTWARE\\Tool\\Conn", 16, password), 1);
  EXPECT_STREQ(password, "lm-pw");
  EXPECT_EQ(GetPassword(nullptr, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool\\Conn", 16, password), 1);
  EXPECT_STREQ(password, "lm-pw");
  EXPECT_EQ(GetPassword(nullptr, "SOFTWARE\\Tool\\Missing", 16, password), 0);
  // An integer resource identifier in place of a path.
  EXPECT_EQ(GetPassword(nullptr, reinterpret_cast<const char*>(uintptr_t{101}), 16, password), 0);
}

TEST_F(CredentialsTest, OnlyThisMachineIsReachable) {
  SetDbCredentials(0, 0, "db", "srv", "usr", "pw");
  EXPECT_EQ(ReadDefault("").ok, 1);
  EXPECT_EQ(ReadDefault("LocalHost").ok, 1);
  std::string self = corvane::platform::ComputerName();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(ReadDefault(self.c_str()).ok, 1);
  EXPECT_EQ(ReadDefault(("\\\\" + self).c_str()).ok, 1);

  Read remote = ReadDefault("not-this-host.example");
  EXPECT_EQ(remote.ok, 0);
  EXPECT_STREQ(remote.server.data(), "");
  char password[16];
  EXPECT_EQ(GetPasswordEx("not-this-host.example", 16, password), 0);
  EXPECT_EQ(GetPassword("not-this-host.example",
                        "SOFTWARE\\Corvane\\Vantora\\Core\\Connections\\Local", 16, password),
            0);
}

TEST(ScrambleTest, MatchesRc4AndRoundTripsAnyBytes) {
  std::string text = "Corvane password";
  std::vector<uint8_t> buffer(text.begin(), text.end());
  buffer.push_back(0xAA);  // guard byte beyond the count
  Encrypt(text.size(), buffer.data());
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.end() - 1),
            ReferenceRc4("#q7w", {text.begin(), text.end()}));
  EXPECT_EQ(buffer.back(), 0xAA);
  Decrypt(text.size(), buffer.data());
  EXPECT_EQ(std::string(buffer.begin(), buffer.end() - 1), text);

  // Every byte value, NULs included; every call starts the key stream anew.
  std::vector<uint8_t> all(512);
  std::iota(all.begin(), all.end(), 0);
  std::vector<uint8_t> once = all, twice = all;
  Encrypt(once.size(), once.data());
  Encrypt(twice.size(), twice.data());
  EXPECT_EQ(once, twice);
  EXPECT_NE(once, all);
  Decrypt(once.size(), once.data());
  EXPECT_EQ(once, all);

  uint8_t untouched[3] = {1, 2, 3};
  Encrypt(0, untouched);
  Decrypt(0, untouched);
  EXPECT_EQ(untouched[0], 1);
  EXPECT_EQ(untouched[2], 3);
  Encrypt(5, nullptr);  // must not crash
}

}  // namespace
