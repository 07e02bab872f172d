#include "wine_scenario.h"

#include <ntstatus.h>

#include <sstream>
#include <thread>

#include "nt_status.h"
#include "outcome_writer.h"
#include "status_names.h"
#include "script_args.h"
#include "wire_text.h"

namespace {

// Lines of the host runner that Wine's kernel cannot carry out, and why.
const std::map<std::string, const char *> kNotOnThisKernel = {
    {"power", "Wine sends drivers no power requests"},
    {"sleep", "Wine sends drivers no power requests"},
    {"wake", "Wine sends drivers no power requests"},
    {"wait-wake", "Wine sends drivers no power requests"},
    {"cancel-wait-wake", "Wine sends drivers no power requests"},
    {"query-stop", "Wine's PnP manager never stops a device"},
    {"stop", "Wine's PnP manager never stops a device"},
    {"cancel-stop", "Wine's PnP manager never stops a device"},
    {"query-remove", "Wine's PnP manager removes a device without asking its stack first"},
    {"cancel-remove", "Wine's PnP manager removes a device without asking its stack first"},
    {"kernel", "the kernel is Wine's NT kernel; no legacy kernel can be chosen"},
    {"pnp-order", "Wine's PnP manager sends its requests in its own order"},
    {"veto-removal", "the legacy kernel's device tree exists only on the simulated machine"},
    {"legacy-tree", "the legacy kernel's device tree exists only on the simulated machine"},
    {"fail-next-alloc", "Wine's pool and IRP allocations cannot be made to fail"},
    {"unload", "Wine unloads a driver only when its last device has gone"},
};

// Lines that need the driver to run in its caller's process, as on Windows
// and ReactOS: Wine's driver host is a process of its own.
const std::map<std::string, const char *> kNeedsCallersProcess = {
    {"control",
     "its record carries a pointer into the caller's address space, which the driver host, another process, "
     "cannot reach"},
};

std::string reasonIn(const std::map<std::string, const char *> &refused, const std::string &verb) {
  auto reason = refused.find(verb);
  return reason == refused.end() ? "" : reason->second;
}

}  // namespace

bool WineRequest::done() const {
  if (InterlockedCompareExchange(const_cast<volatile LONG *>(&finished), 0, 0)) return true;
  return inFlight && overlapped.Internal != static_cast<ULONG_PTR>(STATUS_PENDING);
}

int32_t WineRequest::status() const {
  if (!done()) return STATUS_PENDING;
  return inFlight ? static_cast<int32_t>(overlapped.Internal) : finalStatus;
}

uint64_t WineRequest::information() const {
  if (!done()) return 0;
  return inFlight ? overlapped.InternalHigh : moved;
}

void WineRequest::finish(int32_t status, uint64_t bytes) {
  finalStatus = status;
  moved = bytes;
  InterlockedExchange(&finished, 1);
}

void issueRequest(bool sync, const std::shared_ptr<WineRequest> &request, const SystemCall &call) {
  if (sync) {
    std::thread([request, call] {
      DWORD moved = 0;
      BOOL ok = call(&moved, nullptr);
      request->finish(ok ? STATUS_SUCCESS : lastNtStatus(), moved);
    }).detach();
    return;
  }
  request->inFlight = true;
  if (call(nullptr, &request->overlapped) || GetLastError() == ERROR_IO_PENDING) return;
  // Refused before it became a request: no status block was written.
  request->inFlight = false;
  request->finish(lastNtStatus(), 0);
}

WineScenario::WineScenario(TestBus &bus, FILE *out, bool outcomes)
    : bus_(bus), watch_(bus), out_(out), outcomes_(outcomes), onWine_(runsOnWine()), writer_(out) {}

bool runsOnWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::string WineScenario::refusal(const std::string &line, bool onWine) {
  std::istringstream words(line.substr(0, line.find('#')));
  std::string verb;
  if (!(words >> verb)) return "";
  std::string reason = reasonIn(kNotOnThisKernel, verb);
  if (reason.empty() && onWine) reason = reasonIn(kNeedsCallersProcess, verb);
  return reason.empty() ? "" : "not on this kernel: " + reason;
}

WineScenario::~WineScenario() {
  for (auto &named : bridges_)
    if (named.second.file != INVALID_HANDLE_VALUE) CloseHandle(named.second.file);
}

bool WineScenario::fail(const std::string &why) {
  error_ = why;
  return false;
}

void WineScenario::report(const char *category, const std::string &text) {
  // The outcome format has lines of its own, written once the step has settled.
  if (!outcomes_) fprintf(out_, "[%-5s] %s\n", category, text.c_str());
}

void WineScenario::setStatus(int32_t status) { stepStatus_ = last_ = status; }

WineScenario::Bridge *WineScenario::bridgeNamed(const std::string &name) {
  auto it = bridges_.find(name);
  return it == bridges_.end() ? nullptr : &it->second;
}

HANDLE WineScenario::handleOf(const std::string &name) const {
  auto it = bridges_.find(name);
  return it == bridges_.end() ? INVALID_HANDLE_VALUE : it->second.file;
}

uint32_t WineScenario::bridgeNumberOf(const std::string &name) const { return bridges_.at(name).number; }

std::vector<uint32_t> WineScenario::bridgeNumbers() const {
  std::vector<uint32_t> numbers;
  for (const auto &named : bridges_) numbers.push_back(named.second.number);
  return numbers;
}

