// Decoding of one event and its run on the machine.
#include "fuzz_events.h"

#include <cstring>

namespace {

constexpr ULONG kChunk = 0x20000;    // the pipes' maximum transfer size
constexpr ULONG kMaxChunks = 32767;  // more is refused at once

ULONG harlenCode(ULONG function) { return CTL_CODE(0x8000, function, METHOD_BUFFERED, FILE_ANY_ACCESS); }

// Mostly the seven codes the driver serves; otherwise any METHOD_BUFFERED code
// (the I/O manager's direct and neither methods are not modelled).
ULONG controlCode(ByteReader &input) {
  static const ULONG functions[] = {0x800, 0x801, 0x803, 0x804, 0x806, 0x808, 0x809};
  uint8_t pick = input.u8();
  if (pick < 0xE0) return harlenCode(functions[pick % 7]);
  return input.u32() & ~ULONG(3);
}

// Where a control-request record's Buffer points in the caller's address space.
enum class CallerBuffer { ReadWrite, ReadOnly, NoAccess, TooShort, Freed, Null, Arbitrary, Host };
constexpr unsigned kCallerBuffers = 8;

ULONG_PTR callerAddress(FuzzedMachine &machine, CallerBuffer kind, USHORT length, ByteReader &input) {
  sim::UserMemory &memory = sim::platform().userMemory;
  const size_t size = length ? length : 1;
  switch (kind) {
    case CallerBuffer::ReadWrite: return ULONG_PTR(memory.allocate(size, sim::UserAccess::ReadWrite));
    case CallerBuffer::ReadOnly: return ULONG_PTR(memory.allocate(size, sim::UserAccess::Read));
    case CallerBuffer::NoAccess: return ULONG_PTR(memory.allocate(size, sim::UserAccess::None));
    case CallerBuffer::TooShort:
      return ULONG_PTR(memory.allocate(size > 1 ? size - 1 - input.u8() % (size - 1) : 1, sim::UserAccess::ReadWrite));
    case CallerBuffer::Freed: {
      PVOID address = memory.allocate(size, sim::UserAccess::ReadWrite);
      memory.free(address);
      return ULONG_PTR(address);
    }
    case CallerBuffer::Null: return 0;
    case CallerBuffer::Arbitrary: return input.u32();
    case CallerBuffer::Host: return ULONG_PTR(machine.keepBuffer(size).data());
  }
  return 0;
}

// A control-request record: RequestType, Request, Value, Index, Length (u8 u8 u16 u16 u16), then a
// byte choosing the Buffer (low 3 bits: CallerBuffer; bit 7: the other caller's record width).
std::vector<uint8_t> controlRecord(FuzzedMachine &machine, ByteReader &input) {
  std::vector<uint8_t> record = input.bytes(8);
  USHORT length;
  memcpy(&length, &record[6], sizeof length);
  uint8_t choice = input.u8();
  ULONG_PTR address = callerAddress(machine, CallerBuffer(choice % kCallerBuffers), length, input);
  // 12 bytes for a 32-bit caller, 16 for a 64-bit one.
  const bool narrow = machine.caller32() != ((choice & 0x80) != 0);
  if (narrow) {
    ULONG address32 = ULONG(address);
    record.insert(record.end(), reinterpret_cast<uint8_t *>(&address32), reinterpret_cast<uint8_t *>(&address32 + 1));
  } else {
    uint64_t address64 = address;
    record.insert(record.end(), reinterpret_cast<uint8_t *>(&address64), reinterpret_cast<uint8_t *>(&address64 + 1));
  }
  return record;
}

// Input shapes: raw bytes (a length byte, or 0xF0 and up: a 16-bit length), a
// control-request record, one 32-bit word (abort selector, endpoint), or the
// fixed vendor requests' value and count.
std::vector<uint8_t> controlInput(FuzzedMachine &machine, ByteReader &input) {
  switch (input.u8() % 4) {
    case 0: {
      uint8_t length = input.u8();
      return input.bytes(length < 0xF0 ? length : input.u16());
    }
    case 1: return controlRecord(machine, input);
    case 2: return input.bytes(4);
    default: {
      std::vector<uint8_t> fixed(8, 0);
      USHORT value = input.u16();
      ULONG count = input.u16();
      memcpy(&fixed[0], &value, sizeof value);
      memcpy(&fixed[4], &count, sizeof count);
      return fixed;
    }
  }
}

// code, input, then the output length: a byte below 0x80, else a 16-bit length.
void deviceControl(FuzzedMachine &machine, ByteReader &input) {
  ULONG code = controlCode(input);
  std::vector<uint8_t> &in = machine.keepBuffer(0);
  in = controlInput(machine, input);
  uint8_t outputPick = input.u8();
  ULONG outputLength = outputPick < 0x80 ? outputPick : input.u16();
  std::vector<uint8_t> &out = machine.keepBuffer(outputLength);
  machine.track(machine.file().deviceControl(code, in.empty() ? nullptr : in.data(), ULONG(in.size()),
                                             out.empty() ? nullptr : out.data(), outputLength));
}

void pnpStep(FuzzedMachine &machine, ByteReader &input) { machine.pnpStep(PnpStep(input.u8() % kPnpSteps)); }

// One byte: bit 0 set-power (else query-power), bit 1 device (else system), the rest the state.
void powerRequest(FuzzedMachine &machine, ByteReader &input) {
  if (machine.state() == DeviceState::Removed) return;
  uint8_t pick = input.u8();
  UCHAR minor = (pick & 1) ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER;
  POWER_STATE state;
  POWER_STATE_TYPE type;
  if (pick & 2) {
    type = DevicePowerState;
    state.DeviceState = DEVICE_POWER_STATE(PowerDeviceD0 + (pick >> 2) % 4);
  } else {
    type = SystemPowerState;
    state.SystemState = SYSTEM_POWER_STATE(PowerSystemWorking + (pick >> 2) % 6);
  }
  machine.pnp().sendPower(machine.bridge(), minor, type, state);
}

// One byte: bit 0 write (else read), bit 1 mapped, bits 2-3 the length's kind:
// a 16-bit length, up to two whole chunks and a 16-bit remainder (more would
// only repeat chunks), a refused length (more than 32767 chunks, with a small
// buffer), or none.
void transfer(FuzzedMachine &machine, ByteReader &input) {
  uint8_t pick = input.u8();
  const bool write = pick & 1, mapped = pick & 2;
  ULONG length = 0, kept = 0;
  switch ((pick >> 2) % 4) {
    case 0: length = kept = input.u16(); break;
    case 1: length = kept = (input.u8() % 3) * kChunk + input.u16(); break;
    case 2:
      length = kMaxChunks * kChunk + 1 + input.u32() % (0xFFFFFFFFu - kMaxChunks * kChunk);
      kept = 64;
      break;
    default: break;
  }
  std::vector<uint8_t> &buffer = machine.keepBuffer(kept);
  void *data = buffer.empty() ? nullptr : buffer.data();
  machine.track(write ? machine.file().write(data, length, mapped) : machine.file().read(data, length, mapped));
}

// One byte: below 0x40 KxCancelPendingIo, while the device is started;
// otherwise KxCallAbortPipe with a selector byte (1 to 3 mostly, or a 32-bit one).
void cancel(FuzzedMachine &machine, ByteReader &input) {
  PDEVICE_OBJECT device = machine.fdo();
  uint8_t pick = input.u8();
  if (pick < 0x40) {
    if (device && KxExtension(device)->DeviceStarted) KxCancelPendingIo(device);
    return;
  }
  uint8_t selector = input.u8();
  ULONG value = selector < 0xF0 ? KX_SELECT_IN + selector % 3 : input.u32();
  if (device) KxCallAbortPipe(device, value);
}

sim::BulkMode bulkMode(ByteReader &input) { return sim::BulkMode(input.u8() % 6); }

// The vendor and class requests' answers, or a failure of one of them.
void vendorSetting(sim::VendorSetup &vendor, ByteReader &input) {
  switch (input.u8() % 6) {
    case 0: vendor.wordAtFFFC = input.u16(); break;
    case 1: vendor.wordAt00AE = input.u16(); break;
    case 2: vendor.vendor4In = input.bytes(input.u8()); break;
    case 3: vendor.vendor12In = input.bytes(input.u8()); break;
    case 4: vendor.maxLun = input.u8(); break;
    default: {
      uint8_t pick = input.u8();
      USBD_STATUS failure = pick & 0x80 ? USBD_STATUS_DEV_NOT_RESPONDING : USBD_STATUS_STALL_PID;
      if (pick & 0x40) vendor.failures.clear();
      else vendor.failures[sim::ControlRequest(pick % 5)] = failure;
      break;
    }
  }
}

// One byte selects: bulk read or write mode, short length, URB completion
// (inline, deferred, manual: never is a hang by construction), vendor answers,
// a stall of the n-th URB from now, the port status.
void busSetting(FuzzedMachine &machine, ByteReader &input) {
  sim::UsbBridge &bridge = machine.bridge();
  switch (input.u8() % 7) {
    case 0: bridge.bulk.reads = bulkMode(input); break;
    case 1: bridge.bulk.writes = bulkMode(input); break;
    case 2: bridge.bulk.shortLength = input.u16(); break;
    case 3: bridge.urbCompletion = sim::Completion(input.u8() % 3); break;
    case 4: vendorSetting(bridge.vendor, input); break;
    case 5: bridge.failUrb(1 + input.u8() % 8); break;
    default: bridge.portStatus = input.u8() % 4; break;
  }
}

// One byte: the head transfer of the IN or OUT pipe, or all both hold, completes; or the bridge is unplugged.
void busCompletion(FuzzedMachine &machine, ByteReader &input) {
  sim::UsbBridge &bridge = machine.bridge();
  switch (input.u8() % 4) {
    case 0: bridge.completeNext(0x81); break;
    case 1: bridge.completeNext(0x02); break;
    case 2:
      while (bridge.completeNext(0x81) || bridge.completeNext(0x02)) {
      }
      break;
    default: bridge.unplug(); break;
  }
}

}  // namespace

void runEvent(FuzzedMachine &machine, ByteReader &input) {
  switch (input.u8() % 8) {
    case 0:
    case 1: return deviceControl(machine, input);
    case 2: return pnpStep(machine, input);
    case 3: return powerRequest(machine, input);
    case 4: return transfer(machine, input);
    case 5: return cancel(machine, input);
    case 6: return busSetting(machine, input);
    default: return busCompletion(machine, input);
  }
}
