#include "diag/catalogue.h"

#include <gtest/gtest.h>

#include "notifex/message_table.h"
#include "platform/paths.h"

namespace corvane::diag {
namespace {

TEST(Catalogue, EveryAlertTypeHasItsMessageAndDisplayName) {
  EXPECT_EQ(ServerAlertTypes().size(), 19u);
  for (const AlertType& type : ServerAlertTypes()) {
    EXPECT_TRUE(ProgramMessage(type.event_id)) << type.alert_name;
    EXPECT_EQ(ProgramString(type.string_id), std::string_view(type.alert_name));
  }
}

TEST(Catalogue, TextsEndInCrLfAndExpandWithTheirInserts) {
  for (uint32_t id :
       {1u, 3u, 4u, 5u, 8u, 9u, 10u, 11u, 2068u, 2391u, 2392u, 2393u, 2394u, 2395u, 4098u, 4107u}) {
    std::optional<std::string_view> text = ProgramMessage(id);
    ASSERT_TRUE(text) << id;
    EXPECT_EQ(text->substr(text->size() - 2), "\r\n") << id;
  }
  EXPECT_EQ(notifex::ExpandMessage(*ProgramMessage(kMsgLoadedScanning), {"22", "23", "0"}),
            "Corvane Inventory Server loaded successfully.\r\n\r\nCurrent settings are:\r\n\r\n"
            "\r\n\r\nServer to scan self daily at 22.\r\n\r\nServer to clean attribute history "
            "daily at 23.\r\n\r\nDatabase reset: 0\r\n\r\n");
  EXPECT_EQ(notifex::ExpandMessage(*ProgramMessage(kMsgDuplicateDeviceId), {"dev-1"}),
            "Inventory server detected dev-1 as a duplicated device ID.\r\n");
  EXPECT_FALSE(ProgramMessage(2));
  EXPECT_FALSE(ProgramString(18));
}

TEST(Catalogue, TheProgramFileCarriesTheMessageTable) {
  // This test program links the catalogue, as the server does.
  std::optional<notifex::MessageTable> table = notifex::LoadMessageTable(platform::ProgramPath());
  ASSERT_TRUE(table);
  EXPECT_EQ(table->size(), 43u);
  for (const auto& [id, text] : *table) EXPECT_EQ(ProgramMessage(id), std::string_view(text));
}

}  // namespace
}  // namespace corvane::diag
