// NTSTATUS values as the scenario lines name them, and the status behind the
// calling thread's last Win32 error.
#pragma once

#include <cstdint>
#include <string>

// "STATUS_SUCCESS", or "0xC0000010" for a status without a name here.
std::string statusName(int32_t status);
// The NTSTATUS the last failed system call on this thread ended with.
int32_t lastNtStatus();
