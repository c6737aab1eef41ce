// A card request's steps: presented, asked, decided, and two cards on the way
// at once.

#include "cloudd/card_request.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Bytes(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

TEST(CardRequestTest, ACardGoesFromPresentedToAskedToDecidedOnce) {
  CardRequests cards;
  EXPECT_EQ(CardDecided(cards), nullptr) << "no card was asked about";
  CardAsked(cards);
  EXPECT_EQ(cards.asked.step, CardStep::kNone) << "nothing presented, nothing asked";

  // Kind bytes below 0x20 are event batches, and an empty reply is none.
  EXPECT_FALSE(CardPresented(cards, std::vector<uint8_t>{0x1F, 0x0A}));
  EXPECT_FALSE(CardPresented(cards, std::vector<uint8_t>{}));
  EXPECT_FALSE(CardWaitsForAsking(cards));

  ASSERT_TRUE(CardPresented(cards, std::vector<uint8_t>{0x21, 0x0A, 0x0B, 0x0C}));
  EXPECT_TRUE(CardWaitsForAsking(cards));
  EXPECT_EQ(cards.at_reader.reader(), 1);
  EXPECT_EQ(Bytes(cards.at_reader.card()), (std::vector<uint8_t>{0x0A, 0x0B, 0x0C}));

  CardAsked(cards);
  EXPECT_FALSE(CardWaitsForAsking(cards));
  EXPECT_EQ(cards.asked.step, CardStep::kAsked);

  const CardRequest* decided = CardDecided(cards);
  ASSERT_NE(decided, nullptr);
  EXPECT_EQ(decided->step, CardStep::kDecided);
  EXPECT_EQ(decided->reader(), 1);
  EXPECT_EQ(Bytes(decided->card()), (std::vector<uint8_t>{0x0A, 0x0B, 0x0C}));
  EXPECT_EQ(CardDecided(cards), nullptr) << "a second decision finds no card";
}

TEST(CardRequestTest, ACardPresentedMeanwhileLeavesTheDecisionToTheCardAsked) {
  CardRequests cards;
  ASSERT_TRUE(CardPresented(cards, std::vector<uint8_t>{0x21, 0x0A}));
  CardAsked(cards);
  ASSERT_TRUE(CardPresented(cards, std::vector<uint8_t>{0x20, 0x0B, 0x0C}));

  const CardRequest* decided = CardDecided(cards);
  ASSERT_NE(decided, nullptr);
  EXPECT_EQ(Bytes(decided->card()), (std::vector<uint8_t>{0x0A}));
  EXPECT_TRUE(CardWaitsForAsking(cards)) << "the new card still waits to be asked about";

  CardAsked(cards);
  decided = CardDecided(cards);
  ASSERT_NE(decided, nullptr);
  EXPECT_EQ(decided->reader(), 0);
  EXPECT_EQ(Bytes(decided->card()), (std::vector<uint8_t>{0x0B, 0x0C}));
}

TEST(CardRequestTest, AKindByteAloneIsACardWithoutBytesAndALongReplyIsCut) {
  CardRequests cards;
  ASSERT_TRUE(CardPresented(cards, std::vector<uint8_t>{0x21}));
  EXPECT_TRUE(cards.at_reader.card().empty());
  ASSERT_TRUE(CardPresented(cards, std::vector<uint8_t>(kExternalBufferSize + 10, 0x20)));
  EXPECT_EQ(cards.at_reader.length, kExternalBufferSize);
  EXPECT_EQ(cards.at_reader.card().size(), kExternalBufferSize - 1);
}

}  // namespace
