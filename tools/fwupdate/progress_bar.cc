#include "tools/fwupdate/progress_bar.h"

#include <cstdio>

namespace {

constexpr int kBarWidth = 20;

}  // namespace

size_t ProgressBarText(uint64_t done, uint64_t total, ProgressText& out) {
  double ratio = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  if (ratio > 1.0) ratio = 1.0;
  const int filled = static_cast<int>(kBarWidth * ratio);
  const int percent = static_cast<int>(ratio * 100);
  int n = std::snprintf(out.data(), out.size(), "%3d%% [", percent);
  size_t length = static_cast<size_t>(n);
  // Room is guaranteed: 6 + 21 + 2 characters and the terminator.
  for (int i = 0; i <= filled; ++i) out[length++] = '=';
  for (int i = filled; i < kBarWidth; ++i) out[length++] = ' ';
  out[length++] = ']';
  out[length++] = '\r';
  out[length] = '\0';
  return length;
}

void DrawProgressBar(uint64_t done, uint64_t total) {
  ProgressText text;
  const size_t length = ProgressBarText(done, total, text);
  std::fwrite(text.data(), 1, length, stdout);
  std::fflush(stdout);
}
