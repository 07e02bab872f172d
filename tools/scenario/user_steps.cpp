// User handles on a bridge's link, reads and writes sent through them, and
// the checks of what they moved and how they ended.
#include "harlen.h"
#include "scenario.h"
#include "script_args.h"
#include "script_words.h"

namespace {

std::u16string linkOf(PDEVICE_OBJECT fdo) {
  return u"\\DosDevices\\Harlen" + std::u16string(1, static_cast<char16_t>(KxExtension(fdo)->NameDigit));
}

std::string narrowLink(const std::u16string &link) { return std::string(link.begin(), link.end()); }

// The bulk pipe the driver's read or write routine picks for this direction; 0 for none.
UCHAR bulkEndpoint(PDEVICE_OBJECT fdo, UCHAR direction) {
  if (fdo == nullptr) return 0;
  PKxDeviceExtension extension = KxExtension(fdo);
  UCHAR index = GetIndexFromPipeType(extension, UsbdPipeTypeBulk, direction);
  return index == KX_NO_PIPE ? 0 : extension->EndpointDescriptors[index].bEndpointAddress;
}

std::string howItEnded(const sim::UserRequest &request) {
  return sim::statusName(request.status) + ", information " + std::to_string(request.information);
}

void report(const std::string &text) { sim::platform().trace.addMade("user", text); }

}  // namespace

// open NAME [32-bit]: a handle on the bridge's link, as CreateFile opens it, in a 64-bit process or a 32-bit one.
bool Scenario::open(const std::string &name, sim::UsbBridge &bridge, std::istream &args) {
  UserSide &user = users_[name];
  std::string bitness;
  bool caller32 = static_cast<bool>(args >> bitness);
  if ((caller32 && bitness != "32-bit") || !endOfLine(args)) return fail("open: cannot use " + bitness);
  if (user.file) return fail("open: a handle on " + name + " is open already");
  if (PDEVICE_OBJECT fdo = pnp_.functionDevice(bridge)) user.link = linkOf(fdo);
  if (user.link.empty()) return fail("open: " + name + " has no device yet");
  sim::UserFile file = sim::UserFile::open(user.link, caller32);
  setStatus(file.status());
  user.caller32 = caller32;
  report("open " + narrowLink(user.link) + (caller32 ? " from a 32-bit process" : "") + " -> " +
         sim::statusName(last_));
  if (NT_SUCCESS(last_)) user.file.emplace(std::move(file));
  return true;
}

bool Scenario::close(const std::string &name, sim::UsbBridge &, std::istream &args) {
  UserSide &user = users_[name];
  if (!endOfLine(args)) return fail("close takes a bridge name only");
  if (!user.file) return fail("close: no handle on " + name + " is open");
  setStatus(user.file->close());
  user.file.reset();
  report("close " + narrowLink(user.link) + " -> " + sim::statusName(last_));
  return true;
}

// cancel NAME: as CancelIo does, the I/O manager cancels the handle's request in flight, if any.
bool Scenario::cancel(const std::string &name, sim::UsbBridge &, std::istream &args) {
  UserSide &user = users_[name];
  if (!endOfLine(args)) return fail("cancel takes a bridge name only");
  if (!user.file) return fail("cancel: no handle on " + name + " is open");
  if (user.last && !user.last->request->completed) IoCancelIrp(user.last->request->irp);
  setStatus(STATUS_SUCCESS);
  return true;
}

bool Scenario::read(const std::string &name, sim::UsbBridge &bridge, std::istream &args) {
  return transfer(IRP_MJ_READ, name, bridge, args);
}

bool Scenario::write(const std::string &name, sim::UsbBridge &bridge, std::istream &args) {
  return transfer(IRP_MJ_WRITE, name, bridge, args);
}

