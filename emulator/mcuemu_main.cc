// mcuemu: serves an emulated MCU below a root directory for the system's
// programs, and takes commands on a control socket.
//
//   mcuemu --root DIR [--layout | --layout-only] [--control PATH]
//          [--device dev/i2c-0|dev/i2c/0] [--serial N] [--model N] [--flags N]
//          [--fw MAJ.MIN] [--clock 'YYYY-MM-DD HH:MM:SS'] [--frozen]
//
// Once serving it prints "mcuemu ready I2C_SOCKET CONTROL_SOCKET"; it stops
// on SIGTERM, SIGINT or the control command "quit", removing both sockets.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emulator/clock.h"
#include "emulator/control.h"
#include "emulator/control_socket.h"
#include "emulator/layout.h"
#include "emulator/mcu_emulator.h"

namespace {

constexpr char kUsage[] =
    "usage: mcuemu --root DIR [--layout | --layout-only] [--control PATH]\n"
    "              [--device dev/i2c-0|dev/i2c/0] [--serial N] [--model N] [--flags N]\n"
    "              [--fw MAJ.MIN] [--clock 'YYYY-MM-DD HH:MM:SS'] [--frozen]\n";

struct Options {
  std::string root;
  std::string control;
  std::string device = "dev/i2c-0";
  bool layout = false;
  bool layout_only = false;
  bool set_serial = false, set_model = false, set_flags = false, set_fw = false;
  unsigned long serial = 0, model = 0, flags = 0, fw_major = 0, fw_minor = 0;
  bool set_clock = false;
  std::time_t clock = 0;
  bool frozen = false;
};

// Decimal or 0x hex, at most `max`.
bool ParseNumber(const char* text, unsigned long max, unsigned long& value) {
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(digits, &end, hex ? 16 : 10);
  return errno == 0 && *end == '\0' && value <= max;
}

bool ParseVersion(const char* text, unsigned long& major, unsigned long& minor) {
  const char* dot = std::strchr(text, '.');
  if (dot == nullptr) return false;
  const std::string high(text, dot);
  return ParseNumber(high.c_str(), 255, major) && ParseNumber(dot + 1, 255, minor);
}

bool Fail(const char* what, const char* value) {
  std::fprintf(stderr, "mcuemu: bad %s '%s'\n%s", what, value, kUsage);
  return false;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    const char* value = has_value ? argv[i + 1] : "";
    if (arg == "--layout") {
      o.layout = true;
      continue;
    }
    if (arg == "--layout-only") {
      o.layout = o.layout_only = true;
      continue;
    }
    if (arg == "--frozen") {
      o.frozen = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (!has_value) {
      std::fprintf(stderr, "mcuemu: unknown option or missing value: %s\n%s", arg.c_str(), kUsage);
      return false;
    }
    ++i;
    if (arg == "--root") {
      o.root = value;
    } else if (arg == "--control") {
      o.control = value;
    } else if (arg == "--device") {
      o.device = value;
      if (o.device != "dev/i2c-0" && o.device != "dev/i2c/0") return Fail("device", value);
    } else if (arg == "--serial") {
      if (!ParseNumber(value, UINT32_MAX, o.serial)) return Fail("serial", value);
      o.set_serial = true;
    } else if (arg == "--model") {
      if (!ParseNumber(value, UINT32_MAX, o.model)) return Fail("model", value);
      o.set_model = true;
    } else if (arg == "--flags") {
      if (!ParseNumber(value, 255, o.flags)) return Fail("flags", value);
      o.set_flags = true;
    } else if (arg == "--fw") {
      if (!ParseVersion(value, o.fw_major, o.fw_minor)) return Fail("firmware version", value);
      o.set_fw = true;
    } else if (arg == "--clock") {
      if (!emu::ParseLocalTime(value, o.clock)) return Fail("clock", value);
      o.set_clock = true;
    } else {
      std::fprintf(stderr, "mcuemu: unknown option %s\n%s", arg.c_str(), kUsage);
      return false;
    }
  }
  if (o.root.empty()) {
    std::fprintf(stderr, "mcuemu: --root is required\n%s", kUsage);
    return false;
  }
  return true;
}

// The programs need an absolute root; a relative one is taken from here.
std::string Absolute(const std::string& path) {
  if (path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// Options override the MCU's factory values one by one.
void Configure(const Options& o, emu::Mcu& mcu) {
  const auto id = mcu.IdentityBytes();
  auto le32 = [&id](size_t at) {
    return static_cast<uint32_t>(id[at] | id[at + 1] << 8 | id[at + 2] << 16) |
           static_cast<uint32_t>(id[at + 3]) << 24;
  };
  mcu.SetIdentity(o.set_serial ? static_cast<uint32_t>(o.serial) : le32(0),
                  o.set_model ? static_cast<uint32_t>(o.model) : le32(4));
  const auto params = mcu.CtrlParams();
  mcu.SetCtrlParams(params[0], o.set_flags ? static_cast<uint8_t>(o.flags) : params[1],
                    o.set_fw ? static_cast<uint8_t>(o.fw_major) : params[2],
                    o.set_fw ? static_cast<uint8_t>(o.fw_minor) : params[3]);
  if (o.set_clock) mcu.SetClock(o.clock);
  if (o.frozen) mcu.SetClockRunning(false);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);

  Options options;
  if (!ParseOptions(argc, argv, options)) return 2;
  options.root = Absolute(options.root);
  if (options.control.empty()) options.control = options.root + "/mcuemu.ctl";

  std::string error;
  if (options.layout && !emu::LayOutRoot(options.root, error)) {
    std::fprintf(stderr, "mcuemu: %s\n", error.c_str());
    return 1;
  }
  if (options.layout_only) return 0;

  // SIGTERM and SIGINT arrive through a descriptor; every thread started
  // from here on inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("mcuemu: signalfd");
    return 1;
  }

  emu::Emulator emulator({options.root, options.device});
  Configure(options, emulator.mcu());
  if (!emulator.Start()) {
    std::fprintf(stderr, "mcuemu: %s\n", emulator.LastError().c_str());
    return 1;
  }
  emu::Control control(emulator);
  emu::ControlServer server(options.control, control);
  if (!server.Listen(error)) {
    std::fprintf(stderr, "mcuemu: %s\n", error.c_str());
    return 1;
  }
  std::printf("mcuemu ready %s %s\n", emulator.SocketPath().c_str(), options.control.c_str());
  server.Run(signal_fd);
  emulator.Stop();
  close(signal_fd);
  return 0;
}
