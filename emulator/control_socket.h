// mcuemu's control socket: a Unix stream socket that takes any number of
// clients, each sending command lines and reading the replies.
#pragma once

#include <memory>
#include <string>

#include "emulator/control.h"

namespace emu {

class ControlServer {
 public:
  ControlServer(std::string path, Control& control);
  ~ControlServer();

  bool Listen(std::string& error);
  // Serves clients until `stop_fd` becomes readable or a client sends
  // "quit"; then closes every client and removes the socket.
  void Run(int stop_fd);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace emu
