// The text commands of mcuemu's control socket.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "emulator/mcu_emulator.h"

namespace emu {

class Control {
 public:
  explicit Control(Emulator& emulator) : emulator_(emulator) {}

  // Carries out one command line.  The reply is zero or more data lines,
  // then "OK" or "ERR <reason>", every line ending in "\n".  A bad command
  // changes nothing.
  std::string Execute(std::string_view line);

  // Set once a client sent "quit".
  bool quit_requested() const { return quit_.load(); }

 private:
  Emulator& emulator_;
  std::atomic<bool> quit_{false};
};

}  // namespace emu
