// The control device (\\.\HarlenTestBus): the test plugs and unplugs bridges,
// sets how they answer, injects faults, completes held transfers and reads
// the log. Requests are buffered and complete at once, except the direct
// transfers (direct.cpp).
#include "bus.h"

namespace {

struct Buffers {
  PVOID data;  // the buffered input, and output in place
  ULONG inLength;
  ULONG outLength;
};

void SetDefaults(Bridge &bridge) {
  bridge.behaviour = {bridge.number, HarlenLoopback, HarlenLoopback, 512, HarlenDeferred, USBD_PORT_CONNECTED | USBD_PORT_ENABLED};
  bridge.vendor.bridge = bridge.number;
  bridge.vendor.wordAtFFFC = 7;
  bridge.vendor.wordAt00AE = 0x0100;
  InitializeListHead(&bridge.loopback);
  InitializeListHead(&bridge.finished);
}

NTSTATUS Plug(const Buffers &io, ULONG_PTR &information) {
  auto plug = static_cast<const HarlenBusPlug *>(io.data);
  if (io.inLength < FIELD_OFFSET(HarlenBusPlug, config) || io.outLength < sizeof(uint32_t) ||
      plug->configLength > HARLEN_BUS_MAX_CONFIG || io.inLength < FIELD_OFFSET(HarlenBusPlug, config) + plug->configLength)
    return STATUS_INVALID_PARAMETER;
  if (TheBus.fdo == nullptr) return STATUS_DEVICE_NOT_READY;
  auto bridge = static_cast<Bridge *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Bridge), kBusTag));
  if (bridge == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(bridge, sizeof *bridge);
  bridge->vendorId = plug->vendorId;
  bridge->productId = plug->productId;
  bridge->configLength = plug->configLength;
  RtlCopyMemory(bridge->config, plug->config, plug->configLength);
  if (plug->configLength == 0) SetStandardConfig(*bridge);
  {
    BusLock guard;
    if (TheBus.bridgeCount == kMaxBridges) {
      guard.Release();
      ExFreePoolWithTag(bridge, kBusTag);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    bridge->number = TheBus.bridgeCount;
    SetDefaults(*bridge);
    TheBus.bridges[TheBus.bridgeCount++] = bridge;  // not present until its PDO exists
  }
  NTSTATUS status = CreateChild(*bridge);
  if (!NT_SUCCESS(status)) return status;
  {
    BusLock guard;
    bridge->present = TRUE;
  }
  *static_cast<uint32_t *>(io.data) = bridge->number;
  information = sizeof(uint32_t);
  IoInvalidateDeviceRelations(TheBus.rootPdo, BusRelations);
  return STATUS_SUCCESS;
}

// The bridge a request names by its first field, or NULL.
Bridge *NamedBridge(const Buffers &io, ULONG size) {
  return io.inLength >= size && io.inLength >= sizeof(uint32_t) ? BridgeAt(*static_cast<const uint32_t *>(io.data)) : nullptr;
}

NTSTATUS SetBehaviour(const Buffers &io) {
  Bridge *bridge = NamedBridge(io, sizeof(HarlenBusBehaviour));
  auto behaviour = static_cast<const HarlenBusBehaviour *>(io.data);
  if (bridge == nullptr) return STATUS_INVALID_PARAMETER;
  if (behaviour->reads > HarlenDiscard || behaviour->writes > HarlenDiscard || behaviour->completion > HarlenManual)
    return STATUS_INVALID_PARAMETER;
  {
    BusLock guard;
    bridge->behaviour = *behaviour;
    if (!bridge->present) bridge->behaviour.portStatus = 0;  // nothing is connected to the port
  }
  KickDpc();  // held transfers may go now
  return STATUS_SUCCESS;
}

NTSTATUS SetVendor(const Buffers &io) {
  Bridge *bridge = NamedBridge(io, sizeof(HarlenBusVendor));
  auto vendor = static_cast<const HarlenBusVendor *>(io.data);
  if (bridge == nullptr || vendor->vendor4Length > HARLEN_BUS_MAX_ANSWER || vendor->vendor12Length > HARLEN_BUS_MAX_ANSWER)
    return STATUS_INVALID_PARAMETER;
  BusLock guard;
  bridge->vendor = *vendor;
  return STATUS_SUCCESS;
}

NTSTATUS ArmFault(const Buffers &io) {
  Bridge *bridge = NamedBridge(io, sizeof(HarlenBusFault));
  auto fault = static_cast<const HarlenBusFault *>(io.data);
  if (bridge == nullptr || fault->kind > HarlenDropNext) return STATUS_INVALID_PARAMETER;
  BusLock guard;
  bridge->fault = *fault;
  bridge->faultArmed = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS Complete(const Buffers &io, ULONG_PTR &information) {
  Bridge *bridge = NamedBridge(io, sizeof(HarlenBusComplete));
  auto complete = static_cast<const HarlenBusComplete *>(io.data);
  if (bridge == nullptr || io.outLength < sizeof(uint32_t)) return STATUS_INVALID_PARAMETER;
  uint32_t completed = CompleteHeads(*bridge, complete->endpointAddress, complete->all != 0);
  *static_cast<uint32_t *>(io.data) = completed;
  information = sizeof completed;
  return STATUS_SUCCESS;
}

NTSTATUS Query(const Buffers &io, ULONG_PTR &information) {
  Bridge *bridge = NamedBridge(io, sizeof(uint32_t));
  if (bridge == nullptr || io.outLength < sizeof(HarlenBusState)) return STATUS_INVALID_PARAMETER;
  HarlenBusState state = {};
  {
    BusLock guard;
    state.present = bridge->present;
    state.attached = bridge->pdo && bridge->pdo->AttachedDevice;
    state.started = bridge->started;
    state.configured = bridge->configured;
    state.pipeCount = bridge->pipeCount;
    state.portResets = bridge->portResets;
    for (ULONG i = 0; i < 4; ++i) {
      const bool pipe = i < bridge->pipeCount;
      state.queued[i] = pipe ? bridge->pipes[i].queued : 0;
      state.streamOffset[i] = pipe ? bridge->pipes[i].offset : 0;
      state.firstPatternMismatch[i] = pipe ? bridge->pipes[i].firstMismatch : kNoMismatch;
    }
    state.busy = DpcBusy() || !IsListEmpty(&bridge->finished);
    state.logDropped = TheBus.log.dropped;
  }
  *static_cast<HarlenBusState *>(io.data) = state;
  information = sizeof state;
  return STATUS_SUCCESS;
}

NTSTATUS ReadLog(const Buffers &io, ULONG_PTR &information) {
  if (io.inLength < sizeof(uint32_t)) return STATUS_INVALID_PARAMETER;
  ULONG first = *static_cast<const uint32_t *>(io.data);
  ULONG count = WireLogRead(first, static_cast<HarlenWireRecord *>(io.data), io.outLength / sizeof(HarlenWireRecord));
  information = count * sizeof(HarlenWireRecord);
  return STATUS_SUCCESS;
}

}  // namespace

Bridge *BridgeAt(ULONG number) {
  BusLock guard;
  return number < TheBus.bridgeCount ? TheBus.bridges[number] : nullptr;
}

// The bridge leaves the bus: what it holds fails as for a removed device, the
// port shows nothing, and the PnP manager learns it is gone.
void Unplug(Bridge &bridge) {
  PDEVICE_OBJECT never_reported = nullptr;
  {
    BusLock guard;
    if (!bridge.present) return;
    bridge.present = FALSE;
    bridge.faultArmed = FALSE;
    bridge.behaviour.portStatus = 0;
    if (!bridge.reported) {
      never_reported = bridge.pdo;
      bridge.pdo = nullptr;
    }
  }
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  FailQueued(bridge, -1, USBD_STATUS_DEVICE_GONE);
  KeLowerIrql(irql);
  if (never_reported)
    IoDeleteDevice(never_reported);
  else if (TheBus.rootPdo)
    IoInvalidateDeviceRelations(TheBus.rootPdo, BusRelations);
}

NTSTATUS ControlDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const Buffers io = {irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                      stack->Parameters.DeviceIoControl.OutputBufferLength};
  ULONG_PTR information = 0;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case HARLEN_BUS_PLUG: status = Plug(io, information); break;
    case HARLEN_BUS_UNPLUG: {
      Bridge *bridge = NamedBridge(io, sizeof(uint32_t));
      if (bridge) Unplug(*bridge);
      status = bridge ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
      break;
    }
    case HARLEN_BUS_BEHAVIOUR: status = SetBehaviour(io); break;
    case HARLEN_BUS_VENDOR: status = SetVendor(io); break;
    case HARLEN_BUS_FAULT: status = ArmFault(io); break;
    case HARLEN_BUS_COMPLETE: status = Complete(io, information); break;
    case HARLEN_BUS_QUERY: status = Query(io, information); break;
    case HARLEN_BUS_READ_LOG: status = ReadLog(io, information); break;
    case HARLEN_BUS_CLEAR_LOG:
      WireLogClear();
      status = STATUS_SUCCESS;
      break;
    case HARLEN_BUS_DIRECT: return SelectDirect(irp);
  }
  return CompleteIrp(irp, status, information);
}
