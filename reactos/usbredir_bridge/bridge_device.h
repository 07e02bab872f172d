// The bridge as a USB device sees it: setup packets on the default pipe and
// bulk packets on 0x81 and 0x02, answered as the simulator's bridge answers
// them (vendor and class requests, bulk modes), with no usbredir in sight so
// that it is tested without QEMU.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "script_args.h"

namespace bridge {

// How a request ended on the wire.
enum class Ending { Success, Stall, Cancelled, Gone };

struct SetupPacket {
  uint8_t requestType;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;
};

struct ControlAnswer {
  Ending ending;
  std::vector<uint8_t> data;  // IN: what the data stage carries
};

struct BulkPacket {
  uint64_t id;
  uint8_t endpoint;
  uint32_t length;            // IN: asked for; OUT: given
  std::vector<uint8_t> data;  // OUT only
  size_t tag = 0;             // the caller's own (its wire record)
};

struct BulkAnswer {
  BulkPacket packet;
  Ending ending;
  uint32_t moved = 0;
  std::vector<uint8_t> data = {};  // IN only
};

// The pattern's byte at stream offset k, as the simulator's bridge: k mod 251.
inline uint8_t patternByte(uint64_t offset) { return static_cast<uint8_t>(offset % 251); }

// An answer already sent, kept so that it can be undone (see BridgeDevice::withdraw).
struct SentAnswer {
  BulkPacket packet;  // without its OUT data
  BulkMode mode;
  uint32_t moved;
  std::vector<uint8_t> in;  // loopback IN: the bytes it took from the stream
};

struct PipeState {
  uint64_t offset = 0;  // bytes moved through the pipe since it was configured
  bool halted = false;
  std::optional<uint64_t> firstMismatch;  // pattern and short OUT: the first offset that broke the pattern
  std::deque<BulkPacket> held;
  std::deque<SentAnswer> sent;  // the latest answers, oldest first
};

class BridgeDevice {
 public:
  ControlAnswer control(const SetupPacket &setup, const std::vector<uint8_t> &dataOut);
  // false: no such configuration (the request stalls).
  bool setConfiguration(uint8_t value);
  uint8_t configuration() const { return configuration_; }
  bool setInterface(uint8_t interface, uint8_t alt) const { return interface == 0 && alt == 0; }

  // The answer, or nothing while the pipe holds it (the device NAKs).
  std::optional<BulkAnswer> bulk(BulkPacket packet);
  // A held packet the host gave up on; nothing when it was already answered.
  std::optional<BulkAnswer> cancel(uint64_t id);
  // The host cancelled a packet whose answer had already left: usbredir lets a cancel cross the
  // answer, and QEMU then drops the answer and runs the transfer again as a new packet, after
  // cancelling every later packet of the pipe too. That answer and every later one on its pipe
  // are undone, newest first, as if they had never come; returned as cancelled, nothing to send.
  std::vector<BulkAnswer> withdraw(uint64_t id);
  // New modes; held packets a mode no longer holds are answered in it, in order.
  std::vector<BulkAnswer> setBulk(const BulkLine &line);
  // Each direction that holds goes back to the mode it had before, answering what it held.
  std::vector<BulkAnswer> release();
  void setVendor(const VendorLine &line);
  // A port reset or an unplug: held packets end as given; the configuration, halts, offsets and
  // the loopback stream are cleared.
  std::vector<BulkAnswer> reset(Ending heldEnd);

  const PipeState &pipe(uint8_t endpoint) const { return pipes_.at(endpoint); }

 private:
  struct Direction {
    BulkMode mode = BulkMode::Loopback;
    BulkMode beforeHold = BulkMode::Loopback;
  };
  std::optional<ControlAnswer> standardRequest(const SetupPacket &setup);
  std::optional<std::vector<uint8_t>> vendorOrClassAnswer(const SetupPacket &setup) const;
  Direction &directionOf(uint8_t endpoint) { return endpoint & 0x80 ? reads_ : writes_; }
  void setMode(Direction &direction, BulkMode mode, std::vector<BulkAnswer> &answers);
  void serveHeld(uint8_t endpoint, std::vector<BulkAnswer> &answers);
  BulkAnswer answer(BulkPacket packet);
  void keepSent(const BulkAnswer &answer, BulkMode mode);
  void undo(PipeState &pipe, const SentAnswer &sent);
  uint32_t moveData(uint8_t endpoint, BulkMode mode, const BulkPacket &packet, std::vector<uint8_t> &in);

  uint8_t configuration_ = 0;
  Direction reads_, writes_;
  uint32_t shortLength_ = 512;
  std::map<uint8_t, PipeState> pipes_ = {{0x81, {}}, {0x02, {}}};
  std::deque<uint8_t> loopback_;  // OUT data not yet read back
  uint16_t wordAtFFFC_ = 7, wordAt00AE_ = 0x0100;
  uint8_t maxLun_ = 0;
  std::vector<uint8_t> vendor4In_, vendor12In_;
  std::vector<VendorRequest> stalls_;
};

}  // namespace bridge
