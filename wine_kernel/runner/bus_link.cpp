#include "bus_link.h"

#include <fcntl.h>
#include <io.h>

#include <cstdlib>

#include "test_bus.h"

namespace {

// The host answers within this long, or it is gone.
constexpr DWORD kAnswerWithinMs = 120000;
constexpr DWORD kQueueBytes = 1 << 16;

const char kDigits[] = "0123456789ABCDEF";

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string encodeRequest(uint32_t code, const void *input, uint32_t inputLength, uint32_t outputLength) {
  char head[40];
  snprintf(head, sizeof head, "bus %08X %u ", static_cast<unsigned>(code), static_cast<unsigned>(outputLength));
  std::string line = head;
  const uint8_t *bytes = static_cast<const uint8_t *>(input);
  for (uint32_t i = 0; i < inputLength; ++i) {
    line += kDigits[bytes[i] >> 4];
    line += kDigits[bytes[i] & 15];
  }
  return line;
}

bool decodeAnswer(const std::string &line, std::vector<uint8_t> &output, DWORD &error) {
  output.clear();
  if (line.compare(0, 6, "error ") == 0) {
    char *end = nullptr;
    unsigned long number = strtoul(line.c_str() + 6, &end, 10);
    error = (end != line.c_str() + 6 && number != 0) ? static_cast<DWORD>(number) : ERROR_INVALID_DATA;
    return false;
  }
  error = ERROR_INVALID_DATA;
  if (line != "ok" && line.compare(0, 3, "ok ") != 0) return false;
  std::string hex = line.size() > 3 ? line.substr(3) : "";
  if (hex.size() % 2) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = digitValue(hex[i]), low = digitValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    output.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  error = 0;
  return true;
}

bool BusLink::open(const std::string &port) {
  port_ = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port_ == INVALID_HANDLE_VALUE) {
    error_ = "cannot open " + port + ": " + win32ErrorText(GetLastError());
    return false;
  }
  // Room for whole answers while no read is pending: ReactOS's serial driver
  // keeps 16 bytes by default and drops what does not fit.
  if (!SetupComm(port_, kQueueBytes, kQueueBytes)) {
    error_ = "cannot size the queues of " + port + ": " + win32ErrorText(GetLastError());
    return false;
  }
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port_, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  // Reads return what has arrived within 50 ms of the first byte, or nothing after a second.
  COMMTIMEOUTS timeouts = {50, 0, 1000, 0, 0};
  if (!SetCommState(port_, &dcb) || !SetCommTimeouts(port_, &timeouts)) {
    error_ = "cannot set up " + port + ": " + win32ErrorText(GetLastError());
    return false;
  }
  InitializeCriticalSection(&writing_);
  lockMade_ = true;
  // The runner's output goes into a pipe; a thread sends it on, line by line.
  HANDLE writeEnd;
  if (!CreatePipe(&outputRead_, &writeEnd, nullptr, 0)) {
    error_ = "CreatePipe: " + win32ErrorText(GetLastError());
    return false;
  }
  output_ = _fdopen(_open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_WRONLY | _O_TEXT), "w");
  forwarder_ = CreateThread(nullptr, 0, forwardOutput, this, 0, nullptr);
  return output_ != nullptr && forwarder_ != nullptr;
}

BusLink::~BusLink() {
  if (output_) fclose(output_);  // the forwarder sees the pipe end and stops
  if (forwarder_) {
    WaitForSingleObject(forwarder_, INFINITE);
    CloseHandle(forwarder_);
  }
  if (outputRead_ != INVALID_HANDLE_VALUE) CloseHandle(outputRead_);
  if (port_ != INVALID_HANDLE_VALUE) {
    FlushFileBuffers(port_);
    CloseHandle(port_);
  }
  if (lockMade_) DeleteCriticalSection(&writing_);
}

DWORD WINAPI BusLink::forwardOutput(void *self) {
  BusLink &link = *static_cast<BusLink *>(self);
  std::string line;
  char c;
  DWORD got;
  while (ReadFile(link.outputRead_, &c, 1, &got, nullptr) && got == 1) {
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    link.sendLine("out " + line);
    line.clear();
  }
  if (!line.empty()) link.sendLine("out " + line);
  return 0;
}

bool BusLink::sendLine(const std::string &line) {
  std::string framed = line + "\n";
  EnterCriticalSection(&writing_);
  DWORD written = 0;
  BOOL ok = WriteFile(port_, framed.data(), static_cast<DWORD>(framed.size()), &written, nullptr);
  LeaveCriticalSection(&writing_);
  return ok && written == framed.size();
}

bool BusLink::receiveLine(std::string &line) {
  DWORD start = GetTickCount();
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(port_, buffer, sizeof buffer, &got, nullptr)) return false;
    pending_.append(buffer, got);
    if (got == 0 && GetTickCount() - start >= kAnswerWithinMs) {
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
  }
}

bool BusLink::control(uint32_t code, const void *input, uint32_t inputLength, void *output, uint32_t outputLength,
                      uint32_t &returned, DWORD &error) {
  std::string answer;
  // No output line goes out while the answer comes in. ReactOS's serial driver
  // serves one interrupt cause per interrupt: a transmit-empty cause still
  // pending while the answer arrives keeps the edge-triggered line high, and
  // the port stops for good.
  EnterCriticalSection(&writing_);
  bool answered = sendLine(encodeRequest(code, input, inputLength, outputLength)) && receiveLine(answer);
  if (!answered) error = GetLastError();
  LeaveCriticalSection(&writing_);
  if (!answered) return false;
  std::vector<uint8_t> bytes;
  if (!decodeAnswer(answer, bytes, error)) return false;
  if (bytes.size() > outputLength) {
    error = ERROR_INVALID_DATA;
    return false;
  }
  memcpy(output, bytes.data(), bytes.size());
  returned = static_cast<uint32_t>(bytes.size());
  return true;
}
