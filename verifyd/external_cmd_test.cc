// Requests on the command socket: which of them name an operation, and
// what their numbers read as.

#include "verifyd/external_cmd.h"

#include <gtest/gtest.h>

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
        std::string_view("{\"operation\":\"open_door\\u0000x\"}")}) {
    EXPECT_EQ(Parse(other).operation, ExternalOperation::kNone) << other;
  }
  EXPECT_TRUE(Parse(R"({"operation":"reboot"})").named);
  EXPECT_FALSE(Parse(R"(trailing {"operation":"open_door"})").named);
}

TEST(ExternalCmdTest, WhatFollowsTheRequestIsIgnored) {
  // A C program's request with its terminating zero byte, a line end, more.
  const char with_zero[] = R"({"operation":"open_door","direction":1})";
  for (std::string_view text :
       {std::string_view(with_zero, sizeof(with_zero)),
        std::string_view("{\"operation\":\"open_door\",\"direction\":1}\r\n"),
        std::string_view(R"({"operation":"open_door","direction":1} trailing)"),
        std::string_view(R"({"operation":"open_door","direction":1}{"operation":"x")")}) {
    const ExternalRequest request = Parse(text);
    EXPECT_EQ(request.operation, ExternalOperation::kOpenDoor) << text;
    EXPECT_EQ(request.direction, 1) << text;
  }
  EXPECT_FALSE(Parse(R"({"operation":2})").named);
}

}  // namespace
