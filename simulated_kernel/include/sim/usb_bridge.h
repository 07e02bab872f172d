// The USB bus driver's physical device object for one simulated bridge: it
// answers the internal device controls a function driver sends (URBs, port
// status, port reset) and the PnP requests that reach the bottom of the stack.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/platform.h"

namespace sim {

struct EndpointSetup {
  UCHAR address;     // bit 7 set = IN
  UCHAR attributes;  // 2 = bulk, 3 = interrupt
  USHORT maxPacketSize = 64;
  UCHAR interval = 0;
};

struct BridgeSetup {
  USHORT vendorId = 0x0590;
  USHORT productId = 0x0002;
  // The whole configuration descriptor set as the bridge returns it; may be malformed.
  std::vector<uint8_t> configSet;

  // A well-formed set: one configuration, one interface, these endpoints.
  static std::vector<uint8_t> configSetWith(const std::vector<EndpointSetup> &endpoints);
  // A bridge with one bulk IN (0x81) and one bulk OUT (0x02) endpoint.
  static BridgeSetup standard(USHORT vendorId = 0x0590, USHORT productId = 0x0002);
};

// One request that reached the bus, as the bus read it on arrival.
struct UrbRecord {
  unsigned sequence = 0;  // its request's place in the order of arrival on the whole bus
  USHORT function = 0;
  USHORT length = 0;
  UCHAR descriptorType = 0;
  UCHAR descriptorIndex = 0;
  USHORT languageId = 0;
  ULONG transferBufferLength = 0;  // asked for
  bool hasBuffer = false;
  bool hasMdl = false;
  bool hasLink = false;
  bool nullConfiguration = false;
  std::vector<USBD_PIPE_INFORMATION> pipesAsSent;  // select-configuration only
  UCHAR endpointAddress = 0;                       // transfers and pipe requests with a known pipe
  ULONG transferFlags = 0;
  USHORT featureSelector = 0;                      // clear-feature only
  USHORT featureIndex = 0;
  UCHAR request = 0;                               // vendor and class requests: the setup packet
  USHORT value = 0;
  USHORT index = 0;
  std::vector<uint8_t> dataOut;                    // vendor and class OUT: the bytes the device took
  ULONG bytesMoved = 0;                            // transfers, as completed
  NTSTATUS status = STATUS_PENDING;                // as completed
  USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
};

// The vendor and class requests the bridge answers on its default pipe.
enum class ControlRequest {
  WordAtFFFC,  // vendor IN 0xFF, value 7, index 0xFFFC: a 16-bit word
  WordAt00AE,  // the same request at index 0x00AE
  Vendor4,     // vendor request 4, IN or OUT
  Vendor12,    // vendor request 12, IN or OUT
  GetMaxLun,   // mass-storage class IN 0xFE, value 0, index 0: one byte
};

// How the bridge answers them; it stalls any other vendor or class request.
// An IN answer longer than the buffer is cut to it, a shorter one moves less.
struct VendorSetup {
  USHORT wordAtFFFC = 7;
  USHORT wordAt00AE = 0x0100;
  std::vector<uint8_t> vendor4In;   // what request 4 returns; OUT data is kept in the URB's record
  std::vector<uint8_t> vendor12In;  // the same for request 12
  UCHAR maxLun = 0;
  // Requests the bridge never answers (it NAKs their data stage) until they
  // are cancelled or the bridge is unplugged.
  std::set<ControlRequest> held;
  // Requests that fail, moving nothing, with this status (USBD_STATUS_STALL_PID: a stall).
  std::map<ControlRequest, USBD_STATUS> failures;
};

// What a bulk or interrupt endpoint does with the transfers it is given:
// - Loopback: OUT data joins the bridge's one loopback stream; IN takes from
//   it in stream order, at most what is buffered (less is a short transfer).
// - Pattern: IN yields patternByte(k) for the pipe's stream offset k; OUT
//   discards, remembering the first offset that differs from the pattern.
// - Short: as Pattern, at most BulkBehaviour::shortLength bytes per transfer.
// - Stall: the endpoint halts; this and every later transfer on it fail with
//   USBD_STATUS_STALL_PID until a pipe reset or clear-feature clears the halt.
// - Hold: transfers stay queued until aborted, cancelled or the bridge is unplugged.
// - Discard: every byte is taken or given and none touched, so the driver's own cost shows alone.
enum class BulkMode { Loopback, Pattern, Short, Stall, Hold, Discard };

struct BulkBehaviour {
  BulkMode reads = BulkMode::Loopback;   // IN endpoints
  BulkMode writes = BulkMode::Loopback;  // OUT endpoints
  ULONG shortLength = 512;
  // Short: a transfer ends with a stall after its bytes (the endpoint halts mid-transfer).
  bool stallAfterShort = false;
};

// The pattern's byte at stream offset k: k mod 251. The period is prime, so a
// lost or repeated block of any power-of-two size shows.
constexpr unsigned kPatternPeriod = 251;
inline UCHAR patternByte(uint64_t offset) { return static_cast<UCHAR>(offset % kPatternPeriod); }

struct BusRequest {
  UCHAR major;
  UCHAR minor;
  ULONG ioControlCode;
  PVOID argument1;
  unsigned sequence = 0;             // from 1, in order of arrival on the whole bus
  NTSTATUS status = STATUS_PENDING;  // port status and port reset: as completed
  ULONG portStatus = 0;              // port status: what the bus reported
};

// Manual: transfers wait for completeNext(); other URBs complete in the dispatch call.
enum class Completion { Inline, Deferred, Manual, Never };

struct Pipe;
struct Transfer;
class ByteStream;

class UsbBridge {
 public:
  UsbBridge(const BridgeSetup &setup, std::string label);
  ~UsbBridge();

