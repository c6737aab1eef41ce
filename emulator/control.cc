// Control commands, one per line; each reply ends with "OK" or
// "ERR <reason>", data lines before it.  Numbers are decimal or 0x hex; HEX
// is an even number of hex digits without separators.
//
//   help                                 list the commands
//   identity                             -> the 15 identity bytes (HEX)
//   identity SERIAL MODEL                set serial number and model
//   identity raw HEX30                   set all 15 bytes (byte 8 bit 7 follows boot mode)
//   params                               -> BYTE9 FLAGS MAJ.MIN
//   params BYTE9 FLAGS MAJ.MIN           set the GetCtrlParams reply
//   peek BUS TYPE ADDR SIZE              -> HEX of memory
//   poke BUS TYPE ADDR HEX               write memory (no bus faults apply)
//   fill keys BYTE                       fill both key memories
//   clock get                            -> YYYY-MM-DD HH:MM:SS running|frozen
//   clock set YYYY-MM-DD HH:MM:SS        set the clock (quotes allowed)
//   clock run | clock freeze             let the clock run with real time / stop it
//   mode [N]                             -> / set the door mode (0-3)
//   card READER HEX                      present a card for GetExternal
//   extevents [HEX...]                   queue external event records (16 digits each);
//                                        without records -> the number still queued
//   event HEX...                         append event records (16 digits each) to the ring
//   ring                                 -> HEAD TAIL
//   config [HEX160]                      -> / set the configuration block
//   fire [0|1]                           -> / set the fire state
//   keymode [N]                          -> / set the key mode
//   requests                             -> one HEX line per framed request
//   transfers                            -> OP REG COUNT STATUS HEX|- per transfer
//   doors | modes | acks                 -> one number per OpenDoor / SetMode / GetExternal
//   answers                              -> CODE READER HEX per SetExternal
//   service                              -> one text per ServiceCommand (\xNN escapes)
//   boot                                 -> mode, entries, header, record and done lines
//   bootloader on|off                    enter / leave the boot loader
//   clearlogs                            forget requests, transfers and the other logs
//   fault KIND [count=N] [skip=N] [cmd=N|any|boot] [value=N]   arm a fault
//   rawreply [HEX]                       the reply frame to raw "L" lines (none: no reply)
//   fault clear                          disarm every fault
//   ready                                -> 0|1, the ready line
//   drop                                 close every I2C connection
//   quit                                 stop mcuemu
//
// Fault kinds: noready slowready rejected statusaa refused nodata badchecksum
// wrongecho shortlength extradata unstable writeerror readerror
// dropconnection nobootloader.
#include "emulator/control.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "emulator/clock.h"
#include "emulator/external_mailbox.h"

namespace emu {
namespace {

using Args = std::vector<std::string>;

struct Reply {
  std::string data;   // data lines
  std::string error;  // empty: OK

  void Line(const std::string& text) { data += text + "\n"; }
  bool Fail(std::string reason) {
    error = std::move(reason);
    return false;
  }
};

// Splits at blanks; '...' and "..." keep blanks inside one word.
bool Tokenize(std::string_view line, Args& words) {
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
      ++i;
      continue;
    }
    std::string word;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
      if (line[i] == '\'' || line[i] == '"') {
        const size_t close = line.find(line[i], i + 1);
        if (close == std::string_view::npos) return false;
        word.append(line.substr(i + 1, close - i - 1));
        i = close + 1;
      } else {
        word.push_back(line[i++]);
      }
    }
    words.push_back(std::move(word));
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  const size_t start = hex ? 2 : 0;
  if (text.size() == start) return false;
  value = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
    if (static_cast<uint64_t>(digit) > max || value > (max - static_cast<uint64_t>(digit)) / base) {
      return false;
    }
    value = value * base + static_cast<uint64_t>(digit);
  }
  return true;
}

