#include "nt_status.h"

// clang-format off
#include <windows.h>
#include <ntstatus.h>
// clang-format on

#include <cstdio>
#include <map>

extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

std::string statusName(int32_t status) {
#define NAMED(code) {static_cast<int32_t>(code), #code}
  static const std::map<int32_t, const char *> names = {
      NAMED(STATUS_SUCCESS),           NAMED(STATUS_TIMEOUT),
      NAMED(STATUS_PENDING),           NAMED(STATUS_DEVICE_BUSY),
      NAMED(STATUS_NO_MORE_ENTRIES),   NAMED(STATUS_UNSUCCESSFUL),
      NAMED(STATUS_NOT_IMPLEMENTED),   NAMED(STATUS_ACCESS_VIOLATION),
      NAMED(STATUS_BUFFER_TOO_SMALL),  NAMED(STATUS_INVALID_USER_BUFFER),
      NAMED(STATUS_INVALID_PARAMETER), NAMED(STATUS_NO_SUCH_DEVICE),
      NAMED(STATUS_INVALID_DEVICE_REQUEST), NAMED(STATUS_MORE_PROCESSING_REQUIRED),
      NAMED(STATUS_NO_MEMORY),         NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
      NAMED(STATUS_OBJECT_NAME_COLLISION), NAMED(STATUS_DELETE_PENDING),
      NAMED(STATUS_INSUFFICIENT_RESOURCES), NAMED(STATUS_DEVICE_DATA_ERROR),
      NAMED(STATUS_NOT_SUPPORTED),     NAMED(STATUS_CANCELLED),
      NAMED(STATUS_DEVICE_NOT_CONNECTED), NAMED(STATUS_DEVICE_CONFIGURATION_ERROR),
      NAMED(STATUS_BUFFER_OVERFLOW),   NAMED(STATUS_FILE_CLOSED),
      NAMED(STATUS_ACCESS_DENIED),     NAMED(STATUS_OBJECT_PATH_NOT_FOUND),
      NAMED(STATUS_INVALID_HANDLE),    NAMED(STATUS_IO_TIMEOUT),
  };
#undef NAMED
  auto named = names.find(status);
  if (named != names.end()) return named->second;
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(status)));
  return text;
}

int32_t lastNtStatus() { return RtlGetLastNtStatus(); }
