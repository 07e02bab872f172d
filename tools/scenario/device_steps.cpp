// Device controls through a user handle: the driver's codes by name, the input
// and output as the I/O manager's system buffer carries them, and the general
// control request whose data stage lies in the caller's address space.
#include <algorithm>
#include <cstdio>

#include "harlen.h"
#include "scenario.h"
#include "script_args.h"
#include "script_words.h"

namespace {

// The shared names and codes are the driver's.
static_assert(driverControlCode(0x806) ==
              static_cast<uint32_t>(CTL_CODE(0x8000, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS)));

std::string hex(unsigned long value, int digits) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*lX", digits, value);
  return text;
}

void report(const std::string &text) { sim::platform().trace.addMade("user", text); }

}  // namespace

std::shared_ptr<sim::UserRequest> Scenario::sendControl(const std::string &verb, const std::string &name, ULONG code,
                                                        const std::vector<uint8_t> &input,
                                                        std::vector<uint8_t> &output) {
  UserSide &user = users_[name];
  const std::string label = "DEVICE_CONTROL " + controlCodeName(code) + " on " + name;
  report("-> " + label + ": input " + std::to_string(input.size()) + " bytes, output " + std::to_string(output.size()) +
         " bytes");
  auto request = user.file->deviceControl(code, input.data(), static_cast<ULONG>(input.size()), output.data(),
                                          static_cast<ULONG>(output.size()));
  if (!request) {
    fail(verb + ": " + sim::hexCode(code) + " is not a METHOD_BUFFERED code");
    return nullptr;
  }
  if (!request->waitForCompletion()) {
    // The I/O manager may still copy into the output: it stays for the rest of the run.
    strandedOutputs_.push_back(std::move(output));
    setStatus(STATUS_PENDING);
    report("   " + label + " has not ended; the driver returned " + sim::statusName(request->returned));
    return request;
  }
  setStatus(request->status);
  lastInformation_ = request->information;
  report("<- " + label + ": " + sim::statusName(request->status) + ", information " +
         std::to_string(request->information));
  size_t copied = std::min<size_t>(request->information, output.size());
  if (NT_SUCCESS(request->status) && copied) report("   output: " + shownBytes(output.data(), copied));
  return request;
}

// ioctl NAME CODE [in=HEX...] [out=LEN]
bool Scenario::ioctl(const std::string &name, sim::UsbBridge &, std::istream &args) {
  IoctlLine line;
  std::string error;
  if (!parseIoctlLine(args, line, error)) return fail(error);
  if (!users_[name].file) return fail("ioctl: no handle on " + name + " is open");
  std::vector<uint8_t> output(line.outputLength, 0);
  return sendControl("ioctl", name, line.code, line.input, output) != nullptr;
}

// control NAME type=HEX request=HEX [value=HEX] [index=HEX] [length=N] [data=HEX...|buffer=bad|buffer=readonly]:
// the general control request, its data stage in a buffer of the caller's address space.
bool Scenario::control(const std::string &name, sim::UsbBridge &, std::istream &args) {
  ControlLine line;
  std::string error;
  if (!parseControlLine(args, line, error)) return fail(error);
  if (!users_[name].file) return fail("control: no handle on " + name + " is open");
  sim::UserMemory &memory = sim::platform().userMemory;
  PVOID buffer = memory.allocate(std::max<uint32_t>(line.length, 1), line.buffer == CallerBuffer::ReadOnly
                                                                         ? sim::UserAccess::Read
                                                                         : sim::UserAccess::ReadWrite);
  std::copy(line.data.begin(), line.data.end(), memory.bytes(buffer));
  if (line.buffer == CallerBuffer::Freed) memory.free(buffer);
  report("-> control on " + name + ": type " + hex(line.type, 2) + ", request " + hex(line.request, 2) + ", value " +
         hex(line.value, 4) + ", index " + hex(line.index, 4) + ", length " + std::to_string(line.length) + ", " +
         callerBufferName(line.buffer) + " buffer");
  std::vector<uint8_t> noOutput;
  size_t addressSize = users_[name].caller32 ? 4 : sizeof(PVOID);
  auto request = sendControl("control", name, driverControlCode(0x806),
                             controlRecord(line, reinterpret_cast<uintptr_t>(buffer), addressSize), noOutput);
  if (!request) return false;
  // A request that has not ended may still have the buffer's pages locked: it stays.
  if (line.buffer == CallerBuffer::Freed || !request->completed) return true;
  if (NT_SUCCESS(request->status) && (line.type & KX_REQUEST_IN))
    report("   the caller's buffer: " + shownBytes(memory.bytes(buffer), line.length));
  memory.free(buffer);
  return true;
}
