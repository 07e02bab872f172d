// Device controls through a user handle: the driver's codes by name, the
// recovery routines the host runner calls directly (abort, clear-stall,
// port-reset), which a program reaches through their device-control codes,
// and the general control request with its data stage in the runner's pages.
#include <ntstatus.h>

#include <algorithm>
#include <cstdio>

#include "nt_status.h"
#include "script_args.h"
#include "script_words.h"
#include "wine_scenario.h"

namespace {

// The shared names and codes are the driver's.
static_assert(driverControlCode(0x809) ==
              static_cast<uint32_t>(CTL_CODE(0x8000, 0x809, METHOD_BUFFERED, FILE_ANY_ACCESS)));

// The driver's recovery pauses half a second; a control never takes this long.
constexpr uint32_t kControlWithinMs = 30000;

// The runner's own pages for a control line's data stage, as the line asks for them.
class CallerPages {
 public:
  explicit CallerPages(const ControlLine &line)
      : size_(std::max<SIZE_T>(line.length, 1)),
        bytes_(static_cast<uint8_t *>(VirtualAlloc(nullptr, size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))) {
    if (bytes_ == nullptr) return;
    std::copy(line.data.begin(), line.data.end(), bytes_);
    DWORD before;
    if (line.buffer == CallerBuffer::ReadOnly) VirtualProtect(bytes_, size_, PAGE_READONLY, &before);
    // Still reserved, so nothing else lands at the address the record carries.
    if (line.buffer == CallerBuffer::Freed) VirtualFree(bytes_, size_, MEM_DECOMMIT);
  }
  ~CallerPages() {
    if (bytes_) VirtualFree(bytes_, 0, MEM_RELEASE);
  }
  CallerPages(const CallerPages &) = delete;
  CallerPages &operator=(const CallerPages &) = delete;
  uint8_t *bytes() const { return bytes_; }
  // A request that has not ended may still have the pages locked: they stay.
  void keep() { bytes_ = nullptr; }

 private:
  SIZE_T size_;
  uint8_t *bytes_;
};

std::vector<uint8_t> wordBytes(uint32_t word) {
  return {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)};
}

}  // namespace

bool WineScenario::sendControl(const std::string &verb, const std::string &name, Bridge &bridge, DWORD code,
                               const std::vector<uint8_t> &input, uint32_t outputLength) {
  if (bridge.file == INVALID_HANDLE_VALUE) return fail(verb + ": no handle on " + name + " is open");
  const std::string label = "DEVICE_CONTROL " + controlCodeName(code) + " on " + name;
  report("user", "-> " + label + ": input " + std::to_string(input.size()) + " bytes, output " +
                     std::to_string(outputLength) + " bytes");
  // The system buffer is copied from the input when the request is made; the output stays with the request.
  auto request = std::make_shared<WineRequest>();
  request->buffer.assign(outputLength, 0);
  HANDLE file = bridge.file;
  WineRequest *sent = request.get();
  issueRequest(bridge.sync, request, [file, code, input, sent](DWORD *moved, OVERLAPPED *overlapped) {
    DWORD ignored;
    void *in = input.empty() ? nullptr : const_cast<uint8_t *>(input.data());
    return DeviceIoControl(file, code, in, static_cast<DWORD>(input.size()),
                           sent->buffer.empty() ? nullptr : sent->buffer.data(),
                           static_cast<DWORD>(sent->buffer.size()), moved ? moved : &ignored, overlapped);
  });
  if (!watch_.waitFor([&] { return request->done(); }, kControlWithinMs, label)) {
    setStatus(STATUS_PENDING);
    report("user", "   " + label + " has not ended");
    unendedControls_.push_back(request);
    return true;
  }
  setStatus(request->status());
  // Only the ioctl and control lines report information; the recovery lines stand for routines that give none.
  if (verb == "ioctl" || verb == "control") lastInformation_ = request->information();
  report("user", "<- " + label + ": " + statusName(last_) + ", information " + std::to_string(request->information()));
  size_t copied = std::min<size_t>(request->information(), outputLength);
  if (last_ >= 0 && copied) report("user", "   output: " + shownBytes(request->buffer.data(), copied));
  return true;
}

// ioctl NAME CODE [in=HEX...] [out=LEN]
bool WineScenario::ioctl(const std::string &name, Bridge &bridge, std::istream &args) {
  IoctlLine line;
  std::string error;
  if (!parseIoctlLine(args, line, error)) return fail(error);
  return sendControl("ioctl", name, bridge, line.code, line.input, line.outputLength);
}

// abort NAME SELECTOR: the abort-pipe code (1 the IN pipe, 2 the OUT pipe, 3 the transfer in flight).
bool WineScenario::abort(const std::string &name, Bridge &bridge, std::istream &args) {
  std::string text;
  unsigned long selector;
  if (!(args >> text) || !parseDecimal(text, selector) || selector > 0xFFFFFFFF || !endOfLine(args))
    return fail("abort needs a selector: 1, 2, 3");
  return sendControl("abort", name, bridge, driverControlCode(0x801), wordBytes(static_cast<uint32_t>(selector)), 0);
}

// clear-stall NAME EP: the clear-stall code for the endpoint.
bool WineScenario::clearStall(const std::string &name, Bridge &bridge, std::istream &args) {
  uint8_t endpoint;
  std::string error;
  if (!parseClearStallLine(args, endpoint, error)) return fail(error);
  return sendControl("clear-stall", name, bridge, driverControlCode(0x809), wordBytes(endpoint), 0);
}

// port-reset NAME [status=HEX]: the port reports this status word from now on, then the reset-device code.
bool WineScenario::portReset(const std::string &name, Bridge &bridge, std::istream &args) {
  std::optional<uint32_t> status;
  std::string error;
  if (!parsePortResetLine(args, status, error)) return fail(error);
  if (status) {
    HarlenBusBehaviour behaviour = bridge.behaviour;
    behaviour.portStatus = *status;
    if (!bus_.behave(behaviour)) return fail(bus_.error());
    bridge.behaviour = behaviour;
  }
  return sendControl("port-reset", name, bridge, driverControlCode(0x808), {}, 0);
}

// control NAME type=HEX request=HEX [value=HEX] [index=HEX] [length=N] [data=HEX...|buffer=bad|buffer=readonly]:
// the general control request, its data stage in this process's own pages,
// which the driver locks and maps in the caller's context (refused on Wine).
bool WineScenario::control(const std::string &name, Bridge &bridge, std::istream &args) {
  ControlLine line;
  std::string error;
  if (!parseControlLine(args, line, error)) return fail(error);
  CallerPages pages(line);
  if (pages.bytes() == nullptr) return fail("control: no pages for the caller's buffer");
  report("user", "-> control on " + name + ": length " + std::to_string(line.length) + ", " +
                     callerBufferName(line.buffer) + " buffer");
  std::vector<uint8_t> record = controlRecord(line, reinterpret_cast<uintptr_t>(pages.bytes()), sizeof(void *));
  if (!sendControl("control", name, bridge, driverControlCode(0x806), record, 0)) return false;
  if (last_ == STATUS_PENDING) pages.keep();
  constexpr uint8_t kDeviceToHost = 0x80;
  if (last_ >= 0 && last_ != STATUS_PENDING && (line.type & kDeviceToHost))
    report("user", "   the caller's buffer: " + shownBytes(pages.bytes(), line.length));
  return true;
}
