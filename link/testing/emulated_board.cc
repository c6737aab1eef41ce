#include "link/testing/emulated_board.h"

#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "link/platform/platform.h"
#include "link/transaction.h"
#include "testing/files.h"

EmulatedBoard& EmulatedBoard::Get() {
  static EmulatedBoard board;
  return board;
}

EmulatedBoard::EmulatedBoard() : root_(MakeTempDir()) {
  for (const char* dir : {"/dev", "/etc", "/etc/config", "/etc/config/tq8hub", "/var", "/var/run",
                          "/var/log", "/proc", "/proc/net"}) {
    ::mkdir((root_ + dir).c_str(), 0755);
  }
  WriteFile("dev/kmsg", "");
  ::setenv("TQ8_ROOT", root_.c_str(), 1);
  lock_name_ = "/tq8-test-" + std::to_string(::getpid());
  ::setenv("TQ8_BUSLOCK", lock_name_.c_str(), 1);
  ::shm_unlink(lock_name_.c_str());

  emulator_ = new emu::Emulator({.root = root_});
  if (!emulator_->Start()) {
    std::fprintf(stderr, "emulator did not start in %s\n", root_.c_str());
    std::abort();
  }
  if (!BusLockOpen()) std::abort();
  SetupReadyLine();
  if (OpenLink() != LinkOpen::kReady) std::abort();
}

EmulatedBoard::~EmulatedBoard() {
  I2cDeviceClose();
  delete emulator_;
  ::shm_unlink(lock_name_.c_str());
  RemoveTree(root_);
}

emu::Mcu& EmulatedBoard::mcu() { return emulator_->mcu(); }

std::vector<std::string> EmulatedBoard::KernelLog() const { return ReadKernelLog(root_); }

void EmulatedBoard::ClearKernelLog() { ::truncate((root_ + "/dev/kmsg").c_str(), 0); }

void EmulatedBoard::ReopenLink() {
  I2cDeviceClose();
  if (OpenLink() != LinkOpen::kReady) std::abort();
}

void EmulatedBoard::WriteFile(const std::string& relative, const std::string& content) const {
  std::ofstream(root_ + "/" + relative, std::ios::binary) << content;
}

std::string EmulatedBoard::ReadFile(const std::string& relative) const {
  std::ifstream in(root_ + "/" + relative, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}
