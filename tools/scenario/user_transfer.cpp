#include "user_transfer.h"

namespace {

std::string bytes(ULONG count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

// The transfer URBs among the records, in the order the bus queued and completed them.
std::vector<const sim::UrbRecord *> chunks(const sim::UsbBridge &bridge, size_t first, size_t end) {
  std::vector<const sim::UrbRecord *> found;
  for (size_t i = first; i < end; ++i)
    if (bridge.urbs()[i].function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) found.push_back(&bridge.urbs()[i]);
  return found;
}

}  // namespace

void fillPattern(std::vector<UCHAR> &bytes, uint64_t streamOffset) {
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = sim::patternByte(streamOffset + i);
}

std::string UserTransfer::chunkSummary(const sim::UsbBridge &bridge) const {
  std::vector<std::pair<ULONG, size_t>> runs;  // length, count, in order
  auto sent = chunks(bridge, firstRecord, endRecord);
  for (const sim::UrbRecord *urb : sent) {
    if (runs.empty() || runs.back().first != urb->transferBufferLength) runs.push_back({urb->transferBufferLength, 0});
    ++runs.back().second;
  }
  if (sent.empty()) return "no chunk";
  std::string text = std::to_string(sent.size()) + (sent.size() == 1 ? " chunk" : " chunks");
  if (runs.size() == 1) return text + " of " + bytes(runs[0].first);
  text += ":";
  for (size_t i = 0; i < runs.size(); ++i)
    text += std::string(i ? ", " : " ") + std::to_string(runs[i].second) + " of " + bytes(runs[i].first);
  return text;
}

void UserTransfer::settle(const sim::UsbBridge &bridge, std::deque<UCHAR> &loopback, ReadCheck &check) {
  bool loops = mode == sim::BulkMode::Loopback;
  bool patterned = mode == sim::BulkMode::Pattern || mode == sim::BulkMode::Short;
  if (major == IRP_MJ_READ) {
    check = ReadCheck();
    check.source = loops ? "the loopback stream" : patterned ? "the pattern" : "";
  }
  uint64_t offset = 0, streamOffset = patternStart;
  for (const sim::UrbRecord *urb : chunks(bridge, firstRecord, endRecord)) {
    const UCHAR *bytes = buffer.data() + offset;
    if (major == IRP_MJ_WRITE && loops) loopback.insert(loopback.end(), bytes, bytes + urb->bytesMoved);
    for (ULONG i = 0; major == IRP_MJ_READ && (loops || patterned) && i < urb->bytesMoved; ++i, ++check.compared) {
      // The bus moves no more than the stream holds: an empty model is a mismatch too.
      bool same =
          loops ? !loopback.empty() && loopback.front() == bytes[i] : sim::patternByte(streamOffset + i) == bytes[i];
      if (loops && !loopback.empty()) loopback.pop_front();
      if (!same && !check.mismatch) check.mismatch = offset + i;
    }
    offset += urb->transferBufferLength;
    streamOffset += urb->bytesMoved;
  }
  buffer = {};
}
