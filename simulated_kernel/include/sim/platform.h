// The simulated platform's own control surface: the recorded trace, the
// verifier's findings, failure injection, the virtual clock, and the state the
// kernel routines of kernel_api.h work on. One platform per process; tests
// reset it between cases.
//
// Two running modes. Deterministic (the default): one thread; waits run the
// deferred work instead of blocking; preemption points (preemptAt) stand in for
// other processors. Threaded (while a ThreadedMode object lives): any number of
// threads call the kernel routines at once; bus workers run the deferred work.
// In both modes every kernel routine takes the platform lock (PlatformLock)
// around its own state and releases it before calling driver code (dispatch,
// completion and cancel routines, deferred work, preemption actions); its
// mutex is taken in the threaded mode only, as the deterministic one has no
// other thread to exclude. The IRQL and the spin locks held are per thread.
// Thread-safe: the kernel routines, UserFile's reads, writes and device
// controls (one handle may serve several threads), userMemory's routines,
// UserRequest's accessors and waitForCompletion, UsbBridge::unplug and the
// queries of the bus. Not thread-safe, for a test to use only while no other
// thread runs: reset, the fields set up by a test (faults, bus setup,
// preemptAt), and reading trace.lines(), violations() and the object maps
// directly.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "sim/usb_api.h"
#include "status_names.h"
#include "sim/user_memory.h"

namespace sim {

using outcome::statusName;
// A 32-bit code as eight hexadecimal digits, for codes without a name.
using outcome::hexCode;
std::string narrow(const UNICODE_STRING *name);
std::string tagName(ULONG tag);

// Every routine the driver calls leaves one line here.
struct TraceLine {
  std::string category;  // "io", "pool", "ke", "mm", "po", "usb", "pnp", "cm", "fault", "verifier"
  std::string text;
};

class Trace {
 public:
  // Off: nothing is kept, echoed or even formatted (a benchmark's quiet
  // machine, the fuzzer); resets leave it as set.
  bool enabled = true;
  // A line whose text is fixed.
  void add(const char *category, const char *text) {
    if (enabled) keep(category, text);
  }
  // A line whose text make() formats, only while the trace is on: the
  // kernel routines' hot paths pay for no text otherwise.
  template <class Make, std::enable_if_t<std::is_invocable_r_v<std::string, Make &>, int> = 0>
  void add(const char *category, Make &&make) {
    if (enabled) keep(category, make());
  }
  // A line made already (the scenario runner's own lines, the verifier's findings).
  void addMade(const std::string &category, const std::string &text) {
    if (enabled) keep(category, text);
  }
  const std::vector<TraceLine> &lines() const { return lines_; }
  // Lines of the given categories (all when empty), one per row, "[cat] text".
  std::string render(const std::vector<std::string> &categories = {}) const;
  bool contains(const std::string &category, const std::string &fragment) const;
  void clear() { lines_.clear(); }
  // When set, every line of these categories (all when none is given) is
  // also written to this stream as it is made.
  void echoTo(FILE *stream, std::vector<std::string> categories);

