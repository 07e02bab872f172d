// The NTSTATUS behind the calling thread's last Win32 error, and the names
// the outcome format gives statuses.
#pragma once

#include <cstdint>

#include "status_names.h"

using outcome::statusName;

// The NTSTATUS the last failed system call on this thread ended with.
int32_t lastNtStatus();
