// The message batch of one exchange: the JSON envelope, the messages an
// exchange carries (power_on, check_access, events, read_cards, ping) and
// the card read-out in chunks of at most 16 slots.
//
//   {"type":"TQ8HUB","sn":42,"messages":[{...},{...}]}
//
// Every append is whole or not at all and always leaves room for the
// closing "]}", so the batch that goes out is JSON whatever was queued.
#pragma once

#include <cstddef>

#include "cloudd/state.h"

// The envelope head, written when the batch is started or reset.
void BatchReset(MessageBatch& batch, long serial);

// Appends the formatted text when it fits (keeping room for the closing
// "]}"); false, with the batch unchanged, when it does not.
bool BatchAppend(MessageBatch& batch, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// ',' when the batch ends in '}': the separator before a message, an answer
// or an event object.
void BatchSeparate(MessageBatch& batch);

// Appends a whole message with its separator (the ',' rule above), both or
// neither; false when they do not fit.
bool BatchAppendMessage(MessageBatch& batch, const char* text);

// Closes the batch with "]}" (after dropping a ',' left at its end by a
// message that did not fit); returns the body to send.
const char* BatchClose(MessageBatch& batch);

// A message id: the platform's pseudo-random generator, never seeded, so the
// ids repeat after every start.
int NextMessageId();

// Appends this exchange's messages (called once per exchange, before the
// batch is closed).
void BuildMessages(CloudState& state);

// One chunk of the card read-out: at most 16 slots from the read position.
void AppendReadOutChunk(CloudState& state);

// The success answer to a server operation.
void QueueSuccessAnswer(CloudState& state, int id);

// Batch use at which no ping (or read-out chunk) is added any more.
inline constexpr size_t kBatchFullMark = 800;
