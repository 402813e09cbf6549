#include "platform/regtree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace corvane::platform {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr RegRoot kHklm = RegRoot::kLocalMachine;

RegTree Parse(std::string_view text) {
  RegTree tree;
  ApplyRegText(text, kHklm, tree);
  return tree;
}

RegTree RoundTrip(const RegTree& tree) { return Parse(FormatRegText(tree, kHklm)); }

std::string ErrorOf(std::string_view text, RegTree& tree) {
  try {
    ApplyRegText(text, kHklm, tree);
  } catch (const RegistryError& error) {
    return error.what();
  }
  return "no error";
}

TEST(RegRootTest, NamesAndAbbreviations) {
  EXPECT_STREQ(RegRootName(RegRoot::kLocalMachine), "HKEY_LOCAL_MACHINE");
  EXPECT_STREQ(RegRootName(RegRoot::kCurrentUser), "HKEY_CURRENT_USER");
  EXPECT_STREQ(RegRootName(RegRoot::kClassesRoot), "HKEY_CLASSES_ROOT");
  EXPECT_STREQ(RegRootName(RegRoot::kUsers), "HKEY_USERS");
  EXPECT_STREQ(RegRootName(RegRoot::kCurrentConfig), "HKEY_CURRENT_CONFIG");
  EXPECT_EQ(ParseRegRoot("HKEY_LOCAL_MACHINE"), RegRoot::kLocalMachine);
  EXPECT_EQ(ParseRegRoot("hkey_local_machine"), RegRoot::kLocalMachine);
  EXPECT_EQ(ParseRegRoot("HKLM"), RegRoot::kLocalMachine);
  EXPECT_EQ(ParseRegRoot("hkcu"), RegRoot::kCurrentUser);
  EXPECT_EQ(ParseRegRoot("HKCR"), RegRoot::kClassesRoot);
  EXPECT_EQ(ParseRegRoot("HKU"), RegRoot::kUsers);
  EXPECT_EQ(ParseRegRoot("HKCC"), RegRoot::kCurrentConfig);
  EXPECT_EQ(ParseRegRoot("HKEY_LOCAL"), std::nullopt);
  EXPECT_EQ(ParseRegRoot(""), std::nullopt);
}

TEST(RegValueTest, FactoriesSetTypeAndData) {
  EXPECT_EQ(RegValue::Sz("a").type, RegType::kSz);
  EXPECT_EQ(RegValue::Sz("a").text, "a");
  EXPECT_EQ(RegValue::ExpandSz("%X%").type, RegType::kExpandSz);
  EXPECT_EQ(RegValue::ExpandSz("%X%").text, "%X%");
  EXPECT_EQ(RegValue::Dword(7).type, RegType::kDword);
  EXPECT_EQ(RegValue::Dword(7).dword, 7u);
  EXPECT_EQ(RegValue::MultiSz({"a", "b"}).type, RegType::kMultiSz);
  EXPECT_THAT(RegValue::MultiSz({"a", "b"}).strings, ElementsAre("a", "b"));
  EXPECT_EQ(RegValue::Binary({1, 2}).type, RegType::kBinary);
  EXPECT_THAT(RegValue::Binary({1, 2}).bytes, ElementsAre(1, 2));
  EXPECT_EQ(static_cast<uint32_t>(RegType::kMultiSz), 7u);
  EXPECT_NE(RegValue::Sz("1"), RegValue::ExpandSz("1"));
}

TEST(FoldKeyPathTest, FoldsCaseAndCleansSeparators) {
  EXPECT_EQ(FoldKeyPath("A\\\\b\\"), "a\\b");
  EXPECT_EQ(FoldKeyPath("\\SOFTWARE\\Arvex"), "software\\arvex");
  EXPECT_EQ(FoldKeyPath(""), "");
  EXPECT_EQ(FoldKeyPath("\\\\"), "");
  EXPECT_EQ(FoldKeyPath("Ärger\\ΣΙΓΜΑ\\ДОМ"), "ärger\\σιγμα\\дом");
  EXPECT_EQ(FoldKeyPath("a/B"), "a/b");  // "/" is an ordinary character in key names
}

