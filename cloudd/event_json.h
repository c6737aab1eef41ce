// The event objects of an "events" message, one per ordinary event record:
//
//   {"flag": 0,"event": 4,"time": "2026-03-05 12:34:56","card": "1A2B3C4D5E6F"}
//
// The year is the system clock's (records keep none); the card is the
// pending extension code, else the key the record names, else twelve zeros.
#pragma once

#include <span>

#include "cloudd/state.h"
#include "link/records.h"

// Appends one event object for an ordinary record (with the ',' rule), the
// year given.  Resolves the card: the pending extension code (which it
// takes), else the key record named by the event.  False when the object
// did not fit.
bool AppendEventObject(CloudState& state, std::span<const uint8_t, kEventRecordSize> record,
                       int year);
