// Hexadecimal digits: their values, and the digits of values.  Card texts,
// key codes, escapes and configuration numbers are all read and written
// with these.
#pragma once

// 0 to 15 for a hexadecimal digit of either case, -1 for any other
// character.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

constexpr bool IsHexDigit(char c) { return HexDigitValue(c) >= 0; }

// The digit of the low four bits of `value`: upper case ("0123456789ABCDEF"),
// or lower case where a format asks for it (JSON's \u escapes as written here).
constexpr char HexDigit(unsigned value) { return "0123456789ABCDEF"[value & 0x0F]; }
constexpr char LowerHexDigit(unsigned value) { return "0123456789abcdef"[value & 0x0F]; }