TEST(RegKeyTest, NamesAreCaseInsensitiveAndCasePreserving) {
  RegKey key;
  key.Set("DbName", RegValue::Sz("one"));
  key.Set("Port", RegValue::Dword(1));
  key.Set("DBNAME", RegValue::Sz("two"));
  ASSERT_EQ(key.values.size(), 2u);
  EXPECT_EQ(key.values[0].first, "DbName");
  EXPECT_EQ(key.values[0].second, RegValue::Sz("two"));
  EXPECT_EQ(key.values[1].first, "Port");
  ASSERT_NE(key.Find("dbname"), nullptr);
  EXPECT_EQ(key.Find("dbname")->text, "two");
  EXPECT_EQ(key.Find("Db"), nullptr);
  key.Set("Ölpreis", RegValue::Dword(3));
  ASSERT_NE(key.Find("ölPREIS"), nullptr);
  EXPECT_TRUE(key.Remove("PORT"));
  EXPECT_FALSE(key.Remove("PORT"));
  EXPECT_EQ(key.values.size(), 2u);
  EXPECT_EQ(key.Find("Port"), nullptr);
}

TEST(RegKeyTest, DefaultValueHasTheEmptyName) {
  RegKey key;
  key.Set("", RegValue::Sz("default"));
  ASSERT_NE(key.Find(""), nullptr);
  EXPECT_EQ(key.Find("")->text, "default");
}

TEST(RegKeyTest, RefusesControlCharactersInNames) {
  RegKey key;
  EXPECT_THROW(key.Set("a\nb", RegValue::Dword(1)), std::invalid_argument);
  EXPECT_TRUE(key.values.empty());
}

TEST(RegTreeTest, CreateMakesAncestorsWithTheirCase) {
  RegTree tree;
  RegKey& key = tree.Create("SOFTWARE\\Arvex\\Corvane");
  EXPECT_EQ(key.path, "SOFTWARE\\Arvex\\Corvane");
  ASSERT_NE(tree.Find("software"), nullptr);
  EXPECT_EQ(tree.Find("software")->path, "SOFTWARE");
  ASSERT_NE(tree.Find("SOFTWARE\\ARVEX"), nullptr);
  EXPECT_EQ(tree.Find("software\\arvex")->path, "SOFTWARE\\Arvex");
  // An existing parent keeps its case; the new child is shown below it.
  EXPECT_EQ(tree.Create("software\\ARVEX\\Other").path, "SOFTWARE\\Arvex\\Other");
  EXPECT_EQ(&tree.Create("Software\\Arvex\\CORVANE"), &key);
  EXPECT_EQ(&tree.Create("\\Software\\\\Arvex\\Corvane\\"), &key);
  EXPECT_EQ(tree.Find("SOFTWARE\\Missing"), nullptr);
  EXPECT_THROW(tree.Create("a\tb"), std::invalid_argument);
}

TEST(RegTreeTest, SubkeysAreImmediateAndSorted) {
  RegTree tree;
  tree.Create("A\\zeta");
  tree.Create("A\\Beta\\deep");
  tree.Create("A\\alpha");
  tree.Create("A b");
  tree.Create("B");
  EXPECT_THAT(tree.Subkeys("a"), ElementsAre("alpha", "Beta", "zeta"));
  EXPECT_THAT(tree.Subkeys(""), ElementsAre("A", "A b", "B"));
  EXPECT_THAT(tree.Subkeys("A\\Beta"), ElementsAre("deep"));
  EXPECT_TRUE(tree.Subkeys("A\\alpha").empty());
  EXPECT_TRUE(tree.Subkeys("nothing").empty());
}

TEST(RegTreeTest, KeysListParentsBeforeChildren) {
  RegTree tree;
  tree.Create("A b");
  tree.Create("A\\c\\d");
  tree.Create("B");
  std::vector<std::string> paths;
  for (const RegKey* key : tree.Keys()) paths.push_back(key->path);
  EXPECT_THAT(paths, ElementsAre("", "A", "A\\c", "A\\c\\d", "A b", "B"));
}

