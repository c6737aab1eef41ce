// The active program's variant: installed once at start, read by every
// transaction.

#include "link/variant.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

const LinkVariant* g_active = nullptr;

}  // namespace

void LinkStart(const LinkVariant& variant) {
  g_active = &variant;
  PlatformStart(variant.platform);
}

const LinkVariant& ActiveLinkVariant() {
  if (g_active == nullptr) {
    // A program that never chose its variant would report with another
    // program's texts and lock; better to stop at once and say why.
    std::fputs("link: no link variant installed (LinkStart was not called)\n", stderr);
    assert(g_active != nullptr);
    // The process ends here, in the library: without a table no transaction
    // has texts, a sink or a lock, so no caller could go on or report it.
    std::exit(70);
  }
  return *g_active;
}

void LinkReport(const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  EmitMessageV(ActiveLinkVariant().sink, format, args);
  va_end(args);
}

void LinkReportText(const char* text) {
  if (text == nullptr) return;
  LinkReport("%s", text);
}
