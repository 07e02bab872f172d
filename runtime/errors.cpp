#include "errors.h"

#include <windows.h>

namespace rt {

void raise_error(int number) { throw RuntimeError{number}; }

void raise_last_win32_error() { raise_error(error_from_win32(GetLastError())); }

int error_from_win32(unsigned long win32_code) {
  switch (win32_code) {
    case ERROR_FILE_NOT_FOUND: return kFileNotFound;
    case ERROR_PATH_NOT_FOUND: return kPathNotFound;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return kBadFileName;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return kFileAlreadyExists;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return kPermissionDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return kDiskFull;
    case ERROR_HANDLE_EOF: return kInputPastEndOfFile;
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE: return kDeviceIoError;
    default: return kPathFileAccessError;
  }
}

std::wstring error_text(int number) {
  switch (number) {
    case kInvalidCall: return L"无效的过程调用或参数";
    case kOverflow: return L"溢出";
    case kTypeMismatch: return L"类型不匹配";
    case kBadFileName: return L"错误的文件名或文件号";
    case kFileNotFound: return L"文件未找到";
    case kDeviceIoError: return L"设备 I/O 错误";
    case kFileAlreadyExists: return L"文件已存在";
    case kDiskFull: return L"磁盘已满";
    case kInputPastEndOfFile: return L"输入超出文件尾";
    case kPermissionDenied: return L"没有访问权限";
    case kPathFileAccessError: return L"路径/文件访问错误";
    case kPathNotFound: return L"路径未找到";
    default: return L"应用程序定义的错误或对象定义的错误";
  }
}

std::wstring error_report_text(int number) {
  return L"实时错误 '" + std::to_wstring(number) + L"':\n\n" + error_text(number);
}

}  // namespace rt