TEST(RegTreeTest, RemoveTakesSubkeysButNotSiblingsWithTheSamePrefix) {
  RegTree tree;
  tree.Create("A\\B\\C").Set("x", RegValue::Dword(1));
  tree.Create("A\\BC");
  tree.Create("A\\B C");
  EXPECT_TRUE(tree.Remove("a\\b"));
  EXPECT_EQ(tree.Find("A\\B"), nullptr);
  EXPECT_EQ(tree.Find("A\\B\\C"), nullptr);
  EXPECT_NE(tree.Find("A\\BC"), nullptr);
  EXPECT_NE(tree.Find("A\\B C"), nullptr);
  EXPECT_NE(tree.Find("A"), nullptr);
  EXPECT_FALSE(tree.Remove("A\\B"));
}

TEST(RegTreeTest, EqualityComparesPathsAndValuesInOrder) {
  RegTree a;
  RegTree b;
  EXPECT_EQ(a, b);
  a.Create("K").Set("x", RegValue::Dword(1));
  b.Create("K").Set("x", RegValue::Dword(1));
  EXPECT_EQ(a, b);
  b.Find("K")->Set("x", RegValue::Dword(2));
  EXPECT_NE(a, b);
}

TEST(FormatRegTextTest, WritesTheExportFormat) {
  RegTree tree;
  RegKey& key = tree.Create("SOFTWARE\\Arvex");
  key.Set("Name", RegValue::Sz("C:\\dir \"quoted\""));
  key.Set("", RegValue::Sz("default"));
  key.Set("Count", RegValue::Dword(15));
  key.Set("Blob", RegValue::Binary({0x01, 0xab}));
  key.Set("Path", RegValue::ExpandSz("%A%"));
  key.Set("List", RegValue::MultiSz({"a", "b"}));
  key.Set("Lines", RegValue::Sz("x\ny"));
  key.Set("Empty list", RegValue::MultiSz({}));
  key.Set("Empty blob", RegValue::Binary({}));
  key.Set("quote\"back\\slash", RegValue::Sz(""));
  tree.Create("SOFTWARE\\Arvex\\Sub");
  EXPECT_EQ(FormatRegText(tree, kHklm),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Arvex]\n"
            "\"Name\"=\"C:\\\\dir \\\"quoted\\\"\"\n"
            "@=\"default\"\n"
            "\"Count\"=dword:0000000f\n"
            "\"Blob\"=hex:01,ab\n"
            "\"Path\"=hex(2):25,41,25,00\n"
            "\"List\"=hex(7):61,00,62,00,00\n"
            "\"Lines\"=hex(1):78,0a,79,00\n"
            "\"Empty list\"=hex(7):00\n"
            "\"Empty blob\"=hex:\n"
            "\"quote\\\"back\\\\slash\"=\"\"\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Arvex\\Sub]\n"
            "\n");
}

TEST(FormatRegTextTest, UnderLimitsToOneSubtree) {
  RegTree tree;
  tree.Create("A\\B").Set("v", RegValue::Dword(1));
  tree.Create("A\\BC");
  tree.Create("X");
  EXPECT_EQ(FormatRegText(tree, RegRoot::kCurrentUser, "a\\b"),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\A\\B]\n\"v\"=dword:00000001\n\n");
  EXPECT_EQ(FormatRegText(tree, kHklm, "missing"), "Windows Registry Editor Version 5.00\n\n");
  EXPECT_EQ(FormatRegText(RegTree(), kHklm), "Windows Registry Editor Version 5.00\n\n");
}

