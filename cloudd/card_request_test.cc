// A card request's steps, and two cards on the way at once.

#include "cloudd/card_request.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CardRequestTest, ADecisionGoesOnceToTheCardAskedNotToOnePresentedMeanwhile) {
  CardRequests cards;
  CardAsked(cards);
  EXPECT_EQ(CardDecided(cards), nullptr) << "nothing presented, nothing asked";
  EXPECT_FALSE(CardPresented(cards, Bytes{0x1F, 0x0A})) << "an event batch is no card";

  ASSERT_TRUE(CardPresented(cards, Bytes{0x21, 0x0A}));
  CardAsked(cards);
  ASSERT_TRUE(CardPresented(cards, Bytes{0x20, 0x0B, 0x0C}));
  const CardRequest* decided = CardDecided(cards);
  ASSERT_NE(decided, nullptr);
  EXPECT_EQ(decided->reader(), 1);
  EXPECT_EQ(Bytes(decided->card().begin(), decided->card().end()), Bytes{0x0A});
  EXPECT_EQ(CardDecided(cards), nullptr) << "a second decision finds no card";
  EXPECT_TRUE(CardWaitsForAsking(cards));

  CardAsked(cards);
  EXPECT_FALSE(CardWaitsForAsking(cards));
  decided = CardDecided(cards);
  ASSERT_NE(decided, nullptr);
  EXPECT_EQ(decided->reader(), 0);
  EXPECT_EQ(Bytes(decided->card().begin(), decided->card().end()), (Bytes{0x0B, 0x0C}));
}

TEST(CardRequestTest, AReplyLongerThanTheBufferIsCut) {
  CardRequests cards;
  ASSERT_TRUE(CardPresented(cards, Bytes(kExternalBufferSize + 10, 0x20)));
  EXPECT_EQ(cards.at_reader.card().size(), kExternalBufferSize - 1);
}

}  // namespace
