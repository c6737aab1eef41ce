// The four actions of ctlcfg.  Each returns the tool's exit status.
#pragma once

#include <span>

// -r: the block, its flags, the timing triples, fire state and key mode.
int PrintConfiguration();

// -w ARG...: field edits; `words` are the arguments after "-w".
int EditFields(std::span<char* const> words);

// -W TEXT: a whole block in the compressed hexadecimal text form; null when
// the text is missing.
int WriteConfigText(const char* text);

// -o: opens the door in direction 0.
int OpenDoorOnce();
