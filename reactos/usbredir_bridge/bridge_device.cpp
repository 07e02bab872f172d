// Setup packets are read as the simulator's bridge reads the URBs they come
// from (control_requests.cpp there); bulk modes as its pipes (bulk_pipes.cpp).
#include "bridge_device.h"

#include <algorithm>

#include "descriptors.h"

namespace bridge {

namespace {

// bmRequestType: direction, type, recipient.
constexpr uint8_t kIn = 0x80;
constexpr uint8_t kStandard = 0, kClass = 1, kVendor = 2;
constexpr uint8_t kToDevice = 0, kToInterface = 1, kToEndpoint = 2;
// Standard requests and the one feature an endpoint has.
constexpr uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kGetDescriptor = 6;
constexpr uint16_t kEndpointHalt = 0;

uint8_t typeOf(const SetupPacket &s) { return (s.requestType >> 5) & 3; }
uint8_t recipientOf(const SetupPacket &s) { return s.requestType & 0x1F; }
bool isIn(const SetupPacket &s) { return (s.requestType & kIn) != 0; }

std::vector<uint8_t> littleEndian(uint16_t word) { return {uint8_t(word), uint8_t(word >> 8)}; }

std::optional<VendorRequest> recognise(const SetupPacket &s) {
  if (recipientOf(s) != kToDevice) return std::nullopt;
  if (typeOf(s) == kClass)
    return isIn(s) && s.request == 0xFE && s.value == 0 && s.index == 0
               ? std::optional<VendorRequest>(VendorRequest::GetMaxLun)
               : std::nullopt;
  if (typeOf(s) != kVendor) return std::nullopt;
  if (s.request == 4) return VendorRequest::Vendor4;
  if (s.request == 12) return VendorRequest::Vendor12;
  if (!isIn(s) || s.request != 0xFF || s.value != 7) return std::nullopt;
  if (s.index == 0xFFFC) return VendorRequest::WordAtFFFC;
  if (s.index == 0x00AE) return VendorRequest::WordAt00AE;
  return std::nullopt;
}

ControlAnswer stall() { return {Ending::Stall, {}}; }

}  // namespace

ControlAnswer BridgeDevice::control(const SetupPacket &setup, const std::vector<uint8_t> &dataOut) {
  (void)dataOut;  // OUT data is taken and kept only in the wire log
  std::optional<std::vector<uint8_t>> answer;
  if (typeOf(setup) == kStandard) {
    std::optional<ControlAnswer> standard = standardRequest(setup);
    if (!standard) return stall();
    answer = standard->data;
  } else {
    answer = vendorOrClassAnswer(setup);
    if (!answer) return stall();
  }
  if (!isIn(setup)) return {Ending::Success, {}};
  // An answer longer than the data stage is cut to it; a shorter one ends it early.
  if (answer->size() > setup.length) answer->resize(setup.length);
  return {Ending::Success, std::move(*answer)};
}

std::optional<ControlAnswer> BridgeDevice::standardRequest(const SetupPacket &setup) {
  const uint8_t endpoint = static_cast<uint8_t>(setup.index);
  const bool toPipe = recipientOf(setup) == kToEndpoint && pipes_.count(endpoint);
  switch (setup.request) {
    case kGetDescriptor: {
      if (!isIn(setup) || recipientOf(setup) != kToDevice) return std::nullopt;
      std::vector<uint8_t> answer = descriptor(setup.value >> 8, setup.value & 0xFF);
      if (answer.empty()) return std::nullopt;
      return ControlAnswer{Ending::Success, answer};
    }
    case kGetStatus:
      if (!isIn(setup)) return std::nullopt;
      if (recipientOf(setup) == kToDevice || recipientOf(setup) == kToInterface)
        return ControlAnswer{Ending::Success, {0, 0}};
      if (recipientOf(setup) == kToEndpoint && (toPipe || endpointAt(endpoint) || (endpoint & 0x7F) == 0))
        return ControlAnswer{Ending::Success, {uint8_t(toPipe && pipes_[endpoint].halted), 0}};
      return std::nullopt;
    case kClearFeature:
    case kSetFeature:
      // Only an endpoint's halt: clearing it also restarts the pipe's data toggle, as on a device.
      if (isIn(setup) || setup.value != kEndpointHalt || recipientOf(setup) != kToEndpoint || !endpointAt(endpoint))
        return std::nullopt;
      if (toPipe) pipes_[endpoint].halted = setup.request == kSetFeature;
      return ControlAnswer{Ending::Success, {}};
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> BridgeDevice::vendorOrClassAnswer(const SetupPacket &setup) const {
  std::optional<VendorRequest> kind = recognise(setup);
  if (!kind || std::count(stalls_.begin(), stalls_.end(), *kind)) return std::nullopt;
  switch (*kind) {
    case VendorRequest::WordAtFFFC: return littleEndian(wordAtFFFC_);
    case VendorRequest::WordAt00AE: return littleEndian(wordAt00AE_);
    case VendorRequest::Vendor4: return vendor4In_;
    case VendorRequest::Vendor12: return vendor12In_;
    case VendorRequest::GetMaxLun: return std::vector<uint8_t>{maxLun_};
  }
  return std::nullopt;
}

void BridgeDevice::setVendor(const VendorLine &line) {
  if (line.wordAtFFFC) wordAtFFFC_ = *line.wordAtFFFC;
  if (line.wordAt00AE) wordAt00AE_ = *line.wordAt00AE;
  if (line.maxLun) maxLun_ = *line.maxLun;
  if (line.vendor4In) vendor4In_ = *line.vendor4In;
  if (line.vendor12In) vendor12In_ = *line.vendor12In;
  stalls_.insert(stalls_.end(), line.stalls.begin(), line.stalls.end());
}

bool BridgeDevice::setConfiguration(uint8_t value) {
  if (value != 0 && value != kConfigurationValue) return false;
  configuration_ = value;
  for (auto &[address, pipe] : pipes_) {
    pipe.offset = 0;
    pipe.halted = false;
    pipe.firstMismatch.reset();
    pipe.sent.clear();
  }
  return true;
}

std::optional<BulkAnswer> BridgeDevice::bulk(BulkPacket packet) {
  auto pipe = pipes_.find(packet.endpoint);
  if (configuration_ == 0 || pipe == pipes_.end()) return BulkAnswer{std::move(packet), Ending::Stall};
  if (!pipe->second.halted && directionOf(packet.endpoint).mode == BulkMode::Hold) {
    pipe->second.held.push_back(std::move(packet));
    return std::nullopt;
  }
  return answer(std::move(packet));
}

BulkAnswer BridgeDevice::answer(BulkPacket packet) {
  PipeState &pipe = pipes_[packet.endpoint];
  const BulkMode mode = directionOf(packet.endpoint).mode;
  if (mode == BulkMode::Stall) pipe.halted = true;
  if (pipe.halted) return {std::move(packet), Ending::Stall};
  BulkAnswer done{std::move(packet), Ending::Success};
  done.moved = moveData(done.packet.endpoint, mode, done.packet, done.data);
  pipe.offset += done.moved;
  keepSent(done, mode);
  return done;
}

// Enough for every packet QEMU can have in flight on a pipe.
constexpr size_t kSentKept = 4096;

void BridgeDevice::keepSent(const BulkAnswer &answer, BulkMode mode) {
  std::deque<SentAnswer> &sent = pipes_[answer.packet.endpoint].sent;
  BulkPacket packet{answer.packet.id, answer.packet.endpoint, answer.packet.length, {}, answer.packet.tag};
  const bool loopbackIn = mode == BulkMode::Loopback && (answer.packet.endpoint & 0x80);
  sent.push_back({std::move(packet), mode, answer.moved, loopbackIn ? answer.data : std::vector<uint8_t>{}});
  if (sent.size() > kSentKept) sent.pop_front();
}

std::vector<BulkAnswer> BridgeDevice::withdraw(uint64_t id) {
  std::vector<BulkAnswer> withdrawn;
  // QEMU's packet id is the transfer descriptor's address, which the guest reuses: the
  // cancel is for the newest packet with that id.
  for (auto &[address, pipe] : pipes_) {
    auto newest = std::find_if(pipe.sent.rbegin(), pipe.sent.rend(), [id](const SentAnswer &s) { return s.packet.id == id; });
    if (newest == pipe.sent.rend()) continue;
    for (auto count = newest - pipe.sent.rbegin() + 1; count > 0; --count) {
      undo(pipe, pipe.sent.back());
      withdrawn.push_back({std::move(pipe.sent.back().packet), Ending::Cancelled});
      pipe.sent.pop_back();
    }
  }
  return withdrawn;
}

void BridgeDevice::undo(PipeState &pipe, const SentAnswer &sent) {
  pipe.offset -= sent.moved;
  if (pipe.firstMismatch && *pipe.firstMismatch >= pipe.offset) pipe.firstMismatch.reset();
  if (sent.mode != BulkMode::Loopback) return;
  if (sent.packet.endpoint & 0x80) {
    loopback_.insert(loopback_.begin(), sent.in.begin(), sent.in.end());
  } else {
    loopback_.erase(loopback_.end() - std::min<size_t>(sent.moved, loopback_.size()), loopback_.end());
  }
}

uint32_t BridgeDevice::moveData(uint8_t endpoint, BulkMode mode, const BulkPacket &packet, std::vector<uint8_t> &in) {
  PipeState &pipe = pipes_[endpoint];
  const bool reads = endpoint & 0x80;
  size_t size = packet.length;
  if (mode == BulkMode::Short) size = std::min<size_t>(size, shortLength_);
  if (mode == BulkMode::Loopback && reads) {
    size = std::min(size, loopback_.size());
    in.assign(loopback_.begin(), loopback_.begin() + size);
    loopback_.erase(loopback_.begin(), loopback_.begin() + size);
  } else if (mode == BulkMode::Loopback) {
    loopback_.insert(loopback_.end(), packet.data.begin(), packet.data.end());
  } else if (mode == BulkMode::Discard) {
    if (reads) in.assign(size, 0);
  } else if (reads) {
    in.resize(size);
    for (size_t k = 0; k < size; ++k) in[k] = patternByte(pipe.offset + k);
  } else {
    for (size_t k = 0; k < size && !pipe.firstMismatch; ++k)
      if (packet.data[k] != patternByte(pipe.offset + k)) pipe.firstMismatch = pipe.offset + k;
  }
  return static_cast<uint32_t>(size);
}

std::optional<BulkAnswer> BridgeDevice::cancel(uint64_t id) {
  for (auto &[address, pipe] : pipes_) {
    auto held = std::find_if(pipe.held.begin(), pipe.held.end(), [id](const BulkPacket &p) { return p.id == id; });
    if (held == pipe.held.end()) continue;
    BulkAnswer cancelled{std::move(*held), Ending::Cancelled};
    pipe.held.erase(held);
    return cancelled;
  }
  return std::nullopt;
}

void BridgeDevice::setMode(Direction &direction, BulkMode mode, std::vector<BulkAnswer> &answers) {
  if (mode == BulkMode::Hold && direction.mode != BulkMode::Hold) direction.beforeHold = direction.mode;
  direction.mode = mode;
  if (mode != BulkMode::Hold) serveHeld(&direction == &reads_ ? 0x81 : 0x02, answers);
}

void BridgeDevice::serveHeld(uint8_t endpoint, std::vector<BulkAnswer> &answers) {
  std::deque<BulkPacket> held = std::move(pipes_[endpoint].held);
  pipes_[endpoint].held.clear();
  for (BulkPacket &packet : held) answers.push_back(answer(std::move(packet)));
}

std::vector<BulkAnswer> BridgeDevice::setBulk(const BulkLine &line) {
  std::vector<BulkAnswer> answers;
  if (line.shortLength) shortLength_ = *line.shortLength;
  if (line.reads) setMode(reads_, *line.reads, answers);
  if (line.writes) setMode(writes_, *line.writes, answers);
  return answers;
}

std::vector<BulkAnswer> BridgeDevice::release() {
  std::vector<BulkAnswer> answers;
  for (Direction *direction : {&reads_, &writes_})
    if (direction->mode == BulkMode::Hold) setMode(*direction, direction->beforeHold, answers);
  return answers;
}

std::vector<BulkAnswer> BridgeDevice::reset(Ending heldEnd) {
  std::vector<BulkAnswer> ended;
  for (auto &[address, pipe] : pipes_) {
    for (BulkPacket &packet : pipe.held) ended.push_back({std::move(packet), heldEnd});
    pipe.held.clear();
  }
  loopback_.clear();
  setConfiguration(0);
  return ended;
}

}  // namespace bridge