const HarlenWireRecord *WineScenario::pnpRecord(const Bridge &bridge, uint16_t minor) const {
  for (const auto &sequenced : watch_.records()) {
    const HarlenWireRecord &r = sequenced.second;
    if (r.kind == HarlenWirePnp && r.bridge == bridge.number && r.function == minor) return &r;
  }
  return nullptr;
}

bool WineScenario::run(std::istream &script) {
  std::vector<std::string> lines;
  for (std::string line; std::getline(script, line);) lines.push_back(line);
  // A script with a line Wine cannot carry out does not start at all.
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string refused = refusal(lines[i], onWine_);
    if (!refused.empty()) return fail(refused + " (line " + std::to_string(i + 1) + ")");
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (runLine(lines[i])) continue;
    // The outcome format gives the failed step just before the error.
    if (!outcomes_) error_ += " (line " + std::to_string(i + 1) + ")";
    return false;
  }
  return true;
}

bool WineScenario::runLine(const std::string &line) {
  std::string step = outcome::scriptStep(line);
  if (step.empty()) return true;
  std::istringstream words(step);
  std::string verb;
  words >> verb;
  report("step", step);
  uint32_t firstSequence = watch_.nextSequence();
  stepTransfer_.reset();
  stepStatus_.reset();
  if (verb != "expect") lastInformation_.reset();
  ended_.clear();
  bool ran = runStep(verb, words);
  // Between two lines the bus goes quiet, as the simulated machine goes idle.
  bool settled = busGone_ ? settleWithoutBus() : watch_.waitQuiet(bridgeNumbers());
  if (stepTransfer_) {
    stepTransfer_->endSequence = watch_.nextSequence();
    setStatus(stepTransfer_->status());
  }
  std::vector<HarlenWireRecord> wire = lineWire(verb, step, firstSequence);
  if (!outcomes_) reportWire(wire);
  reportCompletions();
  if (outcomes_) writer_.step({step, stepStatus_, lastInformation_, wire, ended_});
  fflush(out_);
  return ran && (settled || fail(watch_.error()));
}

bool WineScenario::settleWithoutBus() {
  // No bus to ask: the requests it ended reach their callers shortly.
  Sleep(4 * BusWatch::kQuietMs);
  return true;
}

std::vector<HarlenWireRecord> WineScenario::recordsSince(uint32_t firstSequence) const {
  std::vector<HarlenWireRecord> records;
  const auto &all = watch_.records();
  for (auto it = all.lower_bound(firstSequence); it != all.end(); ++it) records.push_back(it->second);
  return records;
}

// Wine starts a bridge on its own as soon as it is plugged: what reaches the bus
// before the script's start line is held back and shown at that line, where
// the simulated kernel shows it.
std::vector<HarlenWireRecord> WineScenario::lineWire(const std::string &verb, const std::string &step,
                                                     uint32_t firstSequence) {
  std::string starting;
  if (verb == "start") std::istringstream(step) >> starting >> starting;
  std::vector<HarlenWireRecord> shown;
  for (const HarlenWireRecord &record : recordsSince(firstSequence)) {
    const Bridge *owner = nullptr;
    for (const auto &named : bridges_)
      if (named.second.number == record.bridge) owner = &named.second;
    if (owner && !owner->startShown) {
      heldWire_.push_back(record.sequence);
    } else {
      shown.push_back(record);
    }
  }
  Bridge *started = bridgeNamed(starting);
  if (started == nullptr || started->startShown) return shown;
  started->startShown = true;
  // As they stand now, like every record a line shows.
  for (auto it = heldWire_.begin(); it != heldWire_.end();) {
    const HarlenWireRecord &record = watch_.records().at(*it);
    if (record.bridge != started->number) {
      ++it;
      continue;
    }
    shown.push_back(record);
    it = heldWire_.erase(it);
  }
  return shown;
}

void WineScenario::reportWire(const std::vector<HarlenWireRecord> &records) {
  for (const HarlenWireRecord &record : records)
    if (record.kind == HarlenWirePnp) report("pnp", "bridge " + std::to_string(record.bridge) + ": " + outcome::describeWire(record));
  for (const std::string &line : outcome::wireLines(records)) report("usb", line);
}

bool WineScenario::runStep(const std::string &verb, std::istream &words) {
  if (verb == "expect") return expect(words);
  if (verb == "plug") return plug(words);
  if (verb == "remove-bus") return removeBusStep(words);
  std::string name;
  if (!(words >> name)) return fail(verb + " needs a bridge name");
  Bridge *bridge = bridgeNamed(name);
  if (bridge == nullptr) return fail("no bridge named " + name);
  auto step = bridgeSteps().find(verb);
  if (step == bridgeSteps().end()) return fail("unknown step: " + verb);
  return (this->*step->second)(name, *bridge, words);
}

// expect STATUS_NAME [information=LEN]: how the previous step ended.
bool WineScenario::expect(std::istream &args) {
  ExpectLine line;
  std::string error;
  if (!parseExpectLine(args, line, error)) return fail(error);
  std::string mismatch = expectMismatch(line, statusName(last_), lastInformation_);
  return mismatch.empty() || fail(mismatch);
}

void WineScenario::reportCompletions() {
  for (auto it = unreported_.begin(); it != unreported_.end();) {
    WineTransfer &done = *it->second;
    if (!done.done()) {
      ++it;
      continue;
    }
    const std::string &name = it->first;
    report("user", "<- " + std::string(done.verb()) + " on " + name + ": " + statusName(done.status()) +
                       ", information " + std::to_string(done.information()));
    ended_.push_back({name, done.read, done.status(), done.information()});
    settle(name, bridges_.at(name), done);
    it = unreported_.erase(it);
  }
}
