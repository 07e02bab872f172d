// The emulated USB bus (test only): a root-enumerated FDO, one child PDO per
// plugged bridge, and the control device the test drives it through. One spin
// lock guards the whole bus; no IRP is completed and no driver called with it held.
#pragma once

#include <wdm.h>
#include <usb.h>
// The library header has no C++ linkage block of its own.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

#include "../bus_control.h"

// mingw-w64 spells this one as misspelt in an old header.
#ifndef USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR
#define USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR
#endif

constexpr ULONG kBusTag = 'H' | 'l' << 8 | 'B' << 16 | static_cast<ULONG>('s') << 24;  // "HlBs" in a pool dump
constexpr ULONG kMaxBridges = 32;
constexpr ULONG kMaxPipes = 8;
constexpr ULONG kLogCapacity = 65536;
constexpr ULONG64 kNoMismatch = ~0ull;

enum class BusObject : ULONG { Fdo, Child, Control };

struct Bridge;

// The one extension shape of all three kinds of device object.
struct BusExtension {
  BusObject kind;
  Bridge *bridge;        // Child
  PDEVICE_OBJECT lower;  // Fdo: the device it is attached to
};

struct BusPipe {
  USB_ENDPOINT_DESCRIPTOR endpoint;
  USBD_PIPE_HANDLE handle;
  LIST_ENTRY queue;  // held transfer IRPs, linked by Tail.Overlay.ListEntry
  ULONG queued;
  BOOLEAN halted;
  ULONG64 offset;         // bytes moved through the pipe so far
  ULONG64 firstMismatch;  // pattern OUT: the first offset that broke the pattern
};

struct Bridge {
  ULONG number;
  PDEVICE_OBJECT pdo;  // NULL once deleted
  BOOLEAN present;     // plugged and not unplugged
  BOOLEAN reported;    // the PnP manager has it from a bus-relations answer
  BOOLEAN started;
  BOOLEAN configured;
  USHORT vendorId;
  USHORT productId;
  ULONG configLength;
  UCHAR config[HARLEN_BUS_MAX_CONFIG];
  HarlenBusBehaviour behaviour;
  HarlenBusVendor vendor;
  HarlenBusFault fault;
  BOOLEAN faultArmed;
  ULONG portResets;
  BusPipe pipes[kMaxPipes];
  ULONG pipeCount;
  ULONG configurations;  // selections so far: part of every pipe handle
  LIST_ENTRY loopback;   // LoopbackChunk, oldest first
  LIST_ENTRY finished;   // URB IRPs whose answer is known, due from the DPC
};

struct WireLog {
  HarlenWireRecord *records;  // kLogCapacity of them, allocated once
  ULONG firstSequence;        // the sequence of records[0]
  ULONG count;
  ULONG nextSequence;
  ULONG dropped;              // arrivals not kept because the log was full
};

struct Bus {
  KSPIN_LOCK lock;
  PDEVICE_OBJECT fdo;
  PDEVICE_OBJECT rootPdo;
  PDEVICE_OBJECT control;
  Bridge *bridges[kMaxBridges];
  ULONG bridgeCount;
  WireLog log;
  KTIMER timer;
  KDPC dpc;
  // Interlocked, never under the lock: a timer tick must not wait for it (deferred.cpp).
  LONG dpcArmed;  // work was asked for since the DPC last looked
  LONG dpcRunning;
  HarlenBusDirect direct;  // where reads and writes on the control device go
};

extern Bus TheBus;

// The bus lock, released early where a completion or a call follows.
class BusLock {
 public:
  BusLock() { KeAcquireSpinLock(&TheBus.lock, &irql_); held_ = true; }
  ~BusLock() { Release(); }
  void Release() {
    if (held_) KeReleaseSpinLock(&TheBus.lock, irql_);
    held_ = false;
  }
  BusLock(const BusLock &) = delete;
  BusLock &operator=(const BusLock &) = delete;

 private:
  KIRQL irql_;
  bool held_;
};