 private:
  void keep(std::string category, std::string text);

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

// The kernel the machine runs for the whole run. Legacy: the Windows 98 kernel,
// whose configuration-manager and VMM services legacy_kernel.h models; on Nt
// (the default) any call of those is a finding, as the machine would crash.
enum class KernelKind { Nt, Legacy };

// Manager: sent by the PnP manager or a test; User: made for a user's handle (user_io.h).
enum class IrpOrigin { Allocated, Built, Manager, User };
enum class IrpState { Owned, Dispatched, Completed };

struct IrpInfo {
  IrpOrigin origin = IrpOrigin::Allocated;
  unsigned id = 0;
  IrpState state = IrpState::Owned;
  unsigned completions = 0;  // completions that left the last stack location, a second one included
  // Power IRPs, per stack location: the drivers that received the IRP there
  // and their PoStartNextPowerIrp calls (drivers that skip share a location).
  std::map<CHAR, unsigned> powerReceived, powerStarted;
};

// One PoSetPowerState call.
struct PowerStateChange {
  POWER_STATE_TYPE type;
  POWER_STATE state;
};

// A dispatch routine at work, innermost last. The IRP is known by its id: it
// may be completed and freed before the routine returns.
struct DispatchCall {
  unsigned irpId;
  CHAR location;                          // the stack location the driver received
  PIO_COMPLETION_ROUTINE routineOnEntry;  // that location's completion routine then
  bool markedPending = false;
  bool passedDownPending = false;  // sent on, and the lower driver returned STATUS_PENDING
  bool completed = false;          // completion has left the location: the driver holds it no more
  unsigned serial = 0;             // finds the call again once other threads' calls came and went
  PDEVICE_OBJECT device = nullptr;  // the device called, and the request's major function
  UCHAR major = 0;
  // The device's label, kept when its name went during the call: the checks
  // made after the call name the device as it was called.
  std::optional<std::string> deviceLabel{};
};

struct PoolBlock {
  size_t size;
  ULONG tag;
};

// An MDL from IoAllocateMdl. lockedFor: the IRP id of the handle's request in
// whose caller's context it was probed and locked, 0 when none.
struct MdlRecord {
  bool locked = false;
  unsigned lockedFor = 0;
};

// Pool for the platform's own components (the USB library): counted for
// failure injection and traced, but held to no driver's type or tag.
PVOID allocatePool(SIZE_T bytes, ULONG tag);

class UsbBridge;
struct UserRequest;

// Every exported kernel routine calls this first, with its own name: it counts
// the call and gives another processor its turn when one is due (preemptAt).
void kernelCall(const char *routine);

// A threaded wait or spin that lasts this long in real time is reported as a hang.
constexpr std::chrono::seconds kHangLimit{20};

// The platform lock, recursive, held by the kernel routines around their own
// state. A condition variable can wait on it. The deterministic mode has no
// other thread to exclude, and there it takes no mutex: ThreadedMode starts
// and ends while no kernel routine runs, so no lock outlives its mode.
class PlatformLock {
 public:
  PlatformLock() { lock(); }
  ~PlatformLock() {
    if (owned_) unlock();
  }
  PlatformLock(const PlatformLock &) = delete;
  PlatformLock &operator=(const PlatformLock &) = delete;
  void lock();
  void unlock();

 private:
  void lockMutex();
  void unlockMutex();

  bool owned_ = false;
  bool mutexHeld_ = false;
};

// Called before the simulator runs driver code or blocks: in the threaded
// mode, holding the platform lock then would deadlock against the driver's
// spin locks or the thread that would wake it.
void leavingPlatform();

class Platform {
 public:
  static Platform &get() {
    Platform *made = instance_.load(std::memory_order_acquire);
    return made ? *made : make();
  }
  // Frees everything the last test left and starts from a clean machine.
  void reset();

  Trace trace;
  Verifier verifier;
  Faults faults;
  KernelKind kernel = KernelKind::Nt;

  // Virtual clock in 100 ns units; delays advance it and cost no real time.
  uint64_t now = 0;
  // The running thread's IRQL.
  static thread_local KIRQL irql;
  // The loaded driver's own pool tag; 0 when not checked.
  ULONG driverPoolTag = 0;
  // The word of the one system-wide cancel spin lock (IoAcquireCancelSpinLock).
  KSPIN_LOCK cancelLock = 0;

  // Set by ThreadedMode while it lives.
  bool threaded = false;
  // Signalled, under the platform lock, at each event set, IRP completion,
  // user request freed and deferred work queued.
  std::condition_variable_any changed;

  // Work that a bus DPC would do later (deferred completions). Deterministic:
  // waits drain it, on the waiting thread. Threaded: the bus workers run it and
  // the two routines below do nothing.
  std::deque<std::function<void()>> pendingWork;
  void defer(std::function<void()> work);
  bool runOnePendingWork();
  void runAllPendingWork();
  // Until done() holds (evaluated under the platform lock): deterministic, runs
  // deferred work while there is some; threaded, blocks for at most kHangLimit.
  bool waitUntil(const std::function<bool()> &done);

  // Events of waits reported as hangs. On Windows the waiter never returns and
  // its event stays; here the wait returns, and the event (often in the
  // waiter's stack frame) may be gone: it is not touched again until it is
  // initialized anew.
  std::set<PRKEVENT> abandonedEvents;

  std::map<void *, PoolBlock> pool;
  std::map<PMDL, MdlRecord> mdls;
  // The callers' address space (one process in the simulated machine).
  UserMemory userMemory;
  std::map<PIRP, IrpInfo> irps;
  std::vector<DispatchCall> dispatchCalls;
  std::map<std::u16string, PDEVICE_OBJECT> deviceNames;
  std::map<std::u16string, std::u16string> symbolicLinks;
  std::vector<PDEVICE_OBJECT> devices;
  // Devices IoDeleteDevice has deleted whose memory references still keep.
  std::set<PDEVICE_OBJECT> deletedDevices;
  // Requests made through user handles, until the I/O manager has freed their IRP.
  std::map<PIRP, std::shared_ptr<UserRequest>> userRequests;
  // Counts resets, so that a handle from before one knows its device is gone.
  unsigned resets = 0;
  std::vector<std::unique_ptr<DRIVER_OBJECT>> drivers;
  std::vector<std::unique_ptr<DRIVER_EXTENSION>> driverExtensions;
  std::vector<std::unique_ptr<UsbBridge>> bridges;
  // PoSetPowerState's calls per device, in order, until the device is freed.
  std::map<PDEVICE_OBJECT, std::vector<PowerStateChange>> powerStates;

