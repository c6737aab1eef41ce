// The field edits of "ctlcfg -w": one word per edit, its first character
// the field and a decimal value after the separator.
//
//   R=n  reader bit (1 Wiegand, else Dallas)     L=n  lock type 0, 1 or 2
//   S=n  internal sound (1 on, else off)         F=n  fire state, at once
//   K=n  key mode, at once                       T1=n T2=n T3=n  timing triple
//
// R, L, S and T change working copies that are written at the end; F and K
// go to the MCU as they are met.  Words with another first letter are
// ignored.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "link/config_block.h"
#include "link/memory_map.h"

enum class EditField : uint8_t { kIgnored, kReader, kLock, kSound, kFire, kKeyMode, kTiming };

struct FieldEdit {
  EditField field = EditField::kIgnored;
  int timing_byte = -1;  // T1..T3: 0..2; another T word changes no byte
  int value = 0;
  bool valid = true;     // false: the value the field needs is missing
};

// Reads one word.  The value starts at the third character (the fourth for
// T1..T3): optional blanks and sign, then at least one digit; what follows
// the digits is ignored, and a value beyond the int range is held at its
// limit.
FieldEdit ParseFieldEdit(std::string_view word);

using TimingTriple = std::array<uint8_t, kTimingTripleSize>;

// The working copies of a -w run.
struct EditState {
  ConfigBlock block{};
  TimingTriple triple{};
  bool block_changed = false;
  bool triple_changed = false;
  bool key_mode_run = false;
};

// Applies an R, L, S or T edit to the working copies (F and K only mark the
// run).  Returns the line to show for a lock type choice, else null.
const char* ApplyFieldEdit(const FieldEdit& edit, EditState& state);
