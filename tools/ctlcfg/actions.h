// The four actions of ctlcfg.  Each says whether its work was done; the
// tool's exit status is made from that in its main unit.
#pragma once

#include <cstdint>
#include <span>

enum class CtlcfgOutcome : uint8_t {
  kCompleted,  // the run went to its end (including a refused argument)
  kNotDone,    // the MCU's block or timing triple could not be read, or a write failed
};

// -r: the block, its flags, the timing triples, fire state and key mode.
CtlcfgOutcome PrintConfiguration();

// -w ARG...: field edits; `words` are the arguments after "-w".
CtlcfgOutcome EditFields(std::span<char* const> words);

// -W TEXT: a whole block in the compressed hexadecimal text form; null when
// the text is missing.
CtlcfgOutcome WriteConfigText(const char* text);

// -o: opens the door in direction 0.
CtlcfgOutcome OpenDoorOnce();
