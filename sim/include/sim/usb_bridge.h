// The USB bus driver's physical device object for one simulated bridge: it
// answers the internal device controls a function driver sends (URBs, port
// status, port reset) and the PnP requests that reach the bottom of the stack.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
  USHORT function = 0;
  USHORT length = 0;
  UCHAR descriptorType = 0;
  UCHAR descriptorIndex = 0;
  USHORT languageId = 0;
  ULONG transferBufferLength = 0;
  bool hasMdl = false;
  bool hasLink = false;
  bool nullConfiguration = false;
  std::vector<USBD_PIPE_INFORMATION> pipesAsSent;  // select-configuration only
  NTSTATUS status = STATUS_PENDING;                // as completed
  USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
};

struct BusRequest {
  UCHAR major;
  UCHAR minor;
  ULONG ioControlCode;
  PVOID argument1;
};

enum class Completion { Inline, Deferred, Never };

class UsbBridge {
 public:
  UsbBridge(const BridgeSetup &setup, std::string label);
  ~UsbBridge();

  PDEVICE_OBJECT pdo() const { return pdo_; }
  const std::string &label() const { return label_; }
  const BridgeSetup &setup() const { return setup_; }

  // How URB requests complete: in the dispatch call, later (from the pending
  // work queue, as a DPC would), or not at all.
  Completion urbCompletion = Completion::Inline;
  // How the bus completes the start request.
  Completion startCompletion = Completion::Inline;
  NTSTATUS startStatus = STATUS_SUCCESS;
  // When set, attaching a device on top of this one fails (the PDO is going away).
  bool refuseAttach = false;

  // Called as each request arrives, before the bus acts on it: lets a test
  // look at the driver's state at that moment.
  std::function<void(const BusRequest &)> onRequest;

  // Fails the n-th URB from now (1 = the next one) on the bus with a stall.
  void failUrb(unsigned nth) { failUrbAt_ = urbCount_ + nth; }

  const std::vector<UrbRecord> &urbs() const { return urbs_; }
  const std::vector<BusRequest> &requests() const { return requests_; }
  bool configured() const { return configured_; }
  size_t pipeCount() const { return pipes_.size(); }

  NTSTATUS dispatch(PIRP irp);

 private:
  NTSTATUS internalControl(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS submitUrb(PIRP irp, PURB urb);
  USBD_STATUS getDescriptor(_URB_CONTROL_DESCRIPTOR_REQUEST &request, UrbRecord &record, bool stall);
  USBD_STATUS selectConfiguration(_URB_SELECT_CONFIGURATION &request, UrbRecord &record, bool stall);
  NTSTATUS pnp(PIRP irp, PIO_STACK_LOCATION stack);
  NTSTATUS complete(PIRP irp, NTSTATUS status, Completion how);

  struct Pipe {
    EndpointSetup endpoint;
  };

  BridgeSetup setup_;
  std::string label_;
  PDEVICE_OBJECT pdo_ = nullptr;
  unsigned urbCount_ = 0;
  unsigned failUrbAt_ = 0;
  bool configured_ = false;
  std::vector<std::unique_ptr<Pipe>> pipes_;
  std::vector<UrbRecord> urbs_;
  std::vector<BusRequest> requests_;
};

}  // namespace sim