template <typename T>
bool Number(const std::string& text, uint64_t max, T& out, Reply& reply, const char* what) {
  uint64_t value;
  if (!ParseNumber(text, max, value)) {
    return reply.Fail(std::string("bad ") + what + " '" + text + "' (0.." + std::to_string(max) +
                      ")");
  }
  out = static_cast<T>(value);
  return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

bool Hex(const std::string& text, std::vector<uint8_t>& bytes, Reply& reply) {
  if (!ParseHex(text, bytes)) return reply.Fail("bad hex '" + text + "'");
  return true;
}

template <typename Bytes>
std::string ToHex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

std::string Format(const char* format, auto... values) {
  char text[128];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

// Text from the bus as one safe reply line: bytes outside printable ASCII
// and backslashes as \xNN, and a first character escaped where the line
// would otherwise read as the end of the reply.
std::string EscapeLine(const std::string& text) {
  std::string line;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      line.push_back(static_cast<char>(c));
    } else {
      line += Format("\\x%02X", c);
    }
  }
  if (line == "OK" || line.rfind("ERR", 0) == 0) {
    line = Format("\\x%02X", static_cast<unsigned char>(line[0])) + line.substr(1);
  }
  return line;
}

// Every word after the first `skip` as 8-byte records.
bool Records(const Args& args, size_t skip, std::vector<std::array<uint8_t, 8>>& records,
             Reply& reply) {
  for (size_t i = skip; i < args.size(); ++i) {
    std::vector<uint8_t> bytes;
    if (!Hex(args[i], bytes, reply)) return false;
    if (bytes.size() % 8 != 0)
      return reply.Fail("records are 16 hex digits each: '" + args[i] + "'");
    for (size_t at = 0; at < bytes.size(); at += 8) {
      std::array<uint8_t, 8> record;
      std::copy_n(bytes.begin() + static_cast<long>(at), 8, record.begin());
      records.push_back(record);
    }
  }
  if (records.empty()) return reply.Fail("no records given");
  return true;
}

bool Version(const std::string& text, uint8_t& major, uint8_t& minor, Reply& reply) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return reply.Fail("bad version '" + text + "' (MAJ.MIN)");
  return Number(text.substr(0, dot), 255, major, reply, "major version") &&
         Number(text.substr(dot + 1), 255, minor, reply, "minor version");
}

struct FaultName {
  const char* name;
  FaultKind kind;
};

constexpr FaultName kFaultNames[] = {
    {"noready", FaultKind::kNoReady},           {"slowready", FaultKind::kSlowReady},
    {"rejected", FaultKind::kStatusRejected},   {"statusaa", FaultKind::kStatusAA},
    {"refused", FaultKind::kRefused},           {"nodata", FaultKind::kNoData},
    {"badchecksum", FaultKind::kBadChecksum},   {"wrongecho", FaultKind::kWrongEcho},
    {"shortlength", FaultKind::kShortLength},   {"extradata", FaultKind::kExtraData},
    {"unstable", FaultKind::kUnstableReads},    {"writeerror", FaultKind::kWriteError},
    {"readerror", FaultKind::kReadError},       {"dropconnection", FaultKind::kDropConnection},
    {"nobootloader", FaultKind::kNoBootLoader}, {"shortread", FaultKind::kShortRead},
};

class Session {
 public:
  Session(Emulator& emulator, Reply& reply)
      : emulator_(emulator), mcu_(emulator.mcu()), r_(reply) {}

  bool Help(const Args& a);
  bool Identity(const Args& a);
  bool Params(const Args& a);
  bool Peek(const Args& a);
  bool Poke(const Args& a);
  bool Fill(const Args& a);
  bool Clock(const Args& a);
  bool Mode(const Args& a);
  bool Card(const Args& a);
  bool ExtEvents(const Args& a);
  bool Event(const Args& a);
  bool Ring(const Args& a);
  bool Config(const Args& a);
  bool Fire(const Args& a);
  bool KeyMode(const Args& a);
  bool Requests(const Args& a);
  bool Transfers(const Args& a);
  bool Doors(const Args& a);
  bool Modes(const Args& a);
  bool Acks(const Args& a);
  bool Answers(const Args& a);
  bool Decisions(const Args& a);
  bool Service(const Args& a);
  bool Boot(const Args& a);
  bool BootLoaderMode(const Args& a);
  bool RawReply(const Args& a);
  bool ClearLogs(const Args& a);
  bool FaultCommand(const Args& a);
  bool Ready(const Args& a);
  bool Drop(const Args& a);