// read NAME LEN [mapped|unmapped], write NAME LEN [pattern|zeros] [mapped|unmapped]. The step's
// status is the request's final one when it ended before the machine went idle, else STATUS_PENDING.
bool Scenario::transfer(UCHAR major, const std::string &name, sim::UsbBridge &bridge, std::istream &args) {
  auto sent = std::make_shared<UserTransfer>();
  sent->major = major;
  const std::string verb = sent->verb();
  TransferLine line;
  std::string error;
  if (!parseTransferLine(args, major == IRP_MJ_WRITE, line, error)) return fail(error);
  const uint32_t length = line.length;
  const bool mapped = line.mapped, pattern = line.pattern;
  UserSide &user = users_[name];
  if (!user.file) return fail(verb + ": no handle on " + name + " is open");

  bool in = major == IRP_MJ_READ;
  sent->mode = in ? bridge.bulk.reads : bridge.bulk.writes;
  sent->patternStart =
      bridge.streamOffset(bulkEndpoint(pnp_.functionDevice(bridge), in ? KX_DIRECTION_IN : KX_DIRECTION_OUT));
  sent->buffer.assign(length, 0);
  if (!in && pattern) fillPattern(sent->buffer, sent->patternStart);
  std::string content = in ? "" : pattern ? "pattern, " : "zeros, ";
  report("-> " + verb + " of " + std::to_string(length) + " bytes on " + name + " (" + content +
         (mapped ? "mapped" : "unmapped") + " buffer)");
  sent->firstRecord = bridge.urbs().size();
  sent->request =
      in ? user.file->read(sent->buffer.data(), length, mapped) : user.file->write(sent->buffer.data(), length, mapped);
  sent->endRecord = bridge.urbs().size();
  report("   " + verb + " sent as " + sent->chunkSummary(bridge) + "; the driver returned " +
         sim::statusName(sent->request->returned));
  sim::platform().runAllPendingWork();
  setStatus(sent->request->completed ? sent->request->status : STATUS_PENDING);
  user.last = sent;
  unreported_.push_back({name, sent});
  return true;
}

void Scenario::reportCompletions() {
  for (auto it = unreported_.begin(); it != unreported_.end();) {
    const std::string &name = it->first;
    UserTransfer &done = *it->second;
    if (!done.request->completed) {
      ++it;
      continue;
    }
    report("<- " + std::string(done.verb()) + " on " + name + ": " + howItEnded(*done.request));
    ended_.push_back({name, done.major == IRP_MJ_READ, done.request->status, done.request->information});
    UserSide &user = users_[name];
    ReadCheck check;
    done.settle(*bridges_.at(name), user.loopback, check);
    if (done.major == IRP_MJ_READ) user.lastRead = check;
    it = unreported_.erase(it);
  }
}

// verify NAME: the bytes the last completed read moved are those its source gave.
bool Scenario::verify(const std::string &name, sim::UsbBridge &, std::istream &args) {
  const UserSide &user = users_[name];
  if (!endOfLine(args)) return fail("verify takes a bridge name only");
  if (!user.lastRead) return fail("verify: no read on " + name + " has completed");
  const ReadCheck &check = *user.lastRead;
  if (check.source.empty()) return fail("verify: the bus gave the last read on " + name + " no data to compare");
  if (check.mismatch)
    return fail("verify: byte " + std::to_string(*check.mismatch) + " of the last read on " + name + " differs from " +
                check.source);
  if (check.compared == 0) return fail("verify: the last read on " + name + " moved no byte");
  report("verify: the " + std::to_string(check.compared) + " bytes last read on " + name + " equal " + check.source);
  return true;
}

// expect-request NAME STATUS_NAME [information=N]: how the last read or write on NAME ended.
bool Scenario::expectRequest(const std::string &name, sim::UsbBridge &, std::istream &args) {
  ExpectLine line;
  std::string error;
  if (!parseExpectRequestLine(args, line, error)) return fail(error);
  const auto &last = users_[name].last;
  if (!last) return fail("expect-request: no read or write was sent on " + name);
  const sim::UserRequest &request = *last->request;
  NTSTATUS status = request.completed ? request.status : STATUS_PENDING;
  if (sim::statusName(status) != line.status)
    return fail("expected the last request on " + name + " to end with " + line.status + ", got " +
                sim::statusName(status));
  if (line.information && request.information != *line.information)
    return fail("expected information " + std::to_string(*line.information) + " from the last request on " + name +
                ", got " + std::to_string(request.information));
  return true;
}