TEST(ApplyRegTextTest, ReadsEveryValueForm) {
  RegTree tree = Parse(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Arvex]\r\n"
      "\"Text\"=\"a \\\"b\\\" \\\\c\"\r\n"
      "@=\"def\"\r\n"
      "\"D\"=dword:0000000F\r\n"
      "\"Short\"=dword:1f\r\n"
      "\"Bin\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "\"Exp\"=hex(2):25,00\r\n"
      "\"Multi\"=hex(7):61,00,00,62,63,00,00\r\n"
      "\"Lines\"=hex(1):61,0d,0a,62,00\r\n"
      "\"LE\"=hex(4):01,02,00,00\r\n"
      "  \"Spaced\" = \"x\"  \r\n"
      "\"Empty\"=hex:\r\n");
  const RegKey* key = tree.Find("software\\arvex");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(*key->Find("Text"), RegValue::Sz("a \"b\" \\c"));
  EXPECT_EQ(*key->Find(""), RegValue::Sz("def"));
  EXPECT_EQ(*key->Find("D"), RegValue::Dword(15));
  EXPECT_EQ(*key->Find("Short"), RegValue::Dword(31));
  EXPECT_EQ(*key->Find("Bin"), RegValue::Binary({1, 2, 3, 4}));
  EXPECT_EQ(*key->Find("Exp"), RegValue::ExpandSz("%"));
  EXPECT_EQ(*key->Find("Multi"), RegValue::MultiSz({"a", "", "bc"}));
  EXPECT_EQ(*key->Find("Lines"), RegValue::Sz("a\r\nb"));
  EXPECT_EQ(*key->Find("LE"), RegValue::Dword(0x201));
  EXPECT_EQ(*key->Find("Spaced"), RegValue::Sz("x"));
  EXPECT_EQ(*key->Find("Empty"), RegValue::Binary({}));
  EXPECT_NE(tree.Find("SOFTWARE"), nullptr);
}

TEST(ApplyRegTextTest, AcceptsAbbreviatedRootAndBom) {
  RegTree tree = Parse("\xEF\xBB\xBF[hklm\\A]\n\"v\"=dword:00000001\n");
  ASSERT_NE(tree.Find("A"), nullptr);
  EXPECT_EQ(tree.Find("A")->Find("v")->dword, 1u);
}

TEST(ApplyRegTextTest, DeletesKeysAndValues) {
  RegTree tree;
  tree.Create("A\\B\\C").Set("x", RegValue::Dword(1));
  tree.Create("A").Set("keep", RegValue::Dword(2));
  tree.Find("A")->Set("drop", RegValue::Dword(3));
  ApplyRegText(
      "Windows Registry Editor Version 5.00\n\n"
      "[-HKEY_LOCAL_MACHINE\\a\\b]\n\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "\"DROP\"=-\n"
      "\"never there\"=-\n",
      kHklm, tree);
  EXPECT_EQ(tree.Find("A\\B"), nullptr);
  EXPECT_EQ(tree.Find("A\\B\\C"), nullptr);
  ASSERT_NE(tree.Find("A"), nullptr);
  EXPECT_EQ(tree.Find("A")->Find("drop"), nullptr);
  EXPECT_NE(tree.Find("A")->Find("keep"), nullptr);
}

TEST(ApplyRegTextTest, MalformedLinesNameTheLineAndLeaveTheTree) {
  RegTree original;
  original.Create("Keep").Set("v", RegValue::Dword(1));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[HKEY_LOCAL_MACHINE\\New]\n\"v\"=dword:1\nnonsense\n", "line 3"},
      {"[HKEY_CURRENT_USER\\X]\n", "line 1: section names HKEY_CURRENT_USER"},
      {"[HKEY_NOWHERE\\X]\n", "line 1: unknown root"},
      {"\"v\"=dword:1\n", "line 1: value outside"},
      {"[HKEY_LOCAL_MACHINE\\X\n", "line 1"},
      {"\n\n[HKLM\\X]\n\"v\"=dword:123456789\n", "line 4"},
      {"[HKLM\\X]\n\"v\"=hex:1,zz\n", "line 2"},
      {"[HKLM\\X]\n\"v\"=hex:01,\\\n  02,\n\"w\"=dword:1\n", "line 2"},
      {"[HKLM\\X]\n\"v\"=hex(b):00\n", "line 2"},
      {"[HKLM\\X]\n\"v\"=\"unterminated\n", "line 2"},
      {"[HKLM\\X]\n\"v\"=\"bad \\n escape\"\n", "line 2"},
      {"[HKLM\\X]\n\"v\"=\"text\" trailing\n", "line 2"},
      {"[HKLM\\X]\n\"v\" dword:1\n", "line 2"},
      {"[HKLM\\X]\n\"v\"=\n", "line 2"},
      {"[HKLM\\X]\nWindows Registry Editor Version 5.00\n", "line 2"},
      {"[-HKEY_LOCAL_MACHINE]\n", "line 1"},
      {"[HKLM\\X]\n\"a\x01\"=dword:1\n", "line 2"},
      {"\xFF\xFE[\0", "line 1"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    RegTree tree = original;
    EXPECT_THAT(ErrorOf(text, tree), HasSubstr(expected));
    EXPECT_EQ(tree, original);
  }
}