 private:
  // Checks the number of words after the command name.
  bool Arity(const Args& a, size_t min, size_t max, const char* usage) {
    if (a.size() - 1 < min || a.size() - 1 > max) return r_.Fail(std::string("usage: ") + usage);
    return true;
  }
  template <typename List>
  bool Numbers(const List& values) {
    for (const auto& v : values) r_.Line(std::to_string(v));
    return true;
  }

  Emulator& emulator_;
  Mcu& mcu_;
  Reply& r_;
};

struct CommandEntry {
  const char* name;
  bool (Session::*run)(const Args&);
};

constexpr CommandEntry kCommands[] = {
    {"help", &Session::Help},           {"identity", &Session::Identity},
    {"params", &Session::Params},       {"peek", &Session::Peek},
    {"poke", &Session::Poke},           {"fill", &Session::Fill},
    {"clock", &Session::Clock},         {"mode", &Session::Mode},
    {"card", &Session::Card},           {"extevents", &Session::ExtEvents},
    {"event", &Session::Event},         {"ring", &Session::Ring},
    {"config", &Session::Config},       {"fire", &Session::Fire},
    {"keymode", &Session::KeyMode},     {"requests", &Session::Requests},
    {"transfers", &Session::Transfers}, {"doors", &Session::Doors},
    {"modes", &Session::Modes},         {"acks", &Session::Acks},
    {"answers", &Session::Answers},     {"service", &Session::Service},
    {"boot", &Session::Boot},           {"bootloader", &Session::BootLoaderMode},
    {"clearlogs", &Session::ClearLogs}, {"fault", &Session::FaultCommand},
    {"ready", &Session::Ready},         {"drop", &Session::Drop},
    {"rawreply", &Session::RawReply},   {"decisions", &Session::Decisions},
};

bool Session::Help(const Args&) {
  std::string names;
  for (const CommandEntry& c : kCommands) names += std::string(c.name) + " ";
  r_.Line(names + "quit");
  return true;
}

bool Session::Identity(const Args& a) {
  if (a.size() == 1) {
    r_.Line(ToHex(mcu_.IdentityBytes()));
    return true;
  }
  if (a.size() == 3 && a[1] == "raw") {
    std::vector<uint8_t> bytes;
    if (!Hex(a[2], bytes, r_)) return false;
    if (bytes.size() != 15) return r_.Fail("the identity block is 15 bytes");
    std::array<uint8_t, 15> block;
    std::copy(bytes.begin(), bytes.end(), block.begin());
    mcu_.SetIdentityBytes(block);
    return true;
  }
  if (a.size() != 3) return r_.Fail("usage: identity [SERIAL MODEL | raw HEX30]");
  uint32_t serial = 0, model = 0;
  if (!Number(a[1], UINT32_MAX, serial, r_, "serial") ||
      !Number(a[2], UINT32_MAX, model, r_, "model")) {
    return false;
  }
  mcu_.SetIdentity(serial, model);
  return true;
}

bool Session::Params(const Args& a) {
  if (a.size() == 1) {
    const auto p = mcu_.CtrlParams();
    r_.Line(Format("0x%02X 0x%02X %u.%u", p[0], p[1], p[2], p[3]));
    return true;
  }
  if (a.size() != 4) return r_.Fail("usage: params [BYTE9 FLAGS MAJ.MIN]");
  uint8_t byte9 = 0, flags = 0, major = 0, minor = 0;
  if (!Number(a[1], 255, byte9, r_, "byte9") || !Number(a[2], 255, flags, r_, "flags") ||
      !Version(a[3], major, minor, r_)) {
    return false;
  }
  mcu_.SetCtrlParams(byte9, flags, major, minor);
  return true;
}

bool Session::Peek(const Args& a) {
  if (!Arity(a, 4, 4, "peek BUS TYPE ADDR SIZE")) return false;
  uint8_t bus = 0, type = 0;
  uint16_t address = 0;
  size_t size = 0;
  if (!Number(a[1], 255, bus, r_, "bus") || !Number(a[2], 255, type, r_, "type") ||
      !Number(a[3], 0xFFFF, address, r_, "address") || !Number(a[4], 0x10000, size, r_, "size")) {
    return false;
  }
  if (size == 0) return r_.Fail("size must be at least 1");
  const auto bytes = mcu_.Peek(bus, type, address, size);
  if (bytes.empty()) return r_.Fail("no such memory or range");
  r_.Line(ToHex(bytes));
  return true;
}

