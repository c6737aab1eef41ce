// Reporting a transaction's failure with the messages of the active
// variant.  Called after the transaction has released the lock.
#pragma once

#include <cstdint>

#include "link/transaction.h"
#include "link/variant.h"

// The memory a transaction addressed, for messages that name it.
struct MemoryTarget {
  uint8_t bus;
  uint8_t type;
  uint16_t address;
  int size;
};

// Reports a step that failed (write, ready wait, head or data read).
// Returns false when the transaction completed and nothing was reported.
bool ReportStepFailure(const TransactionMessages& messages, const LinkReply& reply,
                       const MemoryTarget* target = nullptr);
void ReportRejected(const TransactionMessages& messages, const LinkReply& reply);
void ReportVerifyFailed(const TransactionMessages& messages, const LinkReply& reply);
void ReportRefused(const TransactionMessages& messages);
