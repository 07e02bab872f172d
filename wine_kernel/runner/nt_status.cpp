#include "nt_status.h"

#include <windows.h>

extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

int32_t lastNtStatus() { return RtlGetLastNtStatus(); }