  // The dispatch calls' serials.
  unsigned dispatchSerial = 0;
  // Requests that reached any simulated bridge, counted in order of arrival.
  unsigned busSequence = 0;
  // Platform-internal allocation of IRPs and devices, outside failure injection.
  PIRP newIrp(CCHAR stackSize, IrpOrigin origin);
  void freeIrp(PIRP irp);
  PDEVICE_OBJECT newDevice(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type);
  void freeDevice(PDEVICE_OBJECT device);
  // IoDeleteDevice: frees the device, or, while references remain, removes its
  // name and keeps its memory until the last one goes.
  void deleteDevice(PDEVICE_OBJECT device);
  // Handles hold references; the last one frees a deleted device.
  void referenceDevice(PDEVICE_OBJECT device);
  void dereferenceDevice(PDEVICE_OBJECT device);
  PDRIVER_OBJECT newDriver();

  PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device) const;
  std::string deviceLabel(PDEVICE_OBJECT device) const;
  std::string irpLabel(PIRP irp) const;
  // The label of the IRP with this id, whether or not it still exists.
  static std::string irpIdLabel(unsigned id) { return "IRP#" + std::to_string(id); }
  // The device each device is attached to (its lower device).
  std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> attachedTo;
  unsigned irpsMade = 0;

  // Preemption points. kernelCalls counts the entries into kernel routines
  // (each calls kernelCall first): the driver's calls, and those the simulated
  // I/O manager, bus and library make on its behalf, so a run's count is the
  // same every time. preemptAt(nth, action) arms one action for the entry of
  // the nth call from now (1 = the next): it runs there, before the routine
  // does anything, at DISPATCH_LEVEL with no spin lock held, as a DPC on
  // another processor would; the IRQL is restored after. When the thread
  // holds a spin lock at that entry the action waits until it releases the
  // last one (another processor would spin until then) and runs inside that
  // KeReleaseSpinLock, after the IRQL is restored. The action's own kernel
  // calls are neither counted nor preempted; it must release every spin lock
  // it takes. Arming again replaces an action that has not run. To try every
  // point of an operation: run it once and read kernelCalls, then re-run it
  // from the same state with preemptAt(k) for each k up to that count.
  // Deterministic mode only: the threaded mode counts calls but never preempts.
  unsigned kernelCalls = 0;
  void preemptAt(unsigned nth, std::function<void()> action);
  bool preemptionArmed() const { return static_cast<bool>(preemption_); }

 private:
  friend void kernelCall(const char *routine);
  friend void releasedLastSpinLock();
  friend class PlatformLock;
  void runPreemption(const char *where);
  void forgetName(PDEVICE_OBJECT device);

  unsigned preemptionDue_ = 0;
  bool preemptionWaitsForLocks_ = false;
  std::function<void()> preemption_;
  std::recursive_mutex mutex_;

  // Every kernel routine asks for the platform, several times: the first call
  // makes it, later ones find it here without a call.
  static Platform &make();
  static inline std::atomic<Platform *> instance_{nullptr};

  Platform() = default;
};

inline Platform &platform() { return Platform::get(); }

inline void PlatformLock::lock() {
  mutexHeld_ = platform().threaded;
  if (mutexHeld_) lockMutex();
  owned_ = true;
}

inline void PlatformLock::unlock() {
  owned_ = false;
  if (mutexHeld_) unlockMutex();
  mutexHeld_ = false;
}

// The threaded mode for its lifetime: bus workers run the deferred work at
// DISPATCH_LEVEL, waits block until another thread sets their event, spin
// locks spin. Made and destroyed while no other thread uses the platform; the
// destructor lets the workers finish the queued work, then joins them.
class ThreadedMode {
 public:
  explicit ThreadedMode(unsigned busWorkers = 2);
  ~ThreadedMode();
  ThreadedMode(const ThreadedMode &) = delete;
  ThreadedMode &operator=(const ThreadedMode &) = delete;

 private:
  void serve();

  bool stopping_ = false;  // under the platform lock
  std::vector<std::thread> workers_;
};

}  // namespace sim
