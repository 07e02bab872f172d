// Run-time error numbers as users of such programs know them, and the
// exceptions that carry an error or the end of the program to the top.
#pragma once
#include <string>

namespace rt {

enum ErrorNumber : int {
  kInvalidCall = 5,
  kOverflow = 6,
  kTypeMismatch = 13,
  kBadFileName = 52,
  kFileNotFound = 53,
  kDeviceIoError = 57,
  kFileAlreadyExists = 58,
  kDiskFull = 61,
  kInputPastEndOfFile = 62,
  kPermissionDenied = 70,
  kPathFileAccessError = 75,
  kPathNotFound = 76,
};

// An error raised by a runtime operation and not handled by the program.
struct RuntimeError {
  int number;
};

// The program ends when this reaches the top of the program.
struct ProgramEnd {};

[[noreturn]] void raise_error(int number);
// Raises the error that matches the calling thread's last Win32 failure.
[[noreturn]] void raise_last_win32_error();

int error_from_win32(unsigned long win32_code);
std::wstring error_text(int number);
// The text of the standard report of an unhandled error.
std::wstring error_report_text(int number);

}  // namespace rt
