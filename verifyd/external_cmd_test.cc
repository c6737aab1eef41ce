// Requests on the command socket: which of them name an operation, and the
// replies' exact texts.

#include "verifyd/external_cmd.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

ExternalRequest Parse(std::string_view text) { return ParseExternalRequest({text.data(), text.size()}); }

TEST(ExternalCmdTest, OnlyAnOperationStringNamesAnOperation) {
  ExternalRequest door = Parse(R"({"operation":"open_door","request_id":8.9,"direction":1})");
  EXPECT_EQ(door.operation, ExternalOperation::kOpenDoor);
  EXPECT_EQ(door.request_id, 8);
  EXPECT_EQ(door.direction, 1);

  ExternalRequest status = Parse(R"({"request_id":"7","operation":"check_status"})");
  EXPECT_EQ(status.operation, ExternalOperation::kCheckStatus);
  EXPECT_EQ(status.request_id, 0) << "a quoted number is no number";

  EXPECT_EQ(Parse(R"({"operation":"open_door","direction":true})").direction, 0);
  EXPECT_EQ(Parse(R"({"operation":"open_door","request_id":1e12})").request_id, 0);

  for (std::string_view other :
       {std::string_view("hello"), std::string_view(R"({"operation":1})"),
        std::string_view(R"(["open_door"])"), std::string_view(R"({"operation":"Open_door"})"),
        std::string_view(R"({"operation":"open_door"} trailing)"),
        std::string_view("{\"operation\":\"open_door\\u0000x\"}")}) {
    EXPECT_EQ(Parse(other).operation, ExternalOperation::kNone) << other;
  }
  EXPECT_TRUE(Parse(R"({"operation":"reboot"})").named);
  EXPECT_FALSE(Parse(R"({"operation":2})").named);
}

TEST(ExternalCmdTest, RepliesAreExact) {
  char out[kExternalReplySize];
  ExternalRequest status{.operation = ExternalOperation::kCheckStatus, .request_id = 7};
  ASSERT_GT(BuildExternalReply(status, 123, "127.0.0.1", "2024-01-31 23:59:30", 0, out), 0u);
  EXPECT_STREQ(out,
               "{\"request_id\":7,\"operation\":\"check_status\",\"controller_type\":\"TQ8HUB\","
               "\"controller_sn\":123,\"controller_ip\":\"127.0.0.1\",\"date\":\"2024-01-31 "
               "23:59:30\",\"status\":\"Active\"}");
  ExternalRequest door{.operation = ExternalOperation::kOpenDoor, .request_id = -3};
  ASSERT_GT(BuildExternalReply(door, 5, "0.0.0.0", "2024-01-31 23:59:30", 1, out), 0u);
  EXPECT_STREQ(out,
               "{\"request_id\":-3,\"operation\":\"open_door\",\"controller_type\":\"TQ8HUB\","
               "\"controller_sn\":5,\"controller_ip\":\"0.0.0.0\",\"date\":\"2024-01-31 "
               "23:59:30\",\"success\":1}");
}

}  // namespace
