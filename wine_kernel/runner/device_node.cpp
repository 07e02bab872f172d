#include "device_node.h"

#include <cfgmgr32.h>
#include <setupapi.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

namespace {

// A REG_MULTI_SZ property holds the id among its strings.
bool holdsId(const std::vector<wchar_t> &ids, const std::wstring &id) {
  for (const wchar_t *one = ids.data(); *one; one += wcslen(one) + 1)
    if (_wcsicmp(one, id.c_str()) == 0) return true;
  return false;
}

std::vector<wchar_t> property(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD which) {
  std::vector<wchar_t> value(1024, L'\0');
  DWORD size = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, which, nullptr, reinterpret_cast<BYTE *>(value.data()),
                                         static_cast<DWORD>((value.size() - 2) * sizeof(wchar_t)), &size))
    value.assign(2, L'\0');
  return value;
}

}  // namespace

DeviceNode findDeviceNode(const std::wstring &hardwareId, const std::vector<std::wstring> &others) {
  DeviceNode node;
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return node;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    if (!holdsId(property(set, device, SPDRP_HARDWAREID), hardwareId)) continue;
    wchar_t instance[MAX_DEVICE_ID_LEN];
    if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, MAX_DEVICE_ID_LEN, nullptr)) continue;
    if (std::find(others.begin(), others.end(), instance) != others.end()) continue;
    node.instance = instance;
    ULONG status = 0, problem = 0;
    if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) != CR_SUCCESS) continue;
    node.present = true;
    node.started = (status & DN_STARTED) != 0;
    node.problem = (status & DN_HAS_PROBLEM) ? problem : 0;
    std::vector<wchar_t> service = property(set, device, SPDRP_SERVICE);
    for (const wchar_t *c = service.data(); *c; ++c) node.service += static_cast<char>(*c);
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return node;
}

bool dosNameExists(const std::wstring &name) {
  wchar_t target[512];
  return QueryDosDeviceW(name.c_str(), target, 512) != 0;
}

std::wstring usbHardwareId(uint16_t vendorId, uint16_t productId) {
  wchar_t id[32];
  swprintf(id, 32, L"USB\\VID_%04X&PID_%04X", vendorId, productId);
  return id;
}
