#include "install.h"

// clang-format off
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
// clang-format on

#include <vector>

#include "../bus_control.h"
#include "test_bus.h"

namespace {

const wchar_t kBusHardwareId[] = L"" HARLEN_BUS_HARDWARE_ID;
// A setup class name's longest length, with its terminator.
constexpr DWORD kClassNameLength = 32;
// Wine loads the bus's driver host and runs its start in the background.
constexpr DWORD kBusAppearsWithinMs = 30000;

bool failed(const std::string &what, std::string &error) {
  error = what + ": " + win32ErrorText(GetLastError());
  return false;
}

std::wstring fullPath(const std::wstring &path) {
  std::vector<wchar_t> full(MAX_PATH * 4);
  DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  return length ? std::wstring(full.data(), length) : path;
}

// A device set holding one new root device of the INF's class with the bus's hardware id.
bool registerRootDevice(const std::wstring &inf, std::string &error) {
  GUID classGuid;
  wchar_t className[kClassNameLength];
  if (!SetupDiGetINFClassW(inf.c_str(), &classGuid, className, kClassNameLength, nullptr))
    return failed("the bus INF names no class", error);
  HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
  if (set == INVALID_HANDLE_VALUE) return failed("SetupDiCreateDeviceInfoList", error);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  // A multi-string: the id and an empty string after it.
  const DWORD idBytes = sizeof kBusHardwareId + sizeof(wchar_t);
  std::vector<wchar_t> ids(idBytes / sizeof(wchar_t), 0);
  wcscpy(ids.data(), kBusHardwareId);
  bool ok = SetupDiCreateDeviceInfoW(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device) ||
            failed("SetupDiCreateDeviceInfoW", error);
  ok = ok && (SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE *>(ids.data()), idBytes) ||
              failed("setting the bus's hardware id", error));
  ok = ok && (SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device) || failed("DIF_REGISTERDEVICE", error));
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

// The folder part of a path, with its final backslash.
std::wstring folderOf(const std::wstring &path) { return path.substr(0, path.find_last_of(L'\\') + 1); }

// Wine installs a device found later from the INF's copy in %windir%\inf and
// may look for the driver's files beside that copy rather than at the source
// the copy came from; it reads no source disk's folder either. The files of
// [SourceDisksFiles] go beside the copy, as they lie beside the INF.
bool copySourcesBesideCopiedInf(const std::wstring &inf, const std::wstring &copiedInf, std::string &error) {
  HINF handle = SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return failed("opening harlen.inf", error);
  INFCONTEXT line;
  bool ok = true;
  for (BOOL more = SetupFindFirstLineW(handle, L"SourceDisksFiles", nullptr, &line); ok && more;
       more = SetupFindNextLine(&line, &line)) {
    wchar_t file[MAX_PATH];
    ok = (SetupGetStringFieldW(&line, 0, file, MAX_PATH, nullptr) || failed("reading harlen.inf", error)) &&
         (CopyFileW((folderOf(inf) + file).c_str(), (folderOf(copiedInf) + file).c_str(), FALSE) ||
          failed("copying a driver file beside the installed INF", error));
  }
  SetupCloseInfFile(handle);
  return ok;
}

bool waitForBusLink(std::string &error) {
  for (DWORD waited = 0; waited < kBusAppearsWithinMs; waited += 50) {
    TestBus bus;
    if (bus.open()) return true;
    Sleep(50);
  }
  error = "the bus's control device did not appear within " + std::to_string(kBusAppearsWithinMs / 1000) + " s";
  return false;
}

}  // namespace

bool installBusAndDriver(const std::wstring &busInf, const std::wstring &harlenInf, std::string &error) {
  const std::wstring bus = fullPath(busInf), harlen = fullPath(harlenInf);
  if (!registerRootDevice(bus, error)) return false;
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusHardwareId, bus.c_str(), INSTALLFLAG_FORCE, &reboot))
    return failed("UpdateDriverForPlugAndPlayDevicesW for the bus", error);
  return stageFunctionDriver(harlen, error) && waitForBusLink(error);
}

bool stageFunctionDriver(const std::wstring &harlenInf, std::string &error) {
  const std::wstring harlen = fullPath(harlenInf);
  wchar_t copied[MAX_PATH];
  if (!SetupCopyOEMInfW(harlen.c_str(), nullptr, SPOST_PATH, 0, copied, MAX_PATH, nullptr, nullptr))
    return failed("SetupCopyOEMInfW for harlen.inf", error);
  return copySourcesBesideCopiedInf(harlen, copied, error);
}

bool installForDevice(const std::wstring &hardwareId, const std::wstring &inf, std::string &error) {
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId.c_str(), fullPath(inf).c_str(), INSTALLFLAG_FORCE,
                                          &reboot))
    return failed("UpdateDriverForPlugAndPlayDevicesW for the bridge", error);
  return true;
}

bool removeBus(std::string &error) {
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return failed("SetupDiGetClassDevsW", error);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  bool removed = false;
  for (DWORD i = 0; !removed && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    wchar_t ids[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE *>(ids),
                                           sizeof ids - sizeof(wchar_t), nullptr) ||
        _wcsicmp(ids, kBusHardwareId) != 0)
      continue;
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
      failed("DIF_REMOVE on the bus", error);
      SetupDiDestroyDeviceInfoList(set);
      return false;
    }
    removed = true;
  }
  SetupDiDestroyDeviceInfoList(set);
  if (!removed) error = "no root device with the bus's hardware id is installed";
  return removed;
}