  PDEVICE_OBJECT pdo() const { return pdo_; }
  const std::string &label() const { return label_; }
  const BridgeSetup &setup() const { return setup_; }

  // How URB requests complete: in the dispatch call, later (from the pending
  // work queue, as a DPC would, in order), when the test says, or not at all.
  Completion urbCompletion = Completion::Inline;
  BulkBehaviour bulk;
  // What IOCTL_INTERNAL_USB_GET_PORT_STATUS reports.
  ULONG portStatus = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
  // How the bus completes the start request.
  Completion startCompletion = Completion::Inline;
  NTSTATUS startStatus = STATUS_SUCCESS;
  VendorSetup vendor;
  // When set, attaching a device on top of this one fails (the PDO is going away).
  bool refuseAttach = false;

  // Called as each request arrives, before the bus acts on it: lets a test
  // look at the driver's state at that moment.
  std::function<void(const BusRequest &)> onRequest;

  // Fails the n-th URB from now (1 = the next one) on the bus with a stall.
  void failUrb(unsigned nth) { failUrbAt_ = urbCount_ + nth; }
  // Fails the n-th set-power or query-power from now with this status.
  void failPower(unsigned nth, NTSTATUS status = STATUS_UNSUCCESSFUL) {
    failPowerAt_ = powerCount_ + nth;
    failPowerStatus_ = status;
  }
  // A wait-wake is held until cancelled, or until the removal ends it.
  bool holdsWaitWake() const;

  // Completes the head transfer of the pipe with this endpoint address as its
  // mode says, at DISPATCH_LEVEL; false when none is queued or the pipe holds.
  bool completeNext(UCHAR endpointAddress);
  size_t queued(UCHAR endpointAddress) const;
  // Stream offset reached on the pipe (bytes moved through it so far).
  uint64_t streamOffset(UCHAR endpointAddress) const;
  // Pattern and Short OUT pipes: the first offset written that broke the pattern.
  std::optional<uint64_t> firstPatternMismatch(UCHAR endpointAddress) const;
  // The device leaves the bus: queued transfers and every later request fail
  // as for a removed device, and the port reports nothing connected.
  void unplug();
  bool gone() const { return gone_; }
  unsigned portResets() const { return portResets_; }

  const std::deque<UrbRecord> &urbs() const { return urbs_; }
  const std::deque<BusRequest> &requests() const { return requests_; }
  // Empties urbs() and requests() for a long run that reads neither; only
  // while the bus holds no request and has no completion queued (false then).
  bool forgetRecords();
  bool configured() const { return configured_; }
  size_t pipeCount() const { return pipes_.size(); }

  NTSTATUS dispatch(PIRP irp);