bool Session::Poke(const Args& a) {
  if (!Arity(a, 4, 4, "poke BUS TYPE ADDR HEX")) return false;
  uint8_t bus = 0, type = 0;
  uint16_t address = 0;
  std::vector<uint8_t> bytes;
  if (!Number(a[1], 255, bus, r_, "bus") || !Number(a[2], 255, type, r_, "type") ||
      !Number(a[3], 0xFFFF, address, r_, "address") || !Hex(a[4], bytes, r_)) {
    return false;
  }
  if (bytes.empty()) return r_.Fail("nothing to write");
  if (!mcu_.Poke(bus, type, address, bytes)) return r_.Fail("no such memory, range or value");
  return true;
}

bool Session::Fill(const Args& a) {
  if (a.size() != 3 || a[1] != "keys") return r_.Fail("usage: fill keys BYTE");
  uint8_t value = 0;
  if (!Number(a[2], 255, value, r_, "byte")) return false;
  mcu_.FillKeys(value);
  return true;
}

bool Session::Clock(const Args& a) {
  const std::string sub = a.size() > 1 ? a[1] : "";
  if (sub == "get" && a.size() == 2) {
    r_.Line(std::string(FormatLocalTime(mcu_.Clock()).data()) +
            (mcu_.ClockRunning() ? " running" : " frozen"));
    return true;
  }
  if ((sub == "run" || sub == "freeze") && a.size() == 2) {
    mcu_.SetClockRunning(sub == "run");
    return true;
  }
  if (sub == "set" && a.size() >= 3) {
    std::string text = a[2];
    for (size_t i = 3; i < a.size(); ++i) text += " " + a[i];
    std::time_t time;
    if (!ParseLocalTime(text.c_str(), time)) {
      return r_.Fail("bad time '" + text + "' (YYYY-MM-DD HH:MM:SS)");
    }
    mcu_.SetClock(time);
    return true;
  }
  return r_.Fail("usage: clock get | set 'YYYY-MM-DD HH:MM:SS' | run | freeze");
}

bool Session::Mode(const Args& a) {
  if (!Arity(a, 0, 1, "mode [0-3]")) return false;
  if (a.size() == 1) {
    r_.Line(std::to_string(mcu_.DoorMode()));
    return true;
  }
  uint8_t mode = 0;
  if (!Number(a[1], 3, mode, r_, "mode")) return false;
  mcu_.SetDoorMode(mode);
  return true;
}

bool Session::Card(const Args& a) {
  if (!Arity(a, 2, 2, "card READER HEX")) return false;
  uint8_t reader = 0;
  std::vector<uint8_t> card;
  if (!Number(a[1], 1, reader, r_, "reader") || !Hex(a[2], card, r_)) return false;
  if (card.empty() || card.size() > kMaxCardBytes) {
    return r_.Fail("a card has 1 to " + std::to_string(kMaxCardBytes) + " bytes");
  }
  mcu_.PresentCard(reader, card);
  return true;
}

bool Session::ExtEvents(const Args& a) {
  if (a.size() == 1) {
    r_.Line(std::to_string(mcu_.PendingExternalEvents()));
    return true;
  }
  std::vector<std::array<uint8_t, 8>> records;
  if (!Records(a, 1, records, r_)) return false;
  mcu_.QueueExternalEvents(records);
  return true;
}

bool Session::Event(const Args& a) {
  std::vector<std::array<uint8_t, 8>> records;
  if (!Records(a, 1, records, r_)) return false;
  for (const auto& record : records) mcu_.AppendEvent(record);
  return true;
}

bool Session::Ring(const Args& a) {
  if (!Arity(a, 0, 0, "ring")) return false;
  r_.Line(Format("0x%04X 0x%04X", mcu_.RingHead(), mcu_.RingTail()));
  return true;
}

