// Installing the emulated bus and the function driver as Windows setup does,
// and removing the bus's root device again.
#pragma once

#include <string>

// The bus: a root device with the bus's hardware id, registered, then given
// its driver from BUS_INF (which setup copies to %windir%\inf); waits until
// \\.\HarlenTestBus opens. The function driver: HARLEN_INF copied among the
// system's INFs, so a bridge that appears finds it. False with error text.
bool installBusAndDriver(const std::wstring &busInf, const std::wstring &harlenInf, std::string &error);

// The function driver alone, for a machine whose bridge is a real USB device
// found later: HARLEN_INF among the system's INFs, as installBusAndDriver does.
bool stageFunctionDriver(const std::wstring &harlenInf, std::string &error);

// The driver of the present device with HARDWARE_ID installed from INF (forced, as
// the device manager's "update driver"). False with error text.
bool installForDevice(const std::wstring &hardwareId, const std::wstring &inf, std::string &error);

// The bus's root device uninstalled (DIF_REMOVE): its children leave with it.
bool removeBus(std::string &error);
