#include "tools/ctlcfg/actions.h"

#include <cstdio>

#include "link/commands.h"
#include "link/config_block.h"
#include "link/memory_map.h"
#include "tools/ctlcfg/config_text.h"
#include "tools/ctlcfg/field_edits.h"

namespace {

constexpr CtlcfgOutcome kCompleted = CtlcfgOutcome::kCompleted;
constexpr CtlcfgOutcome kNotDone = CtlcfgOutcome::kNotDone;

constexpr const char* kDoorFlagLines[] = {
    "pConfig->activator=%d\n",    "pConfig->trigmode=%d\n",    "pConfig->duallock=%d\n",
    "pConfig->no_wait_door=%d\n", "pConfig->unblock_door=%d\n", "pConfig->nightlock =%d\n",
    "pConfig->nightconf=%d\n",    "pConfig->no_long_pwr =%d\n",
};

void PrintTriple(const char* label, uint8_t bus) {
  TimingTriple triple{};
  if (Done(ReadTimingTriple(bus, triple))) {
    std::printf("%s:%d,%d,%d ", label, triple[0], triple[1], triple[2]);
  }
}

// Every word is checked before anything reaches the MCU, so that a bad word
// late on the line does not leave the earlier edits half done.
bool WordsValid(std::span<char* const> words) {
  for (const char* word : words) {
    if (!ParseFieldEdit(word).valid) {
      std::printf("BAD ARGUMENT: %s\n", word);
      return false;
    }
  }
  return true;
}

}  // namespace

CtlcfgOutcome PrintConfiguration() {
  ConfigBlock block{};
  size_t size = 0;
  if (!Done(ReadCfg(block, size)) || size != kConfigBlockSize) {
    std::printf("WRONG SIZE %d\n", static_cast<int>(size));
    return kCompleted;
  }
  for (const uint8_t byte : block) std::printf("%02X ", byte);
  std::printf("\n");
  std::printf("pConfig->Lock_flg=%08X\n\n", static_cast<unsigned>(LockFlags(block)));
  for (int bit = 0; bit < 8; ++bit) {
    std::printf(kDoorFlagLines[bit], DoorFlagSet(block, static_cast<DoorFlag>(bit)) ? 1 : 0);
  }
  std::printf("=================================================\n");

  std::printf(ReaderIsWiegand(block) ? "WIEGAND " : "DALLAS ");
  if (InternalSound(block)) std::printf("INT_SOUND ");
  if (const char* lock = LockTypeLabel(DecodeLockType(block))) std::printf("%s ", lock);
  std::printf("CONFIG_VER:%d ", ConfigVersion(block));
  PrintTriple("T1", kKeyBus);
  PrintTriple("T2", kKeyCopyBus);
  bool fire = false;
  if (Done(GetFire(fire)) && fire) std::printf("FIRE ");
  // A key mode that could not be read shows as mode 0.
  uint8_t key_mode = 0;
  GetKeyMode(key_mode);
  if (const char* mode = KeyModeLabel(key_mode)) std::printf("%s ", mode);
  std::printf("\n");
  return kCompleted;
}

CtlcfgOutcome EditFields(std::span<char* const> words) {
  if (!WordsValid(words)) return kCompleted;
  EditState state;
  size_t size = 0;
  if (!Done(ReadCfg(state.block, size)) || size != kConfigBlockSize) return kNotDone;
  if (!Done(ReadTimingTriple(kKeyBus, state.triple))) return kNotDone;

  for (const char* word : words) {
    const FieldEdit edit = ParseFieldEdit(word);
    if (edit.field == EditField::kFire) {
      std::printf("Set Fire=%d\n", edit.value);
      SetFire(static_cast<uint8_t>(edit.value));
    } else if (edit.field == EditField::kKeyMode) {
      std::printf("Set KeyMode=%d\n", edit.value);
      SetKeyMode(static_cast<uint8_t>(edit.value));
    }
    if (const char* line = ApplyFieldEdit(edit, state)) std::printf("%s\n", line);
  }
  // A key-mode run writes neither the triple nor the block.
  if (state.key_mode_run) return kCompleted;

  bool written = true;
  if (state.triple_changed) {
    std::printf("Set T=%d,%d,%d\n", state.triple[0], state.triple[1], state.triple[2]);
    // Both copies always get the same values, whatever the first write did.
    written = Done(WriteTimingTriple(kKeyBus, state.triple));
    written = Done(WriteTimingTriple(kKeyCopyBus, state.triple)) && written;
  }
  if (state.block_changed) {
    std::printf("Set Reader=%d\n", ReaderIsWiegand(state.block) ? 1 : 0);
    std::printf("Set IntSound [%04X]\n", SoundFlags(state.block));
    SealConfigBlock(state.block);
    size_t answered = 0;
    written = Done(WriteCfg(state.block, answered)) && written;
  }
  return written ? kCompleted : kNotDone;
}

CtlcfgOutcome WriteConfigText(const char* text) {
  if (text == nullptr) {
    std::printf("ERROR: no configuration text\n");
    return kCompleted;
  }
  std::printf("WRITE CONFIG: %s\n", text);
  ConfigBlock block{};
  switch (ExpandConfigText(text, block)) {
    case ConfigTextResult::kTooLong:
      std::printf("ERROR: configuration text longer than %zu digits\n", kConfigTextDigits);
      return kCompleted;
    case ConfigTextResult::kOddLength:
      std::printf("ERROR: configuration text of odd length\n");
      return kCompleted;
    case ConfigTextResult::kOk:
      break;
  }
  if (!ConfigBlockAcceptable(block)) {
    std::printf("ERROR CRC\n");
    return kCompleted;
  }
  // "OK" only for a block the MCU took: its own lines already tell why not.
  size_t answered = 0;
  if (!Done(WriteCfg(block, answered))) return kNotDone;
  std::printf("OK\n");
  return kCompleted;
}

CtlcfgOutcome OpenDoorOnce() {
  OpenDoor(0);
  return kCompleted;
}
