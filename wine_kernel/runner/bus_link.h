// The bus's control requests over a serial port, for a guest whose bridge is
// emulated outside the machine (the host answers for it), and the runner's
// output over the same port. One text line per message, so a log reads:
//   guest: bus CODE OUTLENGTH INPUTHEX     host: ok OUTPUTHEX | error WIN32ERROR
//   guest: out TEXT (a line of the runner's output)
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class BusLink {
 public:
  // Opens the port (e.g. "COM2") and makes `output()` write through it.
  bool open(const std::string &port);
  ~BusLink();

  // One control request and its answer; false with the Win32 error the host gave (or the port's).
  bool control(uint32_t code, const void *input, uint32_t inputLength, void *output, uint32_t outputLength,
               uint32_t &returned, DWORD &error);
  // Everything written here reaches the host as "out" lines.
  FILE *output() const { return output_; }
  const std::string &error() const { return error_; }

 private:
  bool sendLine(const std::string &line);
  bool receiveLine(std::string &line);
  static DWORD WINAPI forwardOutput(void *self);

  HANDLE port_ = INVALID_HANDLE_VALUE;
  CRITICAL_SECTION writing_;
  bool lockMade_ = false;
  FILE *output_ = nullptr;
  HANDLE outputRead_ = INVALID_HANDLE_VALUE;
  HANDLE forwarder_ = nullptr;
  std::string pending_;  // received bytes after the last whole line
  std::string error_;
};

// The message text, apart from the port (tests/bus_link_test.cpp).
std::string encodeRequest(uint32_t code, const void *input, uint32_t inputLength, uint32_t outputLength);
// An answer line: true and its bytes for "ok", false and the error for "error"; false and
// ERROR_INVALID_DATA for anything else.
bool decodeAnswer(const std::string &line, std::vector<uint8_t> &output, DWORD &error);