bool Session::Config(const Args& a) {
  if (!Arity(a, 0, 1, "config [HEX160]")) return false;
  if (a.size() == 1) {
    r_.Line(ToHex(mcu_.ConfigBlock()));
    return true;
  }
  std::vector<uint8_t> bytes;
  if (!Hex(a[1], bytes, r_)) return false;
  if (bytes.size() != 80) return r_.Fail("the configuration block is 80 bytes");
  std::array<uint8_t, 80> block;
  std::copy(bytes.begin(), bytes.end(), block.begin());
  mcu_.SetConfigBlock(block);
  return true;
}

bool Session::Fire(const Args& a) {
  if (!Arity(a, 0, 1, "fire [0|1]")) return false;
  if (a.size() == 1) {
    r_.Line(mcu_.FireState() ? "1" : "0");
    return true;
  }
  uint8_t on = 0;
  if (!Number(a[1], 1, on, r_, "fire state")) return false;
  mcu_.SetFireState(on != 0);
  return true;
}

bool Session::KeyMode(const Args& a) {
  if (!Arity(a, 0, 1, "keymode [N]")) return false;
  if (a.size() == 1) {
    r_.Line(std::to_string(mcu_.KeyMode()));
    return true;
  }
  uint8_t mode = 0;
  if (!Number(a[1], 255, mode, r_, "key mode")) return false;
  mcu_.SetKeyMode(mode);
  return true;
}

bool Session::Requests(const Args& a) {
  if (!Arity(a, 0, 0, "requests")) return false;
  for (const auto& request : mcu_.Requests()) r_.Line(ToHex(request));
  return true;
}

bool Session::Transfers(const Args& a) {
  if (!Arity(a, 0, 0, "transfers")) return false;
  for (const Transfer& t : mcu_.Transfers()) {
    r_.Line(Format("%c %02X %u %d ", t.op, t.command, t.count, t.status) +
            (t.data.empty() ? "-" : ToHex(t.data)));
  }
  return true;
}

bool Session::Doors(const Args& a) {
  return Arity(a, 0, 0, "doors") && Numbers(mcu_.OpenDoorRequests());
}

bool Session::Modes(const Args& a) {
  return Arity(a, 0, 0, "modes") && Numbers(mcu_.SetModeRequests());
}

bool Session::Acks(const Args& a) { return Arity(a, 0, 0, "acks") && Numbers(mcu_.AckCounts()); }

// "CODE READER CARD" of one answer, as "answers" and "decisions" list it.
std::string AnswerText(const ExternalAnswer& answer) {
  return Format("0x%02X %u ", answer.code, answer.reader) +
         (answer.card.empty() ? "-" : ToHex(answer.card));
}

bool Session::Answers(const Args& a) {
  if (!Arity(a, 0, 0, "answers")) return false;
  for (const ExternalAnswer& answer : mcu_.ExternalAnswers()) r_.Line(AnswerText(answer));
  return true;
}

// The answers again, each with the milliseconds from its card's
// presentation ("-" when none was waiting): how long a decision took.  From
// answer FROM on (counted from 0), so that a watcher reads only new ones.
bool Session::Decisions(const Args& a) {
  if (!Arity(a, 0, 1, "decisions [FROM]")) return false;
  uint32_t from = 0;
  if (a.size() == 2 && !Number(a[1], UINT32_MAX, from, r_, "first answer")) return false;
  const std::vector<ExternalAnswer> answers = mcu_.ExternalAnswers();
  for (size_t i = from; i < answers.size(); ++i) {
    const ExternalAnswer& answer = answers[i];
    r_.Line(AnswerText(answer) + (answer.ms < 0 ? " -" : " " + std::to_string(answer.ms)));
  }
  return true;
}

bool Session::Service(const Args& a) {
  if (!Arity(a, 0, 0, "service")) return false;
  for (const std::string& text : mcu_.ServiceCommands()) r_.Line(EscapeLine(text));
  return true;
}

bool Session::Boot(const Args& a) {
  if (!Arity(a, 0, 0, "boot")) return false;
  const BootLoaderLog log = mcu_.BootLoader();
  r_.Line(mcu_.InBootLoader() ? "mode boot" : "mode normal");
  r_.Line("entries " + std::to_string(log.entry_requests));
  for (const std::string& header : log.headers) r_.Line("header " + header);
  for (const BootRecord& record : log.records) {
    r_.Line(Format("record 0x%08X ", static_cast<unsigned>(record.address)) + ToHex(record.bytes));
  }
  if (log.done) r_.Line(Format("done 0x%08X", static_cast<unsigned>(log.done_address)));
  return true;
}