 private:
  // request: the index of the request in requests_.
  NTSTATUS internalControl(PIRP irp, PIO_STACK_LOCATION stack, size_t request);
  NTSTATUS portRequest(PIRP irp, PIO_STACK_LOCATION stack, size_t request);
  NTSTATUS submitUrb(PIRP irp, PURB urb, size_t request);
  USBD_STATUS actOnUrb(PURB urb, UrbRecord &record, bool stall);
  USBD_STATUS refuseAsGone(PURB urb, UrbRecord &record) const;
  NTSTATUS finishUrb(PIRP irp, PURB urb, USBD_STATUS usbd, size_t record);
  USBD_STATUS getDescriptor(_URB_CONTROL_DESCRIPTOR_REQUEST &request, UrbRecord &record, bool stall);
  USBD_STATUS selectConfiguration(_URB_SELECT_CONFIGURATION &request, UrbRecord &record, bool stall);
  // Vendor and class requests (control_requests.cpp).
  USBD_STATUS controlRequest(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST &request, UrbRecord &record, bool stall);
  std::vector<uint8_t> answerTo(ControlRequest kind) const;
  NTSTATUS holdControl(PIRP irp, PURB urb, size_t record);
  void finishHeldControl(PIRP irp, PURB urb, size_t record, USBD_STATUS usbd);
  void failHeldControls(USBD_STATUS usbd);
  static VOID controlCancelled(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS pnp(PIRP irp, PIO_STACK_LOCATION stack);
  // Power (bus_power.cpp): set and query answered at once, wait-wake held.
  NTSTATUS power(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS setOrQueryPower(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS holdWaitWake(PIRP irp);
  void endWaitWake(NTSTATUS status);
  static NTSTATUS finishPowerIrp(PIRP irp, NTSTATUS status);
  static VOID waitWakeCancelled(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS complete(PIRP irp, NTSTATUS status, Completion how);

  // Bulk pipes (bulk_pipes.cpp). Pipes are found under the platform lock, and
  // by id again after it was released: another thread may have dropped them.
  Pipe *pipeByHandle(USBD_PIPE_HANDLE handle) const;
  Pipe *pipeByAddress(UCHAR endpointAddress) const;
  Pipe *pipeById(unsigned id) const;
  unsigned pipeIdAt(UCHAR endpointAddress) const;  // 0: no such pipe
  std::vector<unsigned> pipeIds() const;
  USBD_STATUS checkTransfer(const _URB_BULK_OR_INTERRUPT_TRANSFER &request, UrbRecord &record) const;
  NTSTATUS queueTransfer(PIRP irp, _URB_BULK_OR_INTERRUPT_TRANSFER &request, size_t record);
  USBD_STATUS pipeRequest(_URB_PIPE_REQUEST &request, UrbRecord &record);
  USBD_STATUS clearEndpointFeature(_URB_CONTROL_FEATURE_REQUEST &request, UrbRecord &record);
  BulkMode modeOf(const Pipe &pipe) const;
  // These three take the platform lock themselves and complete without it.
  bool serviceHead(unsigned pipeId);
  void keepServicing(unsigned pipeId);
  void failAll(unsigned pipeId, USBD_STATUS usbd);
  void completeTransfer(const Transfer &transfer, USBD_STATUS usbd, ULONG bytes);
  void completeUntaken(const Transfer &transfer);
  ULONG moveData(Pipe &pipe, _URB_BULK_OR_INTERRUPT_TRANSFER &request);
  void dropPipes();
  // The cancel routine of every transfer the bus holds.
  static VOID cancelRoutine(PDEVICE_OBJECT device, PIRP irp);

  BridgeSetup setup_;
  std::string label_;
  PDEVICE_OBJECT pdo_ = nullptr;
  unsigned urbCount_ = 0;
  unsigned failUrbAt_ = 0;
  unsigned powerCount_ = 0;
  unsigned failPowerAt_ = 0;
  NTSTATUS failPowerStatus_ = STATUS_UNSUCCESSFUL;
  PIRP waitWake_ = nullptr;
  bool configured_ = false;
  bool gone_ = false;
  unsigned portResets_ = 0;
  unsigned pipesMade_ = 0;
  std::vector<std::unique_ptr<Pipe>> pipes_;
  std::set<const void *> closedHandles_;  // handles of pipes dropped by a deconfiguration
  std::unique_ptr<ByteStream> loopback_;
  // Kept for the whole run: a deque grows without moving what it holds.
  std::deque<UrbRecord> urbs_;
  std::deque<BusRequest> requests_;
  struct HeldControl {
    PIRP irp;
    PURB urb;
    size_t record;
  };
  std::vector<HeldControl> heldControls_;
};

}  // namespace sim
