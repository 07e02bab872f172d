// User handles on a bridge's link, reads and writes sent through them, their
// cancellation, and the checks of what they moved and how they ended: the
// same model as the host runner's, fed by the bus log.
#include <ntstatus.h>

#include "nt_status.h"
#include "script_args.h"
#include "script_words.h"
#include "wine_scenario.h"

namespace {

constexpr uint16_t kBulkTransfer = 0x0009;

std::string linkText(int digit) { return "\\DosDevices\\Harlen" + std::to_string(digit); }

}  // namespace

// open NAME [sync]: CreateFile on the bridge's link, overlapped unless "sync".
bool WineScenario::open(const std::string &name, Bridge &bridge, std::istream &args) {
  std::string word;
  bool sync = false;
  if (args >> word) {
    // The caller's bitness is the build's: a 32-bit caller is the i686 build.
    bool ownBitness = word == "32-bit" && sizeof(void *) == 4;
    if (word != "sync" && !ownBitness) return fail("open: cannot use " + word + " in this build");
    sync = word == "sync";
  }
  if (!endOfLine(args)) return fail("open takes a bridge name and sync only");
  if (bridge.file != INVALID_HANDLE_VALUE) return fail("open: a handle on " + name + " is open already");
  if (bridge.digit < 0 && !findDigit(name, bridge)) return false;
  std::wstring link = L"\\\\.\\Harlen" + std::to_wstring(bridge.digit);
  HANDLE file = CreateFileW(link.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, sync ? 0 : FILE_FLAG_OVERLAPPED, nullptr);
  setStatus(file == INVALID_HANDLE_VALUE ? lastNtStatus() : STATUS_SUCCESS);
  report("user", "open " + linkText(bridge.digit) + (sync ? " for synchronous requests" : "") + " -> " +
                     statusName(last_));
  bridge.file = file;
  bridge.sync = sync;
  return true;
}

bool WineScenario::close(const std::string &name, Bridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("close takes a bridge name only");
  if (bridge.file == INVALID_HANDLE_VALUE) return fail("close: no handle on " + name + " is open");
  setStatus(CloseHandle(bridge.file) ? STATUS_SUCCESS : lastNtStatus());
  bridge.file = INVALID_HANDLE_VALUE;
  report("user", "close " + linkText(bridge.digit) + " -> " + statusName(last_));
  return true;
}

bool WineScenario::read(const std::string &name, Bridge &bridge, std::istream &args) {
  return transfer(true, name, bridge, args);
}

bool WineScenario::write(const std::string &name, Bridge &bridge, std::istream &args) {
  return transfer(false, name, bridge, args);
}

// read NAME LEN [mapped|unmapped], write NAME LEN [pattern|zeros] [mapped|unmapped]. On a
// real kernel the buffer reaches the driver as an MDL either way: the words are accepted
// and change nothing. The status is the request's final one once the bus is quiet, or
// STATUS_PENDING.
bool WineScenario::transfer(bool in, const std::string &name, Bridge &bridge, std::istream &args) {
  auto sent = std::make_shared<WineTransfer>();
  sent->read = in;
  const std::string verb = sent->verb();
  TransferLine line;
  std::string error;
  if (!parseTransferLine(args, !in, line, error)) return fail(error);
  const uint32_t length = line.length;
  const bool pattern = line.pattern;
  if (bridge.file == INVALID_HANDLE_VALUE) return fail(verb + ": no handle on " + name + " is open");

  sent->mode = static_cast<HarlenBusMode>(in ? bridge.behaviour.reads : bridge.behaviour.writes);
  sent->bridge = bridge.number;
  sent->endpoint = bulkEndpoint(bridge.pipes, in);
  int pipe = pipeIndex(bridge.pipes, sent->endpoint);
  HarlenBusState state = {};
  if (pipe >= 0 && pipe < 4 && bus_.query(bridge.number, state)) sent->patternStart = state.streamOffset[pipe];
  sent->buffer.assign(length, 0);
  if (!in && pattern) fillPattern(sent->buffer, sent->patternStart);
  report("user", "-> " + verb + " of " + std::to_string(length) + " bytes on " + name +
                     (in ? "" : pattern ? " (pattern)" : " (zeros)"));
  sent->firstSequence = watch_.nextSequence();
  HANDLE file = bridge.file;
  WineTransfer *request = sent.get();
  issueRequest(bridge.sync, sent, [file, request](DWORD *moved, OVERLAPPED *overlapped) {
    DWORD size = static_cast<DWORD>(request->buffer.size());
    return request->read ? ReadFile(file, request->buffer.data(), size, moved, overlapped)
                         : WriteFile(file, request->buffer.data(), size, moved, overlapped);
  });
  bridge.last = sent;
  stepTransfer_ = sent;
  unreported_.push_back({name, sent});
  return true;
}