bool Session::BootLoaderMode(const Args& a) {
  if (a.size() != 2 || (a[1] != "on" && a[1] != "off")) return r_.Fail("usage: bootloader on|off");
  mcu_.SetBootLoader(a[1] == "on");
  return true;
}

bool Session::RawReply(const Args& a) {
  if (!Arity(a, 0, 1, "rawreply")) return false;
  std::vector<uint8_t> reply;
  if (a.size() == 2 && !Hex(a[1], reply, r_)) return false;
  mcu_.SetRawReply(reply);
  return true;
}

bool Session::ClearLogs(const Args& a) {
  if (!Arity(a, 0, 0, "clearlogs")) return false;
  mcu_.ClearLogs();
  return true;
}

bool Session::FaultCommand(const Args& a) {
  if (a.size() == 2 && a[1] == "clear") {
    mcu_.ClearFaults();
    return true;
  }
  if (a.size() == 2 && a[1] == "list") {
    for (const FaultName& f : kFaultNames) r_.Line(f.name);
    return true;
  }
  if (a.size() < 2)
    return r_.Fail("usage: fault KIND [count=N] [skip=N] [cmd=N|any|boot] [value=N] | fault clear | fault list");
  Fault fault{};
  bool known = false;
  for (const FaultName& f : kFaultNames) {
    if (a[1] == f.name) {
      fault.kind = f.kind;
      known = true;
    }
  }
  if (!known) return r_.Fail("unknown fault '" + a[1] + "'");
  for (size_t i = 2; i < a.size(); ++i) {
    const size_t eq = a[i].find('=');
    const std::string key = a[i].substr(0, eq == std::string::npos ? a[i].size() : eq);
    const std::string value = eq == std::string::npos ? "" : a[i].substr(eq + 1);
    if (key == "count") {
      if (!Number(value, 1000000, fault.remaining, r_, "count")) return false;
      if (fault.remaining == 0) return r_.Fail("count must be at least 1");
    } else if (key == "cmd" && value == "any") {
      fault.command = kAnyCommand;
    } else if (key == "cmd" && value == "boot") {
      fault.command = kBootRecord;
    } else if (key == "cmd") {
      if (!Number(value, 255, fault.command, r_, "cmd")) return false;
    } else if (key == "value") {
      if (!Number(value, 1000000, fault.value, r_, "value")) return false;
    } else if (key == "skip") {
      if (!Number(value, 1000000, fault.skip, r_, "skip")) return false;
    } else {
      return r_.Fail("unknown fault option '" + a[i] + "'");
    }
  }
  mcu_.AddFault(fault);
  return true;
}

bool Session::Ready(const Args& a) {
  if (!Arity(a, 0, 0, "ready")) return false;
  r_.Line(mcu_.ReadyLine() ? "1" : "0");
  return true;
}

bool Session::Drop(const Args& a) {
  if (!Arity(a, 0, 0, "drop")) return false;
  emulator_.DropConnections();
  return true;
}

}  // namespace

std::string Control::Execute(std::string_view line) {
  Reply reply;
  Args words;
  if (!Tokenize(line, words)) {
    reply.Fail("unbalanced quote");
  } else if (words.empty()) {
    reply.Fail("empty command");
  } else if (words[0] == "quit" && words.size() == 1) {
    quit_ = true;
  } else {
    const CommandEntry* entry = nullptr;
    for (const CommandEntry& c : kCommands) {
      if (words[0] == c.name) entry = &c;
    }
    Session session(emulator_, reply);
    if (entry == nullptr) {
      reply.Fail("unknown command '" + words[0] + "' (try help)");
    } else if (!(session.*entry->run)(words) && reply.error.empty()) {
      reply.Fail("failed");
    }
  }
  if (!reply.error.empty()) return "ERR " + reply.error + "\n";
  return reply.data + "OK\n";
}

}  // namespace emu
