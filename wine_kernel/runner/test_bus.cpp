#include "test_bus.h"

std::string win32ErrorText(DWORD error) {
  char *text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
  std::string message = text ? text : "unknown error";
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message + " (error " + std::to_string(error) + ")";
}

bool TestBus::open() {
  handle_ = CreateFileA(HARLEN_BUS_LINK_USER, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle_ != INVALID_HANDLE_VALUE) return true;
  error_ = std::string("cannot open " HARLEN_BUS_LINK_USER ": ") + win32ErrorText(GetLastError());
  return false;
}

TestBus::~TestBus() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool TestBus::control(const char *what, DWORD code, const void *input, DWORD inputLength, void *output,
                      DWORD outputLength, DWORD *returned) {
  DWORD moved = 0;
  if (link_) {
    uint32_t got = 0;
    DWORD error = 0;
    if (link_->control(code, input, inputLength, output, outputLength, got, error)) {
      if (returned) *returned = got;
      return true;
    }
    SetLastError(error);
  } else if (DeviceIoControl(handle_, code, const_cast<void *>(input), inputLength, output, outputLength, &moved, nullptr)) {
    if (returned) *returned = moved;
    return true;
  }
  error_ = std::string("the bus refused ") + what + ": " + win32ErrorText(GetLastError());
  return false;
}

bool TestBus::plug(const HarlenBusPlug &plug, uint32_t &bridge) {
  return control("plug", HARLEN_BUS_PLUG, &plug, sizeof plug, &bridge, sizeof bridge);
}

bool TestBus::unplug(uint32_t bridge) { return control("unplug", HARLEN_BUS_UNPLUG, &bridge, sizeof bridge, nullptr, 0); }

bool TestBus::behave(const HarlenBusBehaviour &behaviour) {
  return control("a behaviour", HARLEN_BUS_BEHAVIOUR, &behaviour, sizeof behaviour, nullptr, 0);
}

bool TestBus::answer(const HarlenBusVendor &vendor) {
  return control("vendor answers", HARLEN_BUS_VENDOR, &vendor, sizeof vendor, nullptr, 0);
}

bool TestBus::fault(const HarlenBusFault &fault) {
  return control("a fault", HARLEN_BUS_FAULT, &fault, sizeof fault, nullptr, 0);
}

bool TestBus::complete(const HarlenBusComplete &complete, uint32_t &completed) {
  return control("a completion", HARLEN_BUS_COMPLETE, &complete, sizeof complete, &completed, sizeof completed);
}

bool TestBus::query(uint32_t bridge, HarlenBusState &state) {
  return control("a query", HARLEN_BUS_QUERY, &bridge, sizeof bridge, &state, sizeof state);
}

bool TestBus::readLog(uint32_t first, std::vector<HarlenWireRecord> &records) {
  // Records come in batches as large as the output; a full batch may have more behind it.
  constexpr size_t kBatch = 1024;
  std::vector<HarlenWireRecord> batch(kBatch);
  records.clear();
  for (;;) {
    DWORD returned = 0;
    if (!control("the log", HARLEN_BUS_READ_LOG, &first, sizeof first, batch.data(),
                 static_cast<DWORD>(batch.size() * sizeof(HarlenWireRecord)), &returned))
      return false;
    size_t count = returned / sizeof(HarlenWireRecord);
    records.insert(records.end(), batch.begin(), batch.begin() + count);
    if (count < kBatch) return true;
    first = records.back().sequence + 1;
  }
}

bool TestBus::selectDirect(const HarlenBusDirect &direct) {
  return control("the direct target", HARLEN_BUS_DIRECT, &direct, sizeof direct, nullptr, 0);
}
