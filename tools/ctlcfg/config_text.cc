#include "tools/ctlcfg/config_text.h"

#include <array>

namespace {

constexpr unsigned char kFirstRunLetter = 'G';
constexpr int kRunBase = 0x45;  // 'G' - 0x45 = 2 digits

// '0'..'9' and 'A'..'F' give their values; other characters below 'G' give
// what the same arithmetic gives, modulo 256 once combined into a byte.
int DigitValue(unsigned char digit) { return digit < 'A' ? digit - 0x30 : digit - 0x37; }

}  // namespace

ConfigTextResult ExpandConfigText(std::string_view text, ConfigBlock& block) {
  std::array<unsigned char, kConfigTextDigits> digits{};
  size_t count = 0;
  for (const char c : text) {
    const auto code = static_cast<unsigned char>(c);
    const size_t run = code < kFirstRunLetter ? 1 : static_cast<size_t>(code - kRunBase);
    if (run > digits.size() - count) return ConfigTextResult::kTooLong;
    for (size_t i = 0; i < run; ++i) digits[count++] = code < kFirstRunLetter ? code : '0';
  }
  if (count % 2 != 0) return ConfigTextResult::kOddLength;
  block.fill(0);
  for (size_t i = 0; i < count / 2; ++i) {
    block[i] = static_cast<uint8_t>(16 * DigitValue(digits[2 * i]) + DigitValue(digits[2 * i + 1]));
  }
  return ConfigTextResult::kOk;
}
