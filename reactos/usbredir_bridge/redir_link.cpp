#include "redir_link.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "descriptors.h"

namespace bridge {

namespace {

RedirLink &linkOf(void *priv) { return *static_cast<RedirLink *>(priv); }

uint8_t redirStatus(Ending ending) {
  switch (ending) {
    case Ending::Success: return usb_redir_success;
    case Ending::Stall: return usb_redir_stall;
    case Ending::Cancelled: return usb_redir_cancelled;
    case Ending::Gone: return usb_redir_ioerror;
  }
  return usb_redir_ioerror;
}

// usbredir's endpoint index: IN endpoints from 16.
int slotOf(uint8_t address) { return ((address & 0x80) >> 3) | (address & 0x0F); }

int connectOnce(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  strcpy(address.sun_path, path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

RedirLink::~RedirLink() {
  if (parser_) usbredirparser_destroy(parser_);
  if (fd_ >= 0) close(fd_);
}

bool RedirLink::connect(const std::string &path, int timeoutSeconds, std::string &error) {
  const time_t deadline = time(nullptr) + timeoutSeconds;
  while ((fd_ = connectOnce(path)) < 0) {
    if (time(nullptr) >= deadline) {
      error = "no usb-redir socket at " + path + " after " + std::to_string(timeoutSeconds) + " s";
      return false;
    }
    usleep(100 * 1000);
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  parser_ = usbredirparser_create();
  parser_->priv = this;
  parser_->log_func = logMessage;
  parser_->read_func = readSocket;
  parser_->write_func = writeSocket;
  parser_->hello_func = hello;
  parser_->reset_func = reset;
  parser_->set_configuration_func = setConfiguration;
  parser_->get_configuration_func = getConfiguration;
  parser_->set_alt_setting_func = setAltSetting;
  parser_->get_alt_setting_func = getAltSetting;
  parser_->start_interrupt_receiving_func = startInterruptReceiving;
  parser_->stop_interrupt_receiving_func = stopInterruptReceiving;
  parser_->alloc_bulk_streams_func = allocBulkStreams;
  parser_->cancel_data_packet_func = cancelDataPacket;
  parser_->device_disconnect_ack_func = disconnectAcknowledged;
  parser_->control_packet_func = controlPacket;
  parser_->bulk_packet_func = bulkPacket;
  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_device_disconnect_ack,
                  usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length})
    usbredirparser_caps_set_cap(caps, cap);
  char version[] = "harlen usbredir bridge";
  usbredirparser_init(parser_, version, caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
  return true;
}

bool RedirLink::wantsToWrite() const { return parser_ && usbredirparser_has_data_to_write(parser_); }

bool RedirLink::readAvailable() {
  int result = usbredirparser_do_read(parser_);
  if (result == usbredirparser_read_parse_error) fprintf(stderr, "usbredir: a packet could not be parsed\n");
  return !closed_ && result != usbredirparser_read_io_error;
}

bool RedirLink::writePending() { return usbredirparser_do_write(parser_) == 0 && !closed_; }

int RedirLink::readSocket(void *priv, uint8_t *data, int count) {
  RedirLink &link = linkOf(priv);
  ssize_t got = read(link.fd_, data, count);
  if (got > 0) return static_cast<int>(got);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  link.closed_ = true;  // QEMU went away
  return -1;
}

int RedirLink::writeSocket(void *priv, uint8_t *data, int count) {
  RedirLink &link = linkOf(priv);
  ssize_t put = write(link.fd_, data, count);
  if (put >= 0) return static_cast<int>(put);
  if (errno == EAGAIN || errno == EINTR) return 0;
  link.closed_ = true;
  return -1;
}

void RedirLink::logMessage(void *, int level, const char *message) {
  if (level <= usbredirparser_warning) fprintf(stderr, "usbredir: %s\n", message);
}

void RedirLink::hello(void *priv, struct usb_redir_hello_header *) {
  RedirLink &link = linkOf(priv);
  link.helloSeen_ = true;
  if (link.plugged_) link.announce();
}

// What QEMU needs before the connect: the interface and the endpoints, then the device itself.
void RedirLink::announce() {
  if (!helloSeen_ || connected_ || awaitingAck_) return;
  usb_redir_interface_info_header interfaces{};
  interfaces.interface_count = 1;
  interfaces.interface_class[0] = 0xFF;
  usbredirparser_send_interface_info(parser_, &interfaces);
  usb_redir_ep_info_header eps{};
  memset(eps.type, usb_redir_type_invalid, sizeof eps.type);
  for (int control : {0x00, 0x80}) {
    eps.type[slotOf(control)] = usb_redir_type_control;
    eps.max_packet_size[slotOf(control)] = kControlPacketSize;
  }
  for (const Endpoint &e : endpoints()) {
    eps.type[slotOf(e.address)] = e.attributes & 3;
    eps.interval[slotOf(e.address)] = e.interval;
    eps.max_packet_size[slotOf(e.address)] = e.maxPacketSize;
  }
  usbredirparser_send_ep_info(parser_, &eps);
  usb_redir_device_connect_header device{};
  device.speed = usb_redir_speed_high;
  device.vendor_id = kVendorId;
  device.product_id = kProductId;
  device.device_version_bcd = kDeviceVersion;
  usbredirparser_send_device_connect(parser_, &device);
  connected_ = true;
}

void RedirLink::plug() {
  plugged_ = true;
  announce();
}

// QEMU ends whatever it had outstanding itself; held packets are only logged as gone.
void RedirLink::unplug() {
  plugged_ = false;
  for (const BulkAnswer &gone : device_.reset(Ending::Gone)) log_.finish(gone.packet.tag, gone.ending, 0);
  if (!connected_) return;
  usbredirparser_send_device_disconnect(parser_);
  connected_ = false;
  awaitingAck_ = true;
}

void RedirLink::disconnectAcknowledged(void *priv) {
  RedirLink &link = linkOf(priv);
  link.awaitingAck_ = false;
  if (link.plugged_) link.announce();
}

void RedirLink::reset(void *priv) {
  RedirLink &link = linkOf(priv);
  size_t tag = link.log_.arrive(portResetRecord());
  link.send(link.device_.reset(Ending::Cancelled));
  link.log_.finish(tag, Ending::Success, 0);
}

void RedirLink::answerConfiguration(uint64_t id, uint8_t status, uint8_t configuration) {
  usb_redir_configuration_status_header answer{status, configuration};
  usbredirparser_send_configuration_status(parser_, id, &answer);
}

void RedirLink::setConfiguration(void *priv, uint64_t id, struct usb_redir_set_configuration_header *header) {
  RedirLink &link = linkOf(priv);
  size_t tag = link.log_.arrive(setConfigurationRecord(header->configuration));
  bool done = link.device_.setConfiguration(header->configuration);
  link.answerConfiguration(id, done ? usb_redir_success : usb_redir_stall, link.device_.configuration());
  link.log_.finish(tag, done ? Ending::Success : Ending::Stall, 0);
}

void RedirLink::getConfiguration(void *priv, uint64_t id) {
  RedirLink &link = linkOf(priv);
  const SetupPacket setup{0x80, 8, 0, 0, 1};
  size_t tag = link.log_.arrive(controlRecord(setup, {}));
  link.answerConfiguration(id, usb_redir_success, link.device_.configuration());
  link.log_.finish(tag, Ending::Success, 1);
}

void RedirLink::setAltSetting(void *priv, uint64_t id, struct usb_redir_set_alt_setting_header *header) {
  RedirLink &link = linkOf(priv);
  const SetupPacket setup{0x01, 11, header->alt, header->interface, 0};
  size_t tag = link.log_.arrive(controlRecord(setup, {}));
  bool done = link.device_.setInterface(header->interface, header->alt);
  usb_redir_alt_setting_status_header answer{uint8_t(done ? usb_redir_success : usb_redir_stall), header->interface,
                                             uint8_t(done ? header->alt : 0)};
  usbredirparser_send_alt_setting_status(link.parser_, id, &answer);
  link.log_.finish(tag, done ? Ending::Success : Ending::Stall, 0);
}

void RedirLink::getAltSetting(void *priv, uint64_t id, struct usb_redir_get_alt_setting_header *header) {
  RedirLink &link = linkOf(priv);
  const SetupPacket setup{0x81, 10, 0, header->interface, 1};
  size_t tag = link.log_.arrive(controlRecord(setup, {}));
  bool known = header->interface == 0;
  usb_redir_alt_setting_status_header answer{uint8_t(known ? usb_redir_success : usb_redir_stall), header->interface,
                                             0};
  usbredirparser_send_alt_setting_status(link.parser_, id, &answer);
  link.log_.finish(tag, known ? Ending::Success : Ending::Stall, known ? 1 : 0);
}

// The interrupt endpoint never has anything to say: receiving starts and stays silent.
void RedirLink::startInterruptReceiving(void *priv, uint64_t id,
                                        struct usb_redir_start_interrupt_receiving_header *header) {
  usb_redir_interrupt_receiving_status_header answer{usb_redir_success, header->endpoint};
  usbredirparser_send_interrupt_receiving_status(linkOf(priv).parser_, id, &answer);
}

void RedirLink::stopInterruptReceiving(void *priv, uint64_t id,
                                       struct usb_redir_stop_interrupt_receiving_header *header) {
  usb_redir_interrupt_receiving_status_header answer{usb_redir_success, header->endpoint};
  usbredirparser_send_interrupt_receiving_status(linkOf(priv).parser_, id, &answer);
}

// A high-speed device has no streams.
void RedirLink::allocBulkStreams(void *priv, uint64_t id, struct usb_redir_alloc_bulk_streams_header *header) {
  usb_redir_bulk_streams_status_header answer{header->endpoints, 0, usb_redir_inval};
  usbredirparser_send_bulk_streams_status(linkOf(priv).parser_, id, &answer);
}

// A held packet is answered as cancelled; an answered one is undone, and QEMU, which drops
// its answer, is sent nothing more. The wire log shows each as it ended for the host.
void RedirLink::cancelDataPacket(void *priv, uint64_t id) {
  RedirLink &link = linkOf(priv);
  if (std::optional<BulkAnswer> cancelled = link.device_.cancel(id)) {
    link.send({*cancelled});
    return;
  }
  for (const BulkAnswer &withdrawn : link.device_.withdraw(id)) link.log_.finish(withdrawn.packet.tag, Ending::Cancelled, 0);
}

void RedirLink::controlPacket(void *priv, uint64_t id, struct usb_redir_control_packet_header *header, uint8_t *data,
                              int length) {
  RedirLink &link = linkOf(priv);
  std::vector<uint8_t> out(data, data + length);
  usbredirparser_free_packet_data(link.parser_, data);
  link.answerControl(id, *header, out);
}

void RedirLink::answerControl(uint64_t id, const usb_redir_control_packet_header &header,
                              const std::vector<uint8_t> &out) {
  const SetupPacket setup{header.requesttype, header.request, header.value, header.index, header.length};
  size_t tag = log_.arrive(controlRecord(setup, out));
  ControlAnswer answer = device_.control(setup, out);
  usb_redir_control_packet_header reply = header;
  reply.status = redirStatus(answer.ending);
  const bool in = header.requesttype & 0x80;
  const uint32_t moved = answer.ending != Ending::Success ? 0 : in ? answer.data.size() : out.size();
  reply.length = static_cast<uint16_t>(moved);
  usbredirparser_send_control_packet(parser_, id, &reply, answer.data.empty() ? nullptr : answer.data.data(),
                                     static_cast<int>(answer.data.size()));
  log_.finish(tag, answer.ending, moved);
}

void RedirLink::bulkPacket(void *priv, uint64_t id, struct usb_redir_bulk_packet_header *header, uint8_t *data,
                           int length) {
  RedirLink &link = linkOf(priv);
  BulkPacket packet{id, header->endpoint, uint32_t(header->length) | uint32_t(header->length_high) << 16,
                    std::vector<uint8_t>(data, data + length)};
  usbredirparser_free_packet_data(link.parser_, data);
  packet.tag = link.log_.arrive(bulkRecord(packet));
  if (std::optional<BulkAnswer> answer = link.device_.bulk(std::move(packet))) link.send({*answer});
}

void RedirLink::send(const std::vector<BulkAnswer> &answers) {
  for (const BulkAnswer &answer : answers) {
    usb_redir_bulk_packet_header reply{};
    reply.endpoint = answer.packet.endpoint;
    reply.status = redirStatus(answer.ending);
    reply.length = static_cast<uint16_t>(answer.moved);
    reply.length_high = static_cast<uint16_t>(answer.moved >> 16);
    usbredirparser_send_bulk_packet(parser_, answer.packet.id, &reply,
                                    const_cast<uint8_t *>(answer.data.empty() ? nullptr : answer.data.data()),
                                    static_cast<int>(answer.data.size()));
    log_.finish(answer.packet.tag, answer.ending, answer.moved);
  }
}

}  // namespace bridge