inline BusExtension *ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<BusExtension *>(device->DeviceExtension);
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
NTSTATUS NtStatusOf(USBD_STATUS usbd);
// The address of a transfer buffer given as a pointer or as an MDL.
PUCHAR SystemAddressOf(PVOID buffer, PMDL mdl);

// entry.cpp: the root FDO.
NTSTATUS FdoPnp(PDEVICE_OBJECT fdo, PIRP irp);

// child_pnp.cpp: the bridges' PDOs.
NTSTATUS ChildPnp(Bridge &bridge, PIRP irp);
NTSTATUS ChildPower(Bridge &bridge, PIRP irp);
NTSTATUS CreateChild(Bridge &bridge);

// urb.cpp: what reaches a PDO's internal device control.
NTSTATUS ChildInternalControl(Bridge &bridge, PIRP irp);
NTSTATUS FinishLater(Bridge &bridge, PIRP irp, USBD_STATUS usbd, ULONG sequence, ULONG bytes);
void CompleteFinished(Bridge &bridge);
bool ConfigureForDirectLocked(Bridge &bridge);

// control_requests.cpp: vendor and class requests.
USBD_STATUS ControlRequest(Bridge &bridge, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST &request, HarlenWireRecord &record,
                           USBD_STATUS injected);

// config_set.cpp: reading the bridge's configuration descriptor set.
struct InterfaceModel {
  USB_INTERFACE_DESCRIPTOR descriptor;
  ULONG endpointCount;  // all that follow it, even past kMaxPipes
  USB_ENDPOINT_DESCRIPTOR endpoints[kMaxPipes];
};
bool FindInterface(const Bridge &bridge, bool anyInterface, UCHAR number, UCHAR alternate, InterfaceModel &model);
void SetStandardConfig(Bridge &bridge);

// pipes.cpp: bulk and interrupt pipes.
BusPipe *PipeByHandle(Bridge &bridge, USBD_PIPE_HANDLE handle);
LONG PipeIndexAt(Bridge &bridge, UCHAR endpointAddress);
USBD_STATUS CheckTransfer(Bridge &bridge, _URB_BULK_OR_INTERRUPT_TRANSFER &request, HarlenWireRecord &record);
NTSTATUS QueueTransfer(Bridge &bridge, PIRP irp, PURB urb, ULONG sequence);
USBD_STATUS PipeRequest(Bridge &bridge, _URB_PIPE_REQUEST &request, HarlenWireRecord &record);
USBD_STATUS ClearEndpointFeature(Bridge &bridge, _URB_CONTROL_FEATURE_REQUEST &request, HarlenWireRecord &record);
void AddPipeLocked(Bridge &bridge, const USB_ENDPOINT_DESCRIPTOR &endpoint);
void DropPipes(Bridge &bridge);
// Fails what a pipe (or every pipe, index -1) holds now, in order.
void FailQueued(Bridge &bridge, LONG pipeIndex, USBD_STATUS usbd);
void ServiceQueues(Bridge &bridge);
ULONG CompleteHeads(Bridge &bridge, UCHAR endpointAddress, bool all);
void FreeLoopback(Bridge &bridge);

// deferred.cpp: the bus's one timer DPC.
void InitDeferred();
void StartDeferred();
void StopDeferred();
void KickDpc();
void WaitForDpcIdle();
bool DpcBusy();  // takes no lock

// control.cpp and direct.cpp: the control device.
NTSTATUS ControlDeviceControl(PIRP irp);
NTSTATUS SelectDirect(PIRP irp);
NTSTATUS DirectTransfer(PIRP irp, bool write);
Bridge *BridgeAt(ULONG number);
void Unplug(Bridge &bridge);

// wire_log.cpp: every request that reached a child PDO.
NTSTATUS WireLogCreate();
void WireLogFree();
ULONG WireLogAppend(HarlenWireRecord &record);  // returns the sequence given
void WireLogFinish(ULONG sequence, NTSTATUS status, USBD_STATUS usbd, ULONG bytes);
ULONG WireLogRead(ULONG firstSequence, HarlenWireRecord *out, ULONG capacity);
void WireLogClear();
