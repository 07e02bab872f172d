// The simulated platform's own control surface: the recorded trace, the
// verifier's findings, failure injection, the virtual clock, and the state the
// kernel routines of kernel_api.h work on. One platform per process; tests
// reset it between cases.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/usb_api.h"

namespace sim {

std::string statusName(NTSTATUS status);
// A 32-bit code as eight hexadecimal digits, for codes without a name.
std::string hexCode(ULONG code);
std::string narrow(const UNICODE_STRING *name);
std::string tagName(ULONG tag);

// Every routine the driver calls leaves one line here.
struct TraceLine {
  std::string category;  // "io", "pool", "ke", "usb", "pnp", "fault", "verifier"
  std::string text;
};

class Trace {
 public:
  void add(const std::string &category, const std::string &text);
  const std::vector<TraceLine> &lines() const { return lines_; }
  // Lines of the given categories (all when empty), one per row, "[cat] text".
  std::string render(const std::vector<std::string> &categories = {}) const;
  bool contains(const std::string &category, const std::string &fragment) const;
  void clear() { lines_.clear(); }
  // When set, every line is also written to this stream as it is made.
  void echoTo(FILE *stream, std::vector<std::string> categories);

 private:
  std::vector<TraceLine> lines_;
  FILE *echo_ = nullptr;
  std::vector<std::string> echoCategories_;
};

// Broken platform rules, in the spirit of a driver verifier.
class Verifier {
 public:
  void violation(const std::string &what);
  const std::vector<std::string> &violations() const { return violations_; }
  void clear() { violations_.clear(); }

 private:
  std::vector<std::string> violations_;
};

// Fails the n-th allocation of pool, IRPs, device objects or links made from now.
class Faults {
 public:
  void failAllocation(unsigned nth) { failAt_ = count_ + nth; }
  void clear() { failAt_ = 0; }
  unsigned allocationCount() const { return count_; }
  bool allocationFails(const char *what);

 private:
  unsigned count_ = 0;
  unsigned failAt_ = 0;
};

enum class IrpOrigin { Allocated, Built, Manager };
enum class IrpState { Owned, Dispatched, Completed };

struct IrpInfo {
  IrpOrigin origin;
  unsigned id;
  IrpState state = IrpState::Owned;
};

struct PoolBlock {
  size_t size;
  ULONG tag;
};

class UsbBridge;

class Platform {
 public:
  static Platform &get();
  // Frees everything the last test left and starts from a clean machine.
  void reset();

  Trace trace;
  Verifier verifier;
  Faults faults;

  // Virtual clock in 100 ns units; delays advance it and cost no real time.
  uint64_t now = 0;
  KIRQL irql = PASSIVE_LEVEL;
  // The one system-wide cancel spin lock (IoAcquireCancelSpinLock).
  bool cancelLockHeld = false;

  // Work that a bus DPC would do later (deferred completions); waits drain it.
  std::deque<std::function<void()>> pendingWork;
  bool runOnePendingWork();
  void runAllPendingWork();

  // Events of waits reported as hangs. On Windows the waiter never returns and
  // its event stays; here the wait returns, and the event (often in the
  // waiter's stack frame) may be gone: it is not touched again until it is
  // initialized anew.
  std::set<PRKEVENT> abandonedEvents;

  std::map<void *, PoolBlock> pool;
  std::map<PIRP, IrpInfo> irps;
  std::map<std::u16string, PDEVICE_OBJECT> deviceNames;
  std::map<std::u16string, std::u16string> symbolicLinks;
  std::vector<PDEVICE_OBJECT> devices;
  std::vector<std::unique_ptr<DRIVER_OBJECT>> drivers;
  std::vector<std::unique_ptr<DRIVER_EXTENSION>> driverExtensions;
  std::vector<std::unique_ptr<UsbBridge>> bridges;

  // Platform-internal allocation of IRPs and devices, outside failure injection.
  PIRP newIrp(CCHAR stackSize, IrpOrigin origin);
  void freeIrp(PIRP irp);
  PDEVICE_OBJECT newDevice(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type);
  void freeDevice(PDEVICE_OBJECT device);
  PDRIVER_OBJECT newDriver();

  PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device) const;
  std::string deviceLabel(PDEVICE_OBJECT device) const;
  std::string irpLabel(PIRP irp) const;
  // The device each device is attached to (its lower device).
  std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> attachedTo;
  unsigned irpsMade = 0;

 private:
  Platform() = default;
};

inline Platform &platform() { return Platform::get(); }

}  // namespace sim
