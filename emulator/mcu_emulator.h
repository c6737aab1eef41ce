// An emulated door MCU for off-target runs and tests.
//
// `Mcu` is the MCU's whole state and behaviour with no I/O of its own: the
// identity block, the 256-byte frame buffer and the reply it prepares, the
// memories (key memory on buses 0 and 1, the event ring on bus 2, the clock
// block, the occupancy block), the framed commands, the external-request
// mailbox and the boot loader.  `Emulator` serves an Mcu to the programs the
// way a board would: the I2C device node as a Unix socket below a root
// directory, and the ready line as the GPIO value file.
//
// Tests use both in-process; system tests and the demo start the `mcuemu`
// program, which wraps an Emulator and adds a text control socket.
//
// Every public member function is thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace emu {

// ---------------------------------------------------------------------------
// Fault injection.

enum class FaultKind : uint8_t {
  // Frame faults: apply to framed requests (and boot-loader records), matched
  // by `Fault::command` against frame byte 5 (kBootRecord for boot records).
  kNoReady,         // the ready line never rises for the request
  kSlowReady,       // the line rises `value` ms after the request completed
  kStatusRejected,  // reply status byte 0x02 with L = 8 (nothing else done)
  kStatusAA,        // reply status byte 0xAA, the reply otherwise normal
  kRefused,         // reply data byte 9 = 0xAA (L made at least 9, resealed)
  kNoData,          // reply without data (L = 8), the command still executed
  kBadChecksum,     // reply checksum byte wrong
  kWrongEcho,       // reply sequence echo = request's + 1
  kShortLength,     // reply L = `value` (below 8)
  kExtraData,       // reply carries `value` more data bytes than asked (resealed)
  kUnstableReads,   // every ReadMem reply differs from the one before
  // Transfer faults: apply to single I2C transfers, matched by `command`
  // against the SMBus command byte (register offset).
  kWriteError,      // 'W' fails with errno `value` (0 means EIO)
  kReadError,       // 'R' fails with errno `value` (0 means EIO)
  kShortRead,       // 'R' succeeds with `value` bytes fewer than asked (at least 1)
  kDropConnection,  // the connection is closed instead of answering
  // Boot loader: the MCU ignores the request to enter its boot loader.
  kNoBootLoader,
};

inline constexpr int kAnyCommand = -1;
inline constexpr int kBootRecord = 0x100;
inline constexpr int kRawLine = 0x101;

struct Fault {
  FaultKind kind;
  int remaining = -1;          // how many more matches it applies to; -1: until cleared
  int command = kAnyCommand;   // see FaultKind
  int value = 0;               // kind-specific, see FaultKind
  int skip = 0;                // matches to let pass before it applies
};

// ---------------------------------------------------------------------------
// What the MCU has received, for inspection.

struct Transfer {
  char op;                    // 'A', 'W' or 'R'
  uint8_t command;            // register offset ('A': the address)
  std::vector<uint8_t> data;  // 'W': bytes written; 'R': bytes returned
  uint8_t count;              // 'W'/'R': byte count asked; 'A': forced flag
  int status;                 // 0 or the errno answered
};

struct ExternalAnswer {       // a SetExternal request
  uint8_t code;
  uint8_t reader;
  std::vector<uint8_t> card;
  // Milliseconds from the card presented at that reader to this answer;
  // -1 when no presented card was waiting for one.
  int32_t ms = -1;
};

struct BootRecord {
  uint32_t address;           // address field of the header before it
  std::vector<uint8_t> bytes; // the 262 record bytes
};

struct BootLoaderLog {
  int entry_requests = 0;           // "FWUPDATE" 0xFFFFFFFF headers seen in normal mode
  std::vector<std::string> headers; // every header as "FWUPDATE xxxxxxxx" / "FWUPDONE xxxxxxxx"
  std::vector<BootRecord> records;  // complete records in arrival order
  bool done = false;                // "FWUPDONE" received
  uint32_t done_address = 0;
};

// ---------------------------------------------------------------------------
// Memory selectors as the link names them: bus and device type.
inline constexpr uint8_t kEeprom = 0xA0;
inline constexpr uint8_t kClock = 0xD0;
inline constexpr uint8_t kOccupancy = 0xD1;

class Mcu {
 public:
  Mcu();
  ~Mcu();
  Mcu(const Mcu&) = delete;
  Mcu& operator=(const Mcu&) = delete;

  // --- identity block (15 bytes at register 2) ---
  void SetIdentity(uint32_t serial, uint32_t model);
  void SetIdentityBytes(const std::array<uint8_t, 15>& bytes);  // byte 8 bit 7 follows boot mode
  std::array<uint8_t, 15> IdentityBytes() const;

  // --- controller parameters (GetCtrlParams reply data 9..12) ---
  // flags: bits 0-1 memory size code, bit 2 six-byte keys, bit 3 Wiegand.
  void SetCtrlParams(uint8_t byte9, uint8_t flags, uint8_t fw_major, uint8_t fw_minor);
  uint8_t Flags() const;
  std::array<uint8_t, 4> CtrlParams() const;  // byte9, flags, fw major, fw minor

