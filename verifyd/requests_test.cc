// The request texts byte for byte, the card identifier's order, the event
// elements and which records of a batch go out.

#include "verifyd/requests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const RequestEnvelope kEnvelope{.request_id = 1804289383,
                                .operation = kCheckAccess,
                                .serial = 123,
                                .controller_ip = "192.168.1.10",
                                .date = "2024-01-31 23:59:30"};

std::string Identifier(const KeyCode& card, bool reader_order) {
  CardIdentifier text{};
  FormatCardIdentifier(card, reader_order, text);
  return text.data();
}

std::string Elements(const Bytes& records, bool reader_order = true, int year = 2024) {
  char out[kEventElementsSize];
  EXPECT_TRUE(BuildEventElements(records, year, reader_order, out));
  return out;
}

TEST(RequestsTest, CardIdentifierFollowsTheReaderOrder) {
  const KeyCode card{0x01, 0x02, 0x03, 0x04, 0x05, 0xAB};
  EXPECT_EQ(Identifier(card, true), "0102030405AB");
  EXPECT_EQ(Identifier(card, false), "AB0504030201");
}

TEST(RequestsTest, RequestTextsAreExact) {
  char out[kRequestSize];
  RequestEnvelope poweron = kEnvelope;
  poweron.operation = kPoweron;
  ASSERT_GT(BuildPoweronRequest(poweron, out), 0u);
  EXPECT_STREQ(out,
               "{\"request_id\":1804289383,\"operation\":\"poweron\",\"controller_type\":\"TQ8HUB\","
               "\"controller_sn\":123,\"controller_ip\":\"192.168.1.10\",\"date\":\"2024-01-31 "
               "23:59:30\"}");

  ASSERT_GT(BuildCheckAccessRequest(kEnvelope, "010203040506", 1, out), 0u);
  EXPECT_STREQ(out,
               "{\"request_id\":1804289383,\"operation\":\"check_access\",\"controller_type\":"
               "\"TQ8HUB\",\"controller_sn\":123,\"controller_ip\":\"192.168.1.10\",\"date\":"
               "\"2024-01-31 23:59:30\",\"identifier\":\"010203040506\",\"reader_id\":\"1\"}");

  RequestEnvelope events = kEnvelope;
  events.operation = kEvents;
  char big[kEventsRequestSize];
  ASSERT_GT(BuildEventsRequest(events, "", big), 0u);
  EXPECT_STREQ(big,
               "{\"request_id\":1804289383,\"operation\":\"events\",\"controller_type\":\"TQ8HUB\","
               "\"controller_sn\":123,\"controller_ip\":\"192.168.1.10\",\"date\":\"2024-01-31 "
               "23:59:30\", \"events\": []}");
}

TEST(RequestsTest, AnExtensionRecordGivesItsCardToTheOneRecordAfterIt) {
  const Bytes records{
      0x55, 0x01, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,  // extension: reader 1, card
      0x04, 0x00, 0xC8, 0x01, 0x31, 0x23, 0x59, 0x30,  // event 4, 31 Jan 23:59:30
      0x02, 0x00, 0xC0, 0x12, 0x05, 0x08, 0x07, 0x06,  // event 2, no extension before it
  };
  EXPECT_EQ(Elements(records),
            "{\"event_type\":4,\"identifier\":\"0A0B0C0D0E0F\",\"date\":\"2024-01-31 23:59:30\","
            "\"reader_id\": 1},"
            "{\"event_type\":2,\"identifier\":\"000000000000\",\"date\":\"2024-12-05 08:07:06\","
            "\"reader_id\": 0}");
  EXPECT_NE(Elements(records, false).find("\"0F0E0D0C0B0A\""), std::string::npos)
      << "Dallas readers show the card reversed";
  // 0x56 records are ordinary events here; only extension records make no element.
  EXPECT_EQ(Elements({0x56, 0, 0, 1, 1, 0, 0, 0}),
            "{\"event_type\":86,\"identifier\":\"000000000000\",\"date\":\"2024-01-01 00:00:00\","
            "\"reader_id\": 0}");
  EXPECT_EQ(Elements({0x55, 1, 2, 3, 4, 5, 6, 7}), "") << "no element, no failure";
}

TEST(RequestsTest, ThirtyRecordsOfWidestFieldsFit) {
  Bytes records;
  for (size_t i = 0; i < kMaxBatchRecords; ++i) {
    const Bytes record = i % 2 == 0 ? Bytes{0x55, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}
                                    : Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    records.insert(records.end(), record.begin(), record.end());
  }
  const std::string all_events(kMaxBatchRecords * 8, '\xFF');
  char elements[kEventElementsSize];
  ASSERT_TRUE(BuildEventElements(Bytes(all_events.begin(), all_events.end()), 99999, true,
                                 elements));
  char request[kEventsRequestSize];
  RequestEnvelope envelope = kEnvelope;
  envelope.serial = -2147483647L - 1;
  envelope.controller_ip = "255.255.255.255";
  EXPECT_GT(BuildEventsRequest(envelope, elements, request), 0u);
  ASSERT_TRUE(BuildEventElements(records, 2024, true, elements));
}

TEST(RequestsTest, ABatchGoesOutAsFarAsThePayloadHoldsWholeRecords) {
  auto plan = [](const Bytes& payload) {
    const EventBatch batch = PlanEventBatch(payload);
    EXPECT_EQ(batch.records.size(), batch.count * 8);
    if (batch.count > 0) {
      EXPECT_EQ(batch.records.data(), payload.data() + 1);
    }
    return batch.count;
  };
  Bytes payload{3};
  for (int i = 0; i < 3; ++i) payload.insert(payload.end(), {4, 0, 0xC8, 1, 2, 3, 4, 5});
  EXPECT_EQ(plan(payload), 3u);
  payload[0] = 31;
  EXPECT_EQ(plan(payload), 3u) << "the count byte claims more than arrived";
  payload[0] = 2;
  EXPECT_EQ(plan(payload), 2u) << "records beyond the count are not sent";
  payload.resize(20);
  payload[0] = 3;
  EXPECT_EQ(plan(payload), 2u) << "a cut record is not sent";
}

TEST(RequestsTest, ATrailingExtensionRecordWaitsForItsEvent) {
  Bytes payload{2};
  payload.insert(payload.end(), {4, 0, 0xC8, 1, 2, 3, 4, 5});
  payload.insert(payload.end(), {0x55, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(PlanEventBatch(payload).count, 1u) << "it comes again, with its event";
  const Bytes alone{1, 0x55, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(PlanEventBatch(alone).count, 1u) << "alone it goes out, so nothing stays stuck";
}

}  // namespace
