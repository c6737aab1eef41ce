#include "tools/ctlcfg/field_edits.h"

#include <climits>

#include "link/platform/text_part.h"

namespace {

bool ParseValue(std::string_view text, int& value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude <= INT_MAX) magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (negative) {
    value = magnitude > -static_cast<long long>(INT_MIN) ? INT_MIN : static_cast<int>(-magnitude);
  } else {
    value = magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
  }
  return true;
}

EditField FieldOf(char letter) {
  switch (letter) {
    case 'R':
      return EditField::kReader;
    case 'L':
      return EditField::kLock;
    case 'S':
      return EditField::kSound;
    case 'F':
      return EditField::kFire;
    case 'K':
      return EditField::kKeyMode;
    case 'T':
      return EditField::kTiming;
    default:
      return EditField::kIgnored;
  }
}

}  // namespace

FieldEdit ParseFieldEdit(std::string_view word) {
  FieldEdit edit;
  if (word.empty()) return edit;
  edit.field = FieldOf(word[0]);
  size_t value_at = 2;
  if (edit.field == EditField::kIgnored) return edit;
  if (edit.field == EditField::kTiming) {
    if (word.size() < 2 || word[1] < '1' || word[1] > '3') return edit;  // marks the triple only
    edit.timing_byte = word[1] - '1';
    value_at = 3;
  }
  edit.valid = word.size() > value_at && ParseValue(TextPart(word, value_at), edit.value);
  return edit;
}

const char* ApplyFieldEdit(const FieldEdit& edit, EditState& state) {
  switch (edit.field) {
    case EditField::kReader:
      SetReaderWiegand(state.block, edit.value == 1);
      state.block_changed = true;
      return nullptr;
    case EditField::kLock:
      state.block_changed = true;
      return SelectLockType(state.block, edit.value);
    case EditField::kSound:
      SetInternalSound(state.block, edit.value == 1);
      state.block_changed = true;
      return nullptr;
    case EditField::kTiming:
      if (edit.timing_byte >= 0) state.triple[edit.timing_byte] = static_cast<uint8_t>(edit.value);
      state.triple_changed = true;
      return nullptr;
    case EditField::kKeyMode:
      state.key_mode_run = true;
      return nullptr;
    case EditField::kFire:
    case EditField::kIgnored:
      return nullptr;
  }
  return nullptr;
}
