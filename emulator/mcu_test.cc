// The emulated MCU driven through its bus side with hand-built frames, the
// way the link drives it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <string>

#include "emulator/config_block.h"
#include "emulator/mcu_emulator.h"

namespace emu {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr auto kWait = std::chrono::seconds(5);

uint8_t Sum(const Bytes& frame) {
  return static_cast<uint8_t>(std::accumulate(frame.begin() + 1, frame.end(), 0));
}

// A request with start byte, L, 0x09, sequence, command, 0x02, parameters,
// data and a correct checksum.
Bytes Frame(uint8_t command, uint8_t p1, uint8_t p2, const Bytes& data = {}, uint8_t seq = 1) {
  Bytes f = {static_cast<uint8_t>(command == 0 ? 0x20 : 0x1F),
             0,
             static_cast<uint8_t>(8 + data.size()),
             0x09,
             seq,
             command,
             0x02,
             p1,
             p2};
  f.insert(f.end(), data.begin(), data.end());
  f[1] = static_cast<uint8_t>(0x100 - Sum(f) + f[1]);
  return f;
}

Bytes MemFrame(uint8_t command, uint8_t bus, uint8_t type, uint16_t address, uint8_t size,
               const Bytes& data = {}) {
  Bytes fields = {size, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  fields.insert(fields.end(), data.begin(), data.end());
  return Frame(command, bus, type, fields);
}

// One MCU on a bus with the slave address selected.
class Bus {
 public:
  Bus() { EXPECT_EQ(mcu.SetAddress(0x49, false, selected).status, 0); }

  // The frame in chunks of 32 at offsets 0, 32, ...; the status of the last.
  int WriteFrame(const Bytes& frame) {
    int status = 0;
    for (size_t at = 0; at < frame.size() && status == 0; at += 32) {
      const size_t n = std::min<size_t>(32, frame.size() - at);
      status = mcu.Write(selected, static_cast<uint8_t>(at),
                         Bytes(frame.begin() + at, frame.begin() + at + n))
                   .status;
    }
    return status;
  }

  // The reply as the link reads it: the head at 0, then the data at 9, 41, ...
  Bytes ReadReply() {
    Bytes reply = mcu.Read(selected, 0, 9).data;
    const size_t L = reply[2] < 8 ? 8 : reply[2];
    for (size_t at = 9; at <= L; at += 32) {
      const auto n = static_cast<uint8_t>(std::min<size_t>(32, L + 1 - at));
      const Bytes part = mcu.Read(selected, static_cast<uint8_t>(at), n).data;
      reply.insert(reply.end(), part.begin(), part.end());
    }
    return reply;
  }

  Bytes Transact(const Bytes& frame) {
    EXPECT_EQ(WriteFrame(frame), 0);
    EXPECT_TRUE(mcu.ReadyLine());
    return ReadReply();
  }

  Bytes Data(const Bytes& reply) { return Bytes(reply.begin() + 9, reply.end()); }

  Mcu mcu;
  uint8_t selected = 0;
};

void ExpectReply(const Bytes& reply, uint8_t status, uint8_t L, uint8_t seq, uint8_t command) {
  ASSERT_GE(reply.size(), 9u);
  EXPECT_EQ(reply[0], status);
  EXPECT_EQ(reply[2], L);
  EXPECT_EQ(reply[3], 0x09);
  EXPECT_EQ(reply[4], seq);
  EXPECT_EQ(reply[5], command);
  EXPECT_EQ(Sum(reply), 0) << "checksum";
}

// --- frames ---------------------------------------------------------------

TEST(McuFrames, AnswersTheWorkedReadMemExample) {
  Bus bus;
  const Bytes request = {0x1F, 0x7F, 0x0B, 0x09, 0x01, 0x02, 0x02, 0x00, 0xA0, 0x08, 0x00, 0xC0};
  const Bytes reply = bus.Transact(request);
  ExpectReply(reply, 0x00, 16, 0x01, 0x02);
  EXPECT_EQ(reply[6], 0x02);
  EXPECT_EQ(reply[7], 0x00);
  EXPECT_EQ(reply[8], 0xA0);
  EXPECT_EQ(bus.Data(reply), Bytes(8, 0x55));
  EXPECT_EQ(bus.mcu.Requests(), std::vector<Bytes>{request});
}

TEST(McuFrames, RejectsUnsoundRequestsWithStatus2AndNoData) {
  Bus bus;
  Bytes bad_sum = MemFrame(0x02, 0, 0xA0, 0x00C0, 8);
  ++bad_sum[1];
  Bytes wrong_start = MemFrame(0x02, 0, 0xA0, 0x00C0, 8);
  wrong_start[0] = 0x20;
  Bytes params_with_1f = Frame(0x00, 0, 0);
  params_with_1f[0] = 0x1F;
  const Bytes too_short = {0x1F, 0xF0, 0x07, 0x09, 0x01, 0x02, 0x02, 0x00};
  for (const Bytes& f : {bad_sum, wrong_start, params_with_1f, too_short, Frame(0x55, 0, 0)}) {
    const Bytes reply = bus.Transact(f);
    ExpectReply(reply, 0x02, 8, f[4], f[5]);
  }
}

TEST(McuFrames, RequestCompletesOnlyWhenEveryByteUpToLIsIn) {
  Bus bus;
  std::vector<bool> levels;
  bus.mcu.OnReadyChange([&](bool level) { levels.push_back(level); });
  bus.Transact(Frame(0x00, 0, 0));
  levels.clear();

  const Bytes frame = MemFrame(0x03, 0, 0xA0, 0x0200, 40, Bytes(40, 0x11));  // 52 bytes
  ASSERT_EQ(bus.mcu.Write(bus.selected, 0, Bytes(frame.begin(), frame.begin() + 32)).status, 0);
  EXPECT_FALSE(bus.mcu.ReadyLine());
  ASSERT_EQ(bus.mcu.Write(bus.selected, 32, Bytes(frame.begin() + 32, frame.end())).status, 0);
  EXPECT_TRUE(bus.mcu.ReadyLine());
  EXPECT_EQ(levels, (std::vector<bool>{false, true}));
  ExpectReply(bus.ReadReply(), 0x00, 8, 1, 0x03);
  EXPECT_EQ(bus.mcu.Peek(0, kEeprom, 0x0200, 40), Bytes(40, 0x11));
}

TEST(McuFrames, WriteAtZeroWithoutFramedStartIsNoRequest) {
  Bus bus;
  ASSERT_EQ(bus.mcu.Write(bus.selected, 0, {0x42, 0x00, 0x08, 0x09, 1, 0, 2, 0, 0}).status, 0);
  EXPECT_FALSE(bus.mcu.ReadyLine());
  EXPECT_TRUE(bus.mcu.Requests().empty());
}

TEST(McuFrames, LongReplyIsReadInChunksFromOffsetNine) {
  Bus bus;
  Bytes pattern(96);
  std::iota(pattern.begin(), pattern.end(), 1);
  ASSERT_TRUE(bus.mcu.Poke(0, kEeprom, 0x1000, pattern));
  const Bytes reply = bus.Transact(MemFrame(0x02, 0, 0xA0, 0x1000, 96));
  ExpectReply(reply, 0x00, 104, 1, 0x02);
  EXPECT_EQ(bus.Data(reply), pattern);
}

// --- bus transfers ----------------------------------------------------------

TEST(McuBus, AnswersOnlyAtItsAddressAndRefusesBadCounts) {
  Mcu mcu;
  uint8_t selected = 0;
  EXPECT_EQ(mcu.Read(selected, 2, 8).status, ENXIO);  // nothing selected yet
  ASSERT_EQ(mcu.SetAddress(0x50, false, selected).status, 0);
  EXPECT_EQ(mcu.Write(selected, 0, {0x1F}).status, ENXIO);
  EXPECT_EQ(mcu.Read(selected, 2, 8).status, ENXIO);
  ASSERT_EQ(mcu.SetAddress(0x49, true, selected).status, 0);
  EXPECT_EQ(mcu.Read(selected, 0, 0).status, EINVAL);
  EXPECT_EQ(mcu.Read(selected, 0, 33).status, EINVAL);
  EXPECT_EQ(mcu.Write(selected, 0, Bytes(33, 0)).status, EINVAL);
  EXPECT_EQ(mcu.Read(selected, 0, 32).data.size(), 32u);
  const auto transfers = mcu.Transfers();
  ASSERT_GE(transfers.size(), 2u);
  EXPECT_EQ(transfers[1].op, 'A');
  EXPECT_EQ(transfers[1].command, 0x50);
  EXPECT_EQ(transfers.back().op, 'R');
  EXPECT_EQ(transfers.back().count, 32);
}

TEST(McuBus, IdentityBlockAtRegisterTwo) {
  Bus bus;
  bus.mcu.SetIdentity(1234567, 0x0A0B);
  const Bytes id = bus.mcu.Read(bus.selected, 2, 20).data;
  ASSERT_EQ(id.size(), 20u);
  EXPECT_EQ(Bytes(id.begin(), id.begin() + 8),
            (Bytes{0x87, 0xD6, 0x12, 0x00, 0x0B, 0x0A, 0x00, 0x00}));
  EXPECT_EQ(Bytes(id.begin() + 15, id.end()), Bytes(5, 0));
  EXPECT_EQ(id[8] & 0x80, 0);
}

// --- memories -----------------------------------------------------------------

TEST(McuMemories, KeyMemoriesAreSeparateAndBoundedAt64KiB) {
  Bus bus;
  ExpectReply(bus.Transact(MemFrame(0x03, 1, 0xA0, 0x00C0, 8, Bytes(8, 0x01))), 0, 8, 1, 0x03);
  EXPECT_EQ(bus.mcu.Peek(0, kEeprom, 0x00C0, 8), Bytes(8, 0x55));
  EXPECT_EQ(bus.mcu.Peek(1, kEeprom, 0x00C0, 8), Bytes(8, 0x01));

  EXPECT_EQ(bus.Transact(MemFrame(0x02, 0, 0xA0, 0xFFC0, 64))[0], 0x00);
  EXPECT_EQ(bus.Transact(MemFrame(0x02, 0, 0xA0, 0xFFC1, 64))[0], 0x02);
  EXPECT_EQ(bus.Transact(MemFrame(0x03, 0, 0xA0, 0xFFFC, 8, Bytes(8, 0)))[0], 0x02);
  EXPECT_EQ(bus.mcu.Peek(0, kEeprom, 0xFFF8, 8), Bytes(8, 0x55))
      << "a refused write changes nothing";
  EXPECT_EQ(bus.Transact(MemFrame(0x02, 3, 0xA0, 0, 8))[0], 0x02);
  EXPECT_EQ(bus.Transact(MemFrame(0x03, 2, 0xA0, 0x0010, 2, {3, 1}))[0], 0x02)
      << "ring is read-only";
  EXPECT_EQ(bus.Transact(MemFrame(0x02, 1, 0xD0, 0, 8))[0], 0x02);
  // WriteMem whose size disagrees with its data.
  EXPECT_EQ(bus.Transact(MemFrame(0x03, 0, 0xA0, 0x0100, 9, Bytes(8, 0)))[0], 0x02);
}

TEST(McuMemories, LastKeyPointerFollowsTheHighestSlotInUse) {
  Bus bus;
  auto pointer = [&](uint8_t b) { return bus.mcu.Peek(b, kEeprom, 0x00BE, 2); };
  EXPECT_EQ(pointer(0), (Bytes{0x00, 0xC0}));
  EXPECT_EQ(bus.mcu.Peek(0, kEeprom, 0, 3), (Bytes{5, 10, 10}));
  bus.Transact(MemFrame(0x03, 0, 0xA0, 0x00C8, 8, {1, 2, 3, 4, 5, 6, 0, 0xFF}));
  EXPECT_EQ(pointer(0), (Bytes{0x00, 0xD0}));
  EXPECT_EQ(pointer(1), (Bytes{0x00, 0xC0}));
  bus.Transact(MemFrame(0x03, 0, 0xA0, 0xFFF8, 8, Bytes(8, 0)));
  EXPECT_EQ(pointer(0), (Bytes{0x00, 0x00})) << "0 stands for 0x10000";
  bus.Transact(MemFrame(0x03, 0, 0xA0, 0xFFF8, 8, Bytes(8, 0x55)));
  bus.Transact(MemFrame(0x03, 0, 0xA0, 0x00C8, 8, Bytes(8, 0x55)));
  EXPECT_EQ(pointer(0), (Bytes{0x00, 0xC0}));
  ASSERT_TRUE(bus.mcu.Poke(0, kEeprom, 0x00BE, {0x12, 0x34}));
  EXPECT_EQ(pointer(0), (Bytes{0x12, 0x34})) << "a pointer set explicitly stays";
}

TEST(McuMemories, EventRingSizeAndWrapFollowTheMemorySizeCode) {
  const struct {
    uint8_t code;
    uint16_t mask;
  } cases[] = {{0, 0x3FFF}, {1, 0x7FFF}, {2, 0xFFFF}, {3, 0xFFFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    Bus bus;
    bus.mcu.SetCtrlParams(0, static_cast<uint8_t>(0x0C | c.code), 1, 0);
    const uint16_t last = static_cast<uint16_t>(c.mask - 7);
    ASSERT_TRUE(bus.mcu.Poke(0, kClock, 8,
                             {static_cast<uint8_t>(last >> 8), static_cast<uint8_t>(last),
                              static_cast<uint8_t>(last >> 8), static_cast<uint8_t>(last)}));
    bus.mcu.AppendEvent({1, 2, 3, 4, 5, 6, 7, 8});
    bus.mcu.AppendEvent({9, 9, 9, 9, 9, 9, 9, 9});
    EXPECT_EQ(bus.mcu.RingHead(), 8) << "head wraps to the ring's start";
    EXPECT_EQ(bus.mcu.RingTail(), last);
    EXPECT_EQ(bus.Data(bus.Transact(MemFrame(0x02, 2, 0xA0, last, 8))),
              (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    const Bytes across =
        bus.Data(bus.Transact(MemFrame(0x02, 2, 0xA0, static_cast<uint16_t>(last + 4), 8)));
    EXPECT_EQ(across, (Bytes{5, 6, 7, 8, 9, 9, 9, 9})) << "a read across the end wraps";
    const uint8_t beyond_status =
        bus.Transact(MemFrame(0x02, 2, 0xA0, static_cast<uint16_t>(c.mask + 1), 8))[0];
    EXPECT_EQ(beyond_status, c.mask == 0xFFFF ? 0x00 : 0x02);
  }
}

TEST(McuMemories, FullRingDropsTheOldestRecord) {
  Mcu mcu;  // size code 0: 2048 records, one slot kept free
  for (int i = 0; i < 2047; ++i) mcu.AppendEvent({static_cast<uint8_t>(i), 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(mcu.RingHead(), 0x3FF8);
  EXPECT_EQ(mcu.RingTail(), 0);
  mcu.AppendEvent({0xEE, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(mcu.RingHead(), 0);
  EXPECT_EQ(mcu.RingTail(), 8);
}

TEST(McuMemories, OccupancyBlockIs33Bytes) {
  Bus bus;
  Bytes block(33);
  std::iota(block.begin(), block.end(), 0);
  EXPECT_EQ(bus.Transact(MemFrame(0x03, 0, 0xD1, 0, 33, block))[0], 0x00);
  EXPECT_EQ(bus.Data(bus.Transact(MemFrame(0x02, 0, 0xD1, 0, 33))), block);
  EXPECT_EQ(bus.Transact(MemFrame(0x02, 0, 0xD1, 1, 33))[0], 0x02);
}

// --- clock block ----------------------------------------------------------------

std::time_t Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST(McuClock, BlockCarriesBcdTimeModeAndRingPointers) {
  Bus bus;
  bus.mcu.SetClockRunning(false);
  bus.mcu.SetClock(Local(2026, 3, 8, 23, 59, 58));  // a Sunday
  bus.mcu.AppendEvent({4, 0, 0xC8, 3, 8, 0x23, 0x59, 0x50});
  bus.Transact(Frame(0x16, 0, 0, {0x06}));  // SetMode 6 keeps bits 0-1: mode 2
  const Bytes block = bus.Data(bus.Transact(MemFrame(0x02, 0, 0xD0, 0, 12)));
  EXPECT_EQ(block, (Bytes{0x58, 0x59, 0x23, 0x07, 0x08, 0x03, 0x26, 0x20, 0x00, 0x08, 0x00, 0x00}));
}

TEST(McuClock, WritesSetTheClockAndTheTail) {
  Bus bus;
  bus.mcu.SetClockRunning(false);
  EXPECT_EQ(
      bus.Transact(MemFrame(0x03, 0, 0xD0, 0, 7, {0x05, 0x04, 0x03, 0x02, 0x29, 0x02, 0x28}))[0],
      0x00);
  EXPECT_EQ(bus.mcu.Clock(), Local(2028, 2, 29, 3, 4, 5));
  for (int i = 0; i < 3; ++i) bus.mcu.AppendEvent({});
  EXPECT_EQ(bus.Transact(MemFrame(0x03, 0, 0xD0, 0x0A, 2, {0x00, 0x10}))[0], 0x00);
  EXPECT_EQ(bus.mcu.RingTail(), 0x0010);
  EXPECT_EQ(bus.mcu.RingHead(), 0x0018);
  // Not BCD, and 30 February: refused, the clock unchanged.
  EXPECT_EQ(bus.Transact(MemFrame(0x03, 0, 0xD0, 0, 7, {0x5A, 0, 0, 1, 1, 1, 0x26}))[0], 0x02);
  EXPECT_EQ(bus.Transact(MemFrame(0x03, 0, 0xD0, 0, 7, {0, 0, 0, 1, 0x30, 0x02, 0x26}))[0], 0x02);
  EXPECT_EQ(bus.mcu.Clock(), Local(2028, 2, 29, 3, 4, 5));
  EXPECT_EQ(bus.Transact(MemFrame(0x02, 0, 0xD0, 6, 7))[0], 0x02);
}

TEST(McuClock, RunningClockAdvances) {
  Mcu mcu;
  const std::time_t start = mcu.Clock();
  EXPECT_TRUE(mcu.WaitUntil([&](const Mcu& m) { return m.Clock() > start; }, kWait));
  mcu.SetClockRunning(false);
  const std::time_t frozen = mcu.Clock();
  EXPECT_FALSE(mcu.WaitUntil([&](const Mcu& m) { return m.Clock() != frozen; },
                             std::chrono::milliseconds(1100)));
}

// --- external requests -------------------------------------------------------------

TEST(McuExternal, EventBatchesAreDeliveredUntilAcknowledged) {
  Bus bus;
  std::vector<std::array<uint8_t, 8>> records;
  for (uint8_t i = 0; i < 35; ++i) records.push_back({i, 0, 0, 0, 0, 0, 0, 0});
  bus.mcu.QueueExternalEvents(records);
  auto poll = [&](int ack) {
    return bus.Data(bus.Transact(ack == 0 ? Frame(0x0F, 0, 0)
                                          : Frame(0x0F, 0, 0, {static_cast<uint8_t>(ack)})));
  };
  Bytes batch = poll(0);
  ASSERT_EQ(batch.size(), 1u + 30 * 8);
  EXPECT_EQ(batch[0], 30);
  EXPECT_EQ(poll(0), batch) << "unacknowledged records come again";
  batch = poll(30);
  ASSERT_EQ(batch.size(), 1u + 5 * 8);
  EXPECT_EQ(batch[1], 30);
  EXPECT_EQ(poll(200).size(), 0u) << "an ack beyond the batch drops only the batch";
  EXPECT_EQ(bus.mcu.PendingExternalEvents(), 0u);
  EXPECT_EQ(bus.mcu.AckCounts(), (std::vector<int>{0, 0, 30, 200}));
}

TEST(McuExternal, CardsComeFirstOnceEachAndAnswersAreRecorded) {
  Bus bus;
  bus.mcu.QueueExternalEvents({{1, 2, 3, 4, 5, 6, 7, 8}});
  bus.mcu.PresentCard(1, {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6});
  const Bytes reply = bus.Transact(Frame(0x0F, 0, 0, {}, 7));
  ExpectReply(reply, 0x00, 15, 7, 0x0F);
  EXPECT_EQ(bus.Data(reply), (Bytes{0x21, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
  // A card answered in between does not consume the events.
  const Bytes set =
      bus.Transact(Frame(0x0F, 0, 0, {0x25, 0x01, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}, 8));
  ExpectReply(set, 0x00, 9, 8, 0x0F);
  EXPECT_EQ(bus.Data(set), Bytes{0x00});
  EXPECT_EQ(bus.Data(bus.Transact(Frame(0x0F, 0, 0, {1})))[0], 1) << "event batch of one";
  const auto answers = bus.mcu.ExternalAnswers();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].code, 0x25);
  EXPECT_EQ(answers[0].reader, 1);
  EXPECT_EQ(answers[0].card, (Bytes{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
  EXPECT_EQ(bus.Transact(Frame(0x0F, 0, 0, {1}))[2], 8) << "nothing pending";
}

// --- door, configuration block, fire, key mode -------------------------------------

TEST(McuCommands, ControllerParamsDoorModeAndService) {
  Bus bus;
  bus.mcu.SetCtrlParams(0x01, 0x0A, 3, 7);
  EXPECT_EQ(bus.Data(bus.Transact(Frame(0x00, 0, 0))), (Bytes{0x01, 0x0A, 3, 7}));
  ExpectReply(bus.Transact(Frame(0x07, 1, 0)), 0, 8, 1, 0x07);
  const Bytes mode = bus.Transact(Frame(0x16, 0, 0, {3}));
  ExpectReply(mode, 0, 9, 1, 0x16);
  EXPECT_EQ(mode[9], 3);
  ExpectReply(bus.Transact(Frame(0x0B, 0, 0, {'R', 'E', 'S', 'E', 'T'})), 0, 8, 1, 0x0B);
  EXPECT_EQ(bus.mcu.OpenDoorRequests(), Bytes{1});
  EXPECT_EQ(bus.mcu.SetModeRequests(), Bytes{3});
  EXPECT_EQ(bus.mcu.DoorMode(), 3);
  EXPECT_EQ(bus.mcu.ServiceCommands(), std::vector<std::string>{"RESET"});
}

TEST(McuConfig, CheckByteMatchesKnownValues) {
  const Bytes zeros(79, 0);
  EXPECT_EQ(ConfigCrc8(zeros), 0x9A);
  const std::string digits = "123456789";
  EXPECT_EQ(ConfigCrc8(std::span(reinterpret_cast<const uint8_t*>(digits.data()), digits.size())),
            0xC7);
  const auto block = DefaultConfigBlock();
  EXPECT_EQ(block[0], ConfigCrc8(std::span(block).subspan(1)));
}

TEST(McuConfig, ReadAndWriteTheWholeBlock) {
  Bus bus;
  const Bytes read = bus.Data(bus.Transact(Frame(0x0D, 0, 0)));
  const auto stored = bus.mcu.ConfigBlock();
  EXPECT_EQ(read, Bytes(stored.begin(), stored.end()));

  Bytes block(80);
  std::iota(block.begin(), block.end(), 0x30);
  const Bytes written = bus.Transact(Frame(0x0D, 0, 0, block));
  ExpectReply(written, 0, 88, 1, 0x0D);
  EXPECT_EQ(bus.Data(written), block);
  EXPECT_EQ(bus.Transact(Frame(0x0D, 0, 0, Bytes(79, 0)))[0], 0x02);
  const auto now = bus.mcu.ConfigBlock();
  EXPECT_EQ(Bytes(now.begin(), now.end()), block);
}

TEST(McuConfig, FireStateAndKeyMode) {
  Bus bus;
  EXPECT_EQ(bus.Data(bus.Transact(Frame(0x13, 0, 0))), (Bytes{0, 0, 0}));
  ExpectReply(bus.Transact(Frame(0x13, 0, 0, {0x03})), 0, 8, 1, 0x13);
  EXPECT_TRUE(bus.mcu.FireState());
  EXPECT_EQ(bus.Data(bus.Transact(Frame(0x13, 0, 0)))[2], 1);

  EXPECT_EQ(bus.Data(bus.Transact(Frame(0x66, 0, 0, {0x05, 0xFA}))), Bytes{0x05});
  EXPECT_EQ(bus.Transact(Frame(0x66, 0, 0, {0x01, 0xFF}))[0], 0x02) << "complement mismatch";
  EXPECT_EQ(bus.Data(bus.Transact(Frame(0x66, 0, 0))), Bytes{0x05});
}

// --- boot loader ---------------------------------------------------------------------

Bytes Header(const char* tag, uint32_t address) {
  Bytes h(tag, tag + 8);
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(address >> (8 * i)));
  return h;
}

// A 262-byte record in eight writes of 32 and one of 6, all at 0xFF.
void SendRecord(Bus& bus, uint8_t fill) {
  for (size_t at = 0; at < 262; at += 32) {
    ASSERT_EQ(bus.mcu.Write(bus.selected, 0xFF, Bytes(std::min<size_t>(32, 262 - at), fill)).status,
              0);
  }
}

TEST(McuBootLoader, UpdateSequence) {
  Bus bus;
  ASSERT_EQ(bus.mcu.Write(bus.selected, 0xFF, Header("FWUPDATE", 0xFFFFFFFF)).status, 0);
  EXPECT_TRUE(bus.mcu.InBootLoader());
  EXPECT_EQ(bus.mcu.Read(bus.selected, 2, 15).data[8] & 0x80, 0x80);

  // Framed requests get no reply in the boot loader.
  EXPECT_EQ(bus.WriteFrame(Frame(0x00, 0, 0)), 0);
  EXPECT_FALSE(bus.mcu.ReadyLine());

  bus.mcu.Write(bus.selected, 0xFF, Header("FWUPDATE", 0xFFFFFFFF));
  SendRecord(bus, 0x10);
  EXPECT_TRUE(bus.mcu.ReadyLine());
  // A record cut short is sent again after its header.
  bus.mcu.Write(bus.selected, 0xFF, Header("FWUPDATE", 0));
  EXPECT_FALSE(bus.mcu.ReadyLine());
  bus.mcu.Write(bus.selected, 0xFF, Bytes(32, 0x99));
  bus.mcu.Write(bus.selected, 0xFF, Header("FWUPDATE", 0));
  SendRecord(bus, 0x20);
  EXPECT_TRUE(bus.mcu.ReadyLine());
  bus.mcu.Write(bus.selected, 0xFF, Header("FWUPDONE", 256));
  EXPECT_TRUE(bus.mcu.ReadyLine());
  EXPECT_FALSE(bus.mcu.InBootLoader());

  const BootLoaderLog log = bus.mcu.BootLoader();
  EXPECT_EQ(log.entry_requests, 1);
  EXPECT_EQ(log.headers,
            (std::vector<std::string>{"FWUPDATE FFFFFFFF", "FWUPDATE FFFFFFFF", "FWUPDATE 00000000",
                                      "FWUPDATE 00000000", "FWUPDONE 00000100"}));
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.records[0].address, 0xFFFFFFFFu);
  EXPECT_EQ(log.records[0].bytes, Bytes(262, 0x10));
  EXPECT_EQ(log.records[1].address, 0u);
  EXPECT_EQ(log.records[1].bytes, Bytes(262, 0x20));
  EXPECT_TRUE(log.done);
  EXPECT_EQ(log.done_address, 256u);
}

TEST(McuBootLoader, EntryCanBeRefused) {
  Bus bus;
  bus.mcu.AddFault({FaultKind::kNoBootLoader, 1});
  bus.mcu.Write(bus.selected, 0xFF, Header("FWUPDATE", 0xFFFFFFFF));
  EXPECT_FALSE(bus.mcu.InBootLoader());
  bus.mcu.Write(bus.selected, 0xFF, Header("FWUPDATE", 0xFFFFFFFF));
  EXPECT_TRUE(bus.mcu.InBootLoader());
  EXPECT_EQ(bus.mcu.BootLoader().entry_requests, 2);
}

// --- faults ------------------------------------------------------------------------------

TEST(McuFaults, ReplyFaultsApplyToTheirCommandForTheirCount) {
  Bus bus;
  const Bytes read = MemFrame(0x02, 0, 0xA0, 0x00C0, 8);
  bus.mcu.AddFault({FaultKind::kStatusRejected, 1, 0x02});
  bus.mcu.AddFault({FaultKind::kWrongEcho, 1, 0x07});
  EXPECT_EQ(bus.Transact(Frame(0x07, 0, 0))[4], 2) << "echo + 1";
  EXPECT_EQ(Sum(bus.ReadReply()), 0) << "resealed";
  EXPECT_EQ(bus.Transact(read)[0], 0x02);
  EXPECT_EQ(bus.Transact(read)[0], 0x00) << "count spent";

  bus.mcu.AddFault({FaultKind::kRefused, 1});
  bus.mcu.AddFault({FaultKind::kBadChecksum, 1});
  const Bytes refused = bus.Transact(Frame(0x07, 0, 0));
  EXPECT_EQ(refused[2], 9);
  EXPECT_EQ(refused[9], 0xAA);
  EXPECT_NE(Sum(refused), 0);

  bus.mcu.AddFault({FaultKind::kExtraData, 1, kAnyCommand, 3});
  EXPECT_EQ(bus.Transact(read).size(), 9u + 8 + 3);
  bus.mcu.AddFault({FaultKind::kNoData, 1});
  EXPECT_EQ(bus.Transact(MemFrame(0x03, 0, 0xA0, 0x0300, 1, {7})).size(), 9u);
  EXPECT_EQ(bus.mcu.Peek(0, kEeprom, 0x0300, 1), Bytes{7}) << "the command still ran";
}

TEST(McuFaults, SkippedMatchesPassUntouched) {
  Bus bus;
  const Bytes read = MemFrame(0x02, 0, 0xA0, 0x00C0, 8);
  bus.mcu.AddFault({.kind = FaultKind::kStatusRejected, .remaining = 1, .skip = 2});
  EXPECT_EQ(bus.Transact(read)[0], 0x00);
  EXPECT_EQ(bus.Transact(read)[0], 0x00);
  EXPECT_EQ(bus.Transact(read)[0], 0x02) << "the third match";
  EXPECT_EQ(bus.Transact(read)[0], 0x00);
}

TEST(McuRawLine, AnsweredOnlyWithAReplySet) {
  Bus bus;
  const Bytes line{'L', 0x01, 0x02, 0x0D, 0x77};
  EXPECT_EQ(bus.mcu.Write(bus.selected, 0, line).status, 0);
  EXPECT_FALSE(bus.mcu.ReadyLine());
  EXPECT_EQ(bus.mcu.Requests().back(), (Bytes{'L', 0x01, 0x02, 0x0D})) << "up to the CR";

  const Bytes reply{0x00, 0x00, 0x0A, 0x09, 0x00, 0x00, 0x02, 0x00, 0x00, 0xAB, 0xCD};
  bus.mcu.SetRawReply(reply);
  EXPECT_EQ(bus.mcu.Write(bus.selected, 0, Bytes{'l', 0x05}).status, 0);
  EXPECT_FALSE(bus.mcu.ReadyLine()) << "no carriage return yet";
  EXPECT_EQ(bus.mcu.Write(bus.selected, 2, Bytes{0x0D}).status, 0);
  EXPECT_TRUE(bus.mcu.ReadyLine());
  EXPECT_EQ(bus.mcu.Read(bus.selected, 0, 11).data, reply);
  EXPECT_EQ(bus.mcu.Requests().size(), 2u);
}

TEST(McuFaults, UnstableReadsNeverRepeat) {
  Bus bus;
  bus.mcu.AddFault({FaultKind::kUnstableReads});
  const Bytes read = MemFrame(0x02, 0, 0xD0, 0x0008, 4);  // ring pointers do not move by themselves
  Bytes previous = bus.Transact(read);
  for (int i = 0; i < 600; ++i) {
    const Bytes next = bus.Transact(read);
    ASSERT_NE(next, previous) << i;
    EXPECT_EQ(Sum(next), 0);
    previous = next;
  }
  bus.mcu.ClearFaults();
  EXPECT_EQ(bus.Transact(read), bus.Transact(read));
}

TEST(McuFaults, TransferFaultsMatchTheRegister) {
  Bus bus;
  bus.mcu.AddFault({FaultKind::kReadError, 1, 2});
  bus.mcu.AddFault({FaultKind::kWriteError, 1, 32, 121});
  bus.mcu.AddFault({FaultKind::kDropConnection, 1, 9});
  EXPECT_EQ(bus.mcu.Read(bus.selected, 0, 9).status, 0);
  EXPECT_EQ(bus.mcu.Read(bus.selected, 2, 8).status, EIO);
  EXPECT_EQ(bus.mcu.Read(bus.selected, 2, 8).status, 0);
  EXPECT_EQ(bus.WriteFrame(MemFrame(0x03, 0, 0xA0, 0x0400, 30, Bytes(30, 1))), 121);
  EXPECT_FALSE(bus.mcu.ReadyLine()) << "the request never completed";
  EXPECT_TRUE(bus.mcu.Read(bus.selected, 9, 8).drop);
}

TEST(McuFaults, ReadyLineCanStayLowOrComeLate) {
  Bus bus;
  bus.mcu.AddFault({FaultKind::kNoReady, 1, 0x00});
  bus.WriteFrame(Frame(0x00, 0, 0));
  EXPECT_FALSE(bus.mcu.ReadyLine());
  EXPECT_EQ(bus.ReadReply()[2], 12) << "the reply is there all the same";

  bus.mcu.AddFault({FaultKind::kSlowReady, 1, kAnyCommand, 50});
  const auto start = std::chrono::steady_clock::now();
  bus.WriteFrame(Frame(0x00, 0, 0));
  EXPECT_FALSE(bus.mcu.ReadyLine());
  EXPECT_TRUE(bus.mcu.WaitUntil([](const Mcu& m) { return m.ReadyLine(); }, kWait));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

  // A new request before the late rise cancels it.
  bus.mcu.AddFault({FaultKind::kSlowReady, 2, kAnyCommand, 100});
  bus.WriteFrame(Frame(0x00, 0, 0));
  bus.mcu.AddFault({FaultKind::kNoReady, 1});
  bus.WriteFrame(Frame(0x00, 0, 0));  // takes the no-ready fault first
  EXPECT_FALSE(bus.mcu.WaitUntil([](const Mcu& m) { return m.ReadyLine(); },
                                 std::chrono::milliseconds(300)));
}

TEST(McuWait, WakesOnATransferFromAnotherThread) {
  Bus bus;
  std::thread writer([&] { bus.WriteFrame(Frame(0x07, 1, 0)); });
  EXPECT_TRUE(
      bus.mcu.WaitUntil([](const Mcu& m) { return m.OpenDoorRequests().size() == 1; }, kWait));
  writer.join();
}

// --- the emulator on its socket -----------------------------------------------------------

class TempRoot {
 public:
  TempRoot() {
    char name[] = "/tmp/mcu_test.XXXXXX";
    path = mkdtemp(name);
  }
  ~TempRoot() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string path;
};

int Connect(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One request, its response (empty when the connection closed).
Bytes Exchange(int fd, const Bytes& request) {
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return {};
  Bytes response(2);
  if (recv(fd, response.data(), 2, MSG_WAITALL) != 2) return {};
  response.resize(2 + response[1]);
  if (response[1] > 0 && recv(fd, response.data() + 2, response[1], MSG_WAITALL) != response[1])
    return {};
  return response;
}

char ValueFileLevel(const std::string& path) {
  std::ifstream file(path);
  return static_cast<char>(file.get());
}

TEST(Emulator, ServesConnectionsAndMirrorsTheReadyLine) {
  TempRoot root;
  Emulator emulator({root.path, "dev/i2c/0"});
  ASSERT_TRUE(emulator.Start()) << emulator.LastError();
  struct stat st {};
  EXPECT_EQ(stat((root.path + "/sys/class/gpio/export").c_str(), &st), 0);
  EXPECT_EQ(stat((root.path + "/sys/class/gpio/gpio14/direction").c_str(), &st), 0);
  EXPECT_EQ(ValueFileLevel(emulator.ValuePath()), '0');

  const int a = Connect(root.path + "/dev/i2c/0");
  const int b = Connect(emulator.SocketPath());
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(Exchange(a, {'A', 0x49, 0, 0}), (Bytes{0, 0}));
  EXPECT_EQ(Exchange(b, {'R', 2, 8, 0}), (Bytes{ENXIO, 0})) << "b selected nothing";
  Bytes write = {'W', 0, 9, 0};
  const Bytes frame = Frame(0x07, 1, 0);
  write.insert(write.end(), frame.begin(), frame.end());
  EXPECT_EQ(Exchange(a, write), (Bytes{0, 0}));
  EXPECT_EQ(ValueFileLevel(emulator.ValuePath()), '1');

  emulator.DropConnections();
  EXPECT_TRUE(Exchange(a, {'R', 0, 9, 0}).empty());
  close(a);
  close(b);
  const int c = Connect(emulator.SocketPath());
  ASSERT_GE(c, 0) << "still accepting after the drop";
  EXPECT_EQ(Exchange(c, {'A', 0x49, 0, 0}), (Bytes{0, 0}));
  close(c);
  emulator.Stop();
  EXPECT_NE(stat(emulator.SocketPath().c_str(), &st), 0) << "socket removed";
  EXPECT_EQ(emulator.mcu().OpenDoorRequests(), Bytes{1});
}

TEST(Emulator, RefusesToReplaceAFileThatIsNoSocket) {
  TempRoot root;
  mkdir((root.path + "/dev").c_str(), 0755);
  std::ofstream(root.path + "/dev/i2c-0") << "not a socket";
  Emulator emulator({root.path});
  EXPECT_FALSE(emulator.Start());
  EXPECT_NE(emulator.LastError().find("not a socket"), std::string::npos);
}

}  // namespace
}  // namespace emu