// cancel NAME: CancelIo on the handle, for the requests this thread sent through it (Wine only).
bool WineScenario::cancel(const std::string &name, Bridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("cancel takes a bridge name only");
  if (bridge.file == INVALID_HANDLE_VALUE) return fail("cancel: no handle on " + name + " is open");
  setStatus(CancelIo(bridge.file) ? STATUS_SUCCESS : lastNtStatus());
  return true;
}

// Once a request ended: its chunks are the bulk records on its pipe that arrived while it was sent.
void WineScenario::settle(const std::string &, Bridge &bridge, WineTransfer &done) {
  std::vector<ChunkRecord> chunks;
  const auto &records = watch_.records();
  for (auto it = records.lower_bound(done.firstSequence); it != records.end() && it->first < done.endSequence; ++it) {
    const HarlenWireRecord &r = it->second;
    if (r.kind == HarlenWireUrb && r.function == kBulkTransfer && r.bridge == done.bridge &&
        r.endpointAddress == done.endpoint)
      chunks.push_back({r.transferBufferLength, r.bytesMoved});
  }
  // A bridge on a real USB wire leaves no URB records: the request's bytes are
  // taken as one run from the start of its buffer, as a full or final-short read brings them.
  if (bus_.outsideMachine())
    chunks = {{static_cast<uint32_t>(done.buffer.size()), static_cast<uint32_t>(done.information())}};
  if (done.read)
    bridge.lastRead = settleRead(done.buffer, chunks, done.mode, done.patternStart, bridge.loopback);
  else
    settleWrite(done.buffer, chunks, done.mode, bridge.loopback);
  done.buffer = {};
}

// verify NAME: the bytes the last completed read moved are those its source gave.
bool WineScenario::verify(const std::string &name, Bridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("verify takes a bridge name only");
  if (!bridge.lastRead) return fail("verify: no read on " + name + " has completed");
  const ReadCheck &check = *bridge.lastRead;
  if (check.source.empty()) return fail("verify: the bus gave the last read on " + name + " no data to compare");
  if (check.mismatch)
    return fail("verify: byte " + std::to_string(*check.mismatch) + " of the last read on " + name + " differs from " +
                check.source);
  if (check.compared == 0) return fail("verify: the last read on " + name + " moved no byte");
  report("user", "verify: the " + std::to_string(check.compared) + " bytes last read on " + name + " equal " +
                     check.source);
  return true;
}

// expect-request NAME STATUS_NAME [information=N]: how the last read or write on NAME ended.
bool WineScenario::expectRequest(const std::string &name, Bridge &bridge, std::istream &args) {
  ExpectLine line;
  std::string error;
  if (!parseExpectRequestLine(args, line, error)) return fail(error);
  if (!bridge.last) return fail("expect-request: no read or write was sent on " + name);
  int32_t status = bridge.last->status();
  if (statusName(status) != line.status)
    return fail("expected the last request on " + name + " to end with " + line.status + ", got " +
                statusName(status));
  if (line.information && bridge.last->information() != *line.information)
    return fail("expected information " + std::to_string(*line.information) + " from the last request on " + name +
                ", got " + std::to_string(bridge.last->information()));
  return true;
}
