// The emulated USB bus's control device as the test program uses it: one
// call per control code of bus_control.h, each failing with the Win32 error
// text when the bus refuses.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../bus_control.h"
#include "bus_link.h"

class TestBus {
 public:
  // Opens \\.\HarlenTestBus; false (with error()) when it does not open.
  bool open();
  // Sends the same requests over a link to a bus outside the machine instead.
  void useLink(BusLink &link) { link_ = &link; }
  // The bridges are real USB devices outside the machine: the bus records no PnP request.
  bool outsideMachine() const { return link_ != nullptr; }
  ~TestBus();

  bool plug(const HarlenBusPlug &plug, uint32_t &bridge);
  bool unplug(uint32_t bridge);
  bool behave(const HarlenBusBehaviour &behaviour);
  bool answer(const HarlenBusVendor &vendor);
  bool fault(const HarlenBusFault &fault);
  bool complete(const HarlenBusComplete &complete, uint32_t &completed);
  bool query(uint32_t bridge, HarlenBusState &state);
  // Every record from sequence `first` on, completions as they stand now.
  bool readLog(uint32_t first, std::vector<HarlenWireRecord> &records);
  // Where reads and writes on a handle of the bus's control device go: straight
  // to a bridge's pipes, cut into `chunk`-byte URBs.
  bool selectDirect(const HarlenBusDirect &direct);

  const std::string &error() const { return error_; }

 private:
  bool control(const char *what, DWORD code, const void *input, DWORD inputLength, void *output, DWORD outputLength,
               DWORD *returned = nullptr);

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  BusLink *link_ = nullptr;
  std::string error_;
};

// The text Windows gives for a Win32 error, with its number.
std::string win32ErrorText(DWORD error);
