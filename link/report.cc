#include "link/report.h"

bool ReportStepFailure(const TransactionMessages& messages, const LinkReply& reply,
                       const MemoryTarget* target) {
  switch (reply.failed) {
    case LinkStep::kDone:
      return false;
    case LinkStep::kWrite:
      LinkReportText(messages.write_failed);
      return true;
    case LinkStep::kWait:
      LinkReportText(messages.timed_out_prefix);
      LinkReportText(messages.timed_out);
      if (target != nullptr && messages.timed_out_detail != nullptr) {
        LinkReport(messages.timed_out_detail, target->bus, target->type, target->address,
                   target->size);
      }
      return true;
    case LinkStep::kHead:
      LinkReportText(messages.head_read_failed);
      return true;
    case LinkStep::kData:
      LinkReportText(messages.data_read_failed);
      return true;
  }
  return true;
}

void ReportRejected(const TransactionMessages& messages, const LinkReply& reply) {
  if (messages.rejected == nullptr) return;
  LinkReport(messages.rejected, reply.status);
  if (!messages.rejected_head_dump) return;
  for (uint8_t byte : reply.head) LinkReport("%02X ", byte);
  LinkReport("\n");
}

void ReportVerifyFailed(const TransactionMessages& messages, const LinkReply& reply) {
  LinkReport(messages.verify_failed, reply.sent_sequence, reply.echoed_sequence);
}

void ReportRefused(const TransactionMessages& messages) { LinkReportText(messages.refused); }
