// Packet sets to scan text: strings to lines, deciphering, contents blocks
// across packets, the abandon rule, and the file that results.

#include "scan/packet_set.h"

#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <span>

#include "testsupport/temp_root.h"

namespace corvane::scan {
namespace {

using namespace std::string_literals;

std::optional<std::string> Convert(const PacketSet& packets) {
  return PacketSetToScanText(packets, DatagramScanKey());
}

PacketSet Enciphered(PacketSet packets) {
  for (std::optional<std::string>& packet : packets) {
    if (!packet) continue;
    EncipherPayload(std::span<uint8_t>(reinterpret_cast<uint8_t*>(packet->data()), packet->size()),
                    DatagramScanKey());
  }
  return packets;
}

const PacketSet kPlainSet = {"Device ID = {A}\0OS - Name = Linux\0\0garbage after the end\0"s,
                             std::nullopt, "Network - NIC Address = 00AA\0"s};

TEST(PacketSetTest, StringsBecomeLinesUntilAnEmptyString) {
  EXPECT_FALSE(IsEncipheredPacketSet(kPlainSet));
  EXPECT_EQ(Convert(kPlainSet),
            "Device ID = {A}\r\nOS - Name = Linux\r\nNetwork - NIC Address = 00AA\r\n");
  // Bytes past 542 are never looked at; a string running into that edge ends there.
  std::string wide = "Device ID = {B}\0"s + std::string(542 - 16 - 1, 'x') + "\0late line\0"s;
  EXPECT_EQ(Convert({wide}), "Device ID = {B}\r\n" + std::string(525, 'x') + "\r\n");
  std::string cut = "Device ID = {C}\0"s + std::string(600, 'y');
  EXPECT_EQ(Convert({cut}), "Device ID = {C}\r\n" + std::string(526, 'y') + "\r\n");
}

TEST(PacketSetTest, EncipheredSetGivesThePlainText) {
  PacketSet enciphered = Enciphered(kPlainSet);
  ASSERT_TRUE(IsEncipheredPacketSet(enciphered));
  EXPECT_EQ(Convert(enciphered), Convert(kPlainSet));
  // A missing or empty first packet makes a set plain, whatever follows.
  EXPECT_FALSE(IsEncipheredPacketSet({std::nullopt, "abc\0"s}));
  EXPECT_FALSE(IsEncipheredPacketSet({""s, "abc\0"s}));
  EXPECT_EQ(Convert({std::nullopt, "Any - Line = 1\0"s}), "Any - Line = 1\r\n");
}

// A configuration file of 77 bytes sent across three packets, with its
// "_EndContents" in the last.
PacketSet SpanningBlock(const std::string& declared_length) {
  return {"Device ID = {F}\0_BeginContents\0"s + declared_length + "\0"s + "1796000000\0"s +
              "fstab\0/etc/\0# /etc/fstab: static\0"s,
          " file system information.\r\n/dev/vda / ext4\0"s,
          " defaults 0 1\r\n\0\r\n\0_EndContents\0Last - Line = 1\0"s};
}

constexpr char kFstab[] =
    "# /etc/fstab: static file system information.\r\n/dev/vda / ext4 defaults 0 1\r\n";

std::string BlockText(const std::string& length_line, const std::string& contents = kFstab) {
  return "Device ID = {F}\r\n_BeginContents\r\n" + length_line +
         "\r\n1796000000\r\nfstab\r\n/etc/\r\n" + contents +
         "\r\n_EndContents\r\nLast - Line = 1\r\n";
}

TEST(PacketSetTest, ContentsBlockSpansPacketsAndGetsItsActualLength) {
  ASSERT_EQ(std::string(kFstab).size(), 77u);
  EXPECT_EQ(Convert(SpanningBlock("77")), BlockText("77"));
  EXPECT_EQ(Convert(SpanningBlock("077")), BlockText("077"));  // same value: kept as sent
  // Declared too long: copying goes on, the lone CR LF included, until
  // "_EndContents".
  const std::string longer = kFstab + "\r\n"s;
  EXPECT_EQ(Convert(SpanningBlock("500")), BlockText("79", longer));
  EXPECT_EQ(Convert(Enciphered(SpanningBlock("500"))), BlockText("79", longer));
  // Lengths that no buffer could hold still give the real one, also past
  // 64 bits (2^64 + 3 must not wrap to 3).
  EXPECT_EQ(Convert(SpanningBlock("4294967296")), BlockText("79", longer));
  EXPECT_EQ(Convert(SpanningBlock("18446744073709551619")), BlockText("79", longer));
}

TEST(PacketSetTest, DeclaredLengthShortOfTheDataNeedsTheEndInTheSameString) {
  // Length reached inside a string that also holds "_EndContents": the rest
  // of that string belongs to the contents.
  PacketSet same_string = {"Device ID = {S}\0_BeginContents\0"s +
                           "3\0t\0name\0dir\0abcdef_EndContents x\0"s};
  EXPECT_EQ(Convert(same_string),
            "Device ID = {S}\r\n_BeginContents\r\n6\r\nt\r\nname\r\ndir\r\nabcdef\r\n"
            "_EndContents x\r\n");
  PacketSet negative = {"Device ID = {N}\0_BeginContents\0-5\0t\0n\0d\0ab_EndContents\0"s};
  EXPECT_EQ(Convert(negative),
            "Device ID = {N}\r\n_BeginContents\r\n2\r\nt\r\nn\r\nd\r\nab\r\n_EndContents\r\n");
  // Anything else after the declared length abandons the whole set.
  PacketSet stray = {"Device ID = {X}\0_BeginContents\0"s + "3\0t\0name\0dir\0abcdef\0"s,
                     "_EndContents\0"s};
  EXPECT_EQ(Convert(stray), std::nullopt);
  EXPECT_EQ(Convert({"Device ID = {X}\0_BeginContents\0-5\0t\0n\0d\0data\0"s}), std::nullopt);
}

TEST(PacketSetTest, BlockStillOpenAtTheEndIsDropped) {
  EXPECT_EQ(Convert({"Device ID = {O}\0_BeginContents\0"s + "10\0t\0n\0d\0abc\0"s}),
            "Device ID = {O}\r\n_BeginContents\r\n");
  EXPECT_EQ(Convert({"Device ID = {O}\0_BeginContents\0"s + "4294967296\0t\0"s}),
            "Device ID = {O}\r\n_BeginContents\r\n");
}

class PacketSetFileTest : public ::testing::Test {
 protected:
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory_.c_str())) {
      while (dirent* entry = readdir(dir)) {
        if (entry->d_type == DT_REG) names.push_back(entry->d_name);
      }
      closedir(dir);
    }
    return names;
  }

  corvane::testing::TempRoot root_;
  std::string directory_ = root_.path();
};

TEST_F(PacketSetFileTest, WritesAScanFileOrLeavesNothing) {
  std::optional<std::string> path = WritePacketSetAsScan(kPlainSet, directory_, "SCA");
  ASSERT_TRUE(path);
  std::vector<std::string> files = Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].starts_with("SCA") && files[0].ends_with(".scn")) << files[0];
  EXPECT_EQ(*path, directory_ + "/" + files[0]);
  EXPECT_EQ(corvane::testing::ReadFileOrEmpty(*path), *Convert(kPlainSet));

  ASSERT_EQ(unlink(path->c_str()), 0);
  EXPECT_EQ(WritePacketSetAsScan({"Device ID = {X}\0_BeginContents\0-5\0t\0n\0d\0data\0"s},
                                 directory_, "SCA"),
            std::nullopt);
  EXPECT_EQ(WritePacketSetAsScan(kPlainSet, directory_ + "/missing", "SCA"), std::nullopt);
  EXPECT_TRUE(Files().empty());
}

}  // namespace
}  // namespace corvane::scan
