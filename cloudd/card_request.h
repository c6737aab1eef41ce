// A card's way through the daemon in online state, in three steps: the wait
// phase finds it presented at a reader (GetExternal), the batch builder asks
// the server about it ("check_access"), the reply handler hands the MCU the
// server's decision (SetExternal).
//
// Two cards may be on the way at once: one presented and not yet asked
// about, and the one asked about last, still awaiting its decision.  They
// are kept apart, so a decision that comes in a later reply goes to the card
// it was asked for, not to one presented meanwhile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/commands.h"

enum class CardStep : uint8_t {
  kNone,       // no card
  kPresented,  // presented at a reader, not yet asked about
  kAsked,      // asked about in a batch, awaiting the server's decision
  kDecided,    // the server's decision went to the MCU
};

// One card as GetExternal reported it: byte 0 the kind (bit 0 the reader),
// then the card bytes.
struct CardRequest {
  std::array<uint8_t, kExternalBufferSize> reply{};
  size_t length = 0;  // at least 1 for any step but kNone
  CardStep step = CardStep::kNone;

  uint8_t reader() const { return reply[0] & 1; }
  // The card bytes, reply bytes 1 to length-1.
  std::span<const uint8_t> card() const {
    return std::span<const uint8_t>(reply).subspan(1, length > 0 ? length - 1 : 0);
  }
};

struct CardRequests {
  CardRequest at_reader;  // kNone or kPresented
  CardRequest asked;      // kNone, kAsked or kDecided
};

// The wait phase's step: a GetExternal reply.  A reply of kind 0x20 or more
// is a card presented at a reader; it waits to be asked about and true is
// returned.  Any other reply changes nothing.
bool CardPresented(CardRequests& cards, std::span<const uint8_t> reply);

// Whether a presented card waits to be asked about.  The wait phase does not
// poll for cards meanwhile (the MCU holds the next one), and the batch
// builder puts it ahead of everything else.
bool CardWaitsForAsking(const CardRequests& cards);

// The batch builder's step: the presented card went into a "check_access"
// message.  It becomes the card awaiting a decision, in place of one asked
// about earlier.  A card that did not fit the batch is not asked and stays
// presented.
void CardAsked(CardRequests& cards);

// The reply handler's step: a "check_access" decision.  Returns the card it
// goes to, now decided, or nullptr when no card awaits a decision (none was
// asked about, or its decision came already).
const CardRequest* CardDecided(CardRequests& cards);