TEST(ApplyRegTextTest, LaterSectionsAddToEarlierOnes) {
  RegTree tree = Parse("[HKLM\\A]\n\"x\"=dword:1\n[HKLM\\a]\n\"y\"=dword:2\n");
  ASSERT_NE(tree.Find("A"), nullptr);
  EXPECT_EQ(tree.Find("A")->values.size(), 2u);
  EXPECT_EQ(tree.Find("A")->path, "A");
}

TEST(RoundTripTest, AwkwardNamesAndValuesSurvive) {
  RegTree tree;
  RegKey& odd = tree.Create("Odd \"Key\"]\\with = sign\\ünïcödé ☃ 𝄞");
  odd.Set("", RegValue::Sz("default"));
  odd.Set("quote\"inside", RegValue::Sz("\"\"\""));
  odd.Set("back\\slash\\", RegValue::Sz("C:\\path\\"));
  odd.Set("a=b", RegValue::Sz("x=y"));
  odd.Set("=", RegValue::Sz("="));
  odd.Set("@", RegValue::Sz("@"));
  odd.Set("-", RegValue::Sz("-"));
  odd.Set("semi;colon", RegValue::Sz("; not a comment"));
  odd.Set("trailing backslash", RegValue::Sz("\\"));
  odd.Set("unicode ÄÖÜ ☃", RegValue::Sz("Grüße 𝄞 日本"));
  odd.Set("lines", RegValue::Sz("one\r\ntwo\n\tthree"));
  odd.Set("nul", RegValue::Sz(std::string("a\0b", 3)));
  odd.Set("empty", RegValue::Sz(""));
  odd.Set("spaces", RegValue::Sz("  padded  "));
  odd.Set("expand", RegValue::ExpandSz("%SystemRoot%\\x\n"));
  odd.Set("expand empty", RegValue::ExpandSz(""));
  odd.Set("multi", RegValue::MultiSz({"a", "", "ü\"\\", "line\nbreak"}));
  odd.Set("multi empty", RegValue::MultiSz({}));
  odd.Set("multi one empty", RegValue::MultiSz({""}));
  odd.Set("binary", RegValue::Binary({0, 255, 10, 13, 92}));
  odd.Set("binary empty", RegValue::Binary({}));
  odd.Set("dword max", RegValue::Dword(0xffffffff));
  odd.Set("dword zero", RegValue::Dword(0));
  std::vector<uint8_t> big(3000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  odd.Set("big", RegValue::Binary(big));
  tree.Create("Case\\KEY");
  tree.Create("case\\key\\Child");  // same key, differing only in case
  tree.Create("-starts with dash");
  tree.Create("[bracket");
  tree.Create("Trailing space ");
  tree.Create("");  // the root key with a value
  tree.Find("")->Set("root value", RegValue::Dword(9));

  RegTree copy = RoundTrip(tree);
  EXPECT_EQ(copy, tree);
  EXPECT_EQ(FormatRegText(copy, kHklm), FormatRegText(tree, kHklm));
  EXPECT_EQ(copy.Find("CASE\\key")->path, "Case\\KEY");
  EXPECT_EQ(copy.Find("case\\key\\child")->path, "Case\\KEY\\Child");
}

TEST(RoundTripTest, EveryByteInTextsSurvives) {
  RegTree tree;
  RegKey& key = tree.Create("Bytes");
  for (int byte = 1; byte < 256; ++byte) {
    key.Set("sz " + std::to_string(byte), RegValue::Sz(std::string(1, static_cast<char>(byte))));
  }
  EXPECT_EQ(RoundTrip(tree), tree);
}

TEST(RoundTripTest, EmptyTreeStaysEmpty) { EXPECT_EQ(RoundTrip(RegTree()), RegTree()); }

}  // namespace
}  // namespace corvane::platform
