// The device side of QEMU's usb-redir: connects to its chardev socket, runs
// usbredirparser in the "usb host" role and hands every packet to the bridge.
#pragma once

#include <cstdint>
#include <string>

#include "bridge_device.h"
#include "wire_log.h"

#include <usbredirproto.h>

struct usbredirparser;

namespace bridge {

class RedirLink {
 public:
  RedirLink(BridgeDevice &device, WireLog &log) : device_(device), log_(log) {}
  ~RedirLink();
  RedirLink(const RedirLink &) = delete;
  RedirLink &operator=(const RedirLink &) = delete;

  // Connects to the socket, retrying until QEMU has made it; false on timeout.
  bool connect(const std::string &path, int timeoutSeconds, std::string &error);
  int fd() const { return fd_; }
  bool wantsToWrite() const;
  // Reads and handles what arrived; false once QEMU closed the connection.
  bool readAvailable();
  bool writePending();

  // The bridge appears on the port (after QEMU acknowledged the last removal) or leaves it.
  void plug();
  void unplug();
  bool plugged() const { return plugged_; }
  void send(const std::vector<BulkAnswer> &answers);

 private:
  void announce();
  // usbredirparser's callbacks, with the link as priv.
  static int readSocket(void *priv, uint8_t *data, int count);
  static int writeSocket(void *priv, uint8_t *data, int count);
  static void logMessage(void *priv, int level, const char *message);
  static void hello(void *priv, struct usb_redir_hello_header *hello);
  static void reset(void *priv);
  static void setConfiguration(void *priv, uint64_t id, struct usb_redir_set_configuration_header *header);
  static void getConfiguration(void *priv, uint64_t id);
  static void setAltSetting(void *priv, uint64_t id, struct usb_redir_set_alt_setting_header *header);
  static void getAltSetting(void *priv, uint64_t id, struct usb_redir_get_alt_setting_header *header);
  static void startInterruptReceiving(void *priv, uint64_t id,
                                      struct usb_redir_start_interrupt_receiving_header *header);
  static void stopInterruptReceiving(void *priv, uint64_t id, struct usb_redir_stop_interrupt_receiving_header *header);
  static void allocBulkStreams(void *priv, uint64_t id, struct usb_redir_alloc_bulk_streams_header *header);
  static void cancelDataPacket(void *priv, uint64_t id);
  static void disconnectAcknowledged(void *priv);
  static void controlPacket(void *priv, uint64_t id, struct usb_redir_control_packet_header *header, uint8_t *data,
                            int length);
  static void bulkPacket(void *priv, uint64_t id, struct usb_redir_bulk_packet_header *header, uint8_t *data,
                         int length);
  void answerControl(uint64_t id, const usb_redir_control_packet_header &header, const std::vector<uint8_t> &out);
  void answerConfiguration(uint64_t id, uint8_t status, uint8_t configuration);

  BridgeDevice &device_;
  WireLog &log_;
  usbredirparser *parser_ = nullptr;
  int fd_ = -1;
  bool closed_ = false;
  bool helloSeen_ = false;
  bool plugged_ = false;      // as the harness wants it
  bool connected_ = false;    // as QEMU was told
  bool awaitingAck_ = false;  // a removal QEMU has not acknowledged yet
};

}  // namespace bridge