  // --- memories ---
  // bus 0/1 type 0xA0: 64 KiB key memory; bus 2 type 0xA0: event ring;
  // bus 0 type 0xD0: 12-byte clock block; bus 0 type 0xD1: 33-byte occupancy
  // block.  Peek/Poke bypass the link and its faults.  Out-of-range: empty / false.
  std::vector<uint8_t> Peek(uint8_t bus, uint8_t type, uint16_t address, size_t size) const;
  bool Poke(uint8_t bus, uint8_t type, uint16_t address, const std::vector<uint8_t>& bytes);
  void FillKeys(uint8_t value);  // both key memories, whole 64 KiB

  // --- clock (BCD fields of the clock block) ---
  void SetClock(std::time_t local_time);   // as broken down in local time
  void SetClockRunning(bool running);      // running: advances with real time
  bool ClockRunning() const;
  std::time_t Clock() const;

  // --- event ring (head and tail live in clock-block bytes 8-11) ---
  void AppendEvent(const std::array<uint8_t, 8>& record);  // at head; drops the oldest when full
  uint16_t RingHead() const;
  uint16_t RingTail() const;
  void SetDoorMode(uint8_t mode);  // clock-block byte 7 bits 4-5
  uint8_t DoorMode() const;

  // --- external requests (GetExternal / SetExternal) ---
  void PresentCard(uint8_t reader, const std::vector<uint8_t>& card);
  void QueueExternalEvents(const std::vector<std::array<uint8_t, 8>>& records);
  size_t PendingExternalEvents() const;
  std::vector<ExternalAnswer> ExternalAnswers() const;
  std::vector<int> AckCounts() const;  // acknowledge count of each GetExternal poll (0 when absent)

  // --- door, mode, service, configuration ---
  std::vector<uint8_t> OpenDoorRequests() const;   // directions, in order
  std::vector<uint8_t> SetModeRequests() const;
  std::vector<std::string> ServiceCommands() const;  // "RESET", "INIT", ...
  std::array<uint8_t, 80> ConfigBlock() const;
  void SetConfigBlock(const std::array<uint8_t, 80>& block);
  bool FireState() const;
  void SetFireState(bool on);
  uint8_t KeyMode() const;
  void SetKeyMode(uint8_t mode);

  // --- boot loader ---
  bool InBootLoader() const;
  void SetBootLoader(bool on);
  BootLoaderLog BootLoader() const;

  // --- raw lines ---
  // A write at offset 0 that starts with "L" or "l" is a raw line, complete
  // at its carriage return; it is logged with the framed requests.  With a
  // reply set (a whole frame: head, then data), the reply is put in the frame
  // buffer and the ready line rises; with none (the default) nothing happens.
  void SetRawReply(const std::vector<uint8_t>& reply);

  // --- inspection ---
  std::vector<std::vector<uint8_t>> Requests() const;  // framed requests, bytes 0..L
  std::vector<Transfer> Transfers() const;
  void ClearLogs();

  // --- faults ---
  void AddFault(const Fault& fault);
  void ClearFaults();

  // --- ready line ---
  bool ReadyLine() const;

  // Waits until `done()` holds or the timeout passes; returns done().  The
  // predicate runs without the MCU's lock (it may call any member), after
  // every transfer and at least every 10 ms.
  bool WaitUntil(const std::function<bool(const Mcu&)>& done,
                 std::chrono::milliseconds timeout) const;

  // --- the bus side, used by Emulator (and by tests that drive it raw) ---
  struct Answer {
    int status = 0;                // 0 or errno
    std::vector<uint8_t> data;     // 'R' only
    bool drop = false;             // close the connection instead of answering
  };
  Answer SetAddress(uint8_t address, bool forced, uint8_t& selected);
  Answer Write(uint8_t selected, uint8_t command, const std::vector<uint8_t>& bytes);
  Answer Read(uint8_t selected, uint8_t command, uint8_t count);

  // Called with the new level whenever the ready line changes.  The listener
  // runs with the MCU's lock held (so levels arrive in order and a rise is
  // seen before the answer to the completing write); it must not call back
  // into the Mcu.  An empty function removes it.
  void OnReadyChange(std::function<void(bool)> listener);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Serves an Mcu below a root directory, as the board's devices would be.
class Emulator {
 public:
  struct Options {
    std::string root;                 // absolute directory
    std::string device = "dev/i2c-0"; // socket path below root ("dev/i2c/0" also works)
  };

  explicit Emulator(Options options);
  ~Emulator();  // stops

  // Creates the GPIO files (export, gpio14/direction, gpio14/value) and the
  // socket, then accepts connections on a thread of its own.  False on failure.
  bool Start();
  void Stop();
  // Closes every open connection (later transfers of those clients fail).
  void DropConnections();

  Mcu& mcu();
  const std::string& SocketPath() const;
  const std::string& ValuePath() const;
  // Why the last Start() failed.
  const std::string& LastError() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace emu
