// The bus's log of every request that reached a bridge's PDO: written on
// arrival, completed in place when the request ends. Its room is allocated
// once; when full, arrivals still take sequence numbers but are not kept
// (counted in WireLog::dropped), until the test clears the log.
#include "bus.h"

NTSTATUS WireLogCreate() {
  WireLog &log = TheBus.log;
  log.records = static_cast<HarlenWireRecord *>(
      ExAllocatePoolWithTag(NonPagedPool, kLogCapacity * sizeof(HarlenWireRecord), kBusTag));
  if (log.records == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  log.firstSequence = log.nextSequence = 1;
  log.count = log.dropped = 0;
  return STATUS_SUCCESS;
}

void WireLogFree() {
  if (TheBus.log.records) ExFreePoolWithTag(TheBus.log.records, kBusTag);
  TheBus.log.records = nullptr;
}

static HarlenWireRecord *RecordLocked(ULONG sequence) {
  WireLog &log = TheBus.log;
  ULONG slot = sequence - log.firstSequence;
  return sequence >= log.firstSequence && slot < log.count ? &log.records[slot] : nullptr;
}

ULONG WireLogAppend(HarlenWireRecord &record) {
  BusLock guard;
  WireLog &log = TheBus.log;
  record.sequence = log.nextSequence++;
  record.status = STATUS_PENDING;
  record.usbdStatus = USBD_STATUS_PENDING;
  if (log.count < kLogCapacity)
    log.records[log.count++] = record;
  else
    ++log.dropped;
  return record.sequence;
}

void WireLogFinish(ULONG sequence, NTSTATUS status, USBD_STATUS usbd, ULONG bytes) {
  BusLock guard;
  HarlenWireRecord *record = RecordLocked(sequence);
  if (record == nullptr) return;  // cleared or dropped meanwhile
  record->status = status;
  record->usbdStatus = usbd;
  record->bytesMoved = bytes;
  record->flags |= HARLEN_WIRE_COMPLETED;
}

ULONG WireLogRead(ULONG firstSequence, HarlenWireRecord *out, ULONG capacity) {
  BusLock guard;
  WireLog &log = TheBus.log;
  ULONG from = firstSequence > log.firstSequence ? firstSequence - log.firstSequence : 0;
  ULONG copied = 0;
  for (ULONG slot = from; slot < log.count && copied < capacity; ++slot) out[copied++] = log.records[slot];
  return copied;
}

void WireLogClear() {
  BusLock guard;
  TheBus.log.firstSequence = TheBus.log.nextSequence;
  TheBus.log.count = 0;
  TheBus.log.dropped = 0;
}
