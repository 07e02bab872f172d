// The combo box fillers: the machine's serial and parallel ports from the
// device map, and which applications of the 2000 office suite are present.
#include "registry_class.h"
#include "setup_window.h"

namespace installer {

namespace {

struct OfficeProduct {
  const wchar_t* key;
  const wchar_t* message;
};

const OfficeProduct kOfficeProducts[] = {
    {L"SOFTWARE\\Microsoft\\office\\9.0\\access", L"Access 已经安装。"},
    {L"SOFTWARE\\Microsoft\\office\\9.0\\EXCEL", L"Excel 已经安装。"},
    {L"SOFTWARE\\Microsoft\\office\\9.0\\WORD", L"Word 已经安装。"},
    {L"SOFTWARE\\Microsoft\\office\\9.0\\publish", L"publish 已经安装。"},
};

}  // namespace

void 安装窗口::list_values_of(const std::wstring& key) {
  start_list();
  注册表类 r;
  for (const std::wstring& item : r.enumvaluenames(HKEY_LOCAL_MACHINE, key)) add_entry(item);
  show_entry_0_or(L"");
}

void 安装窗口::枚举本机的串行口() { list_values_of(L"HARDWARE\\DeviceMap\\SerialComm"); }

void 安装窗口::枚举本机的并行口() { list_values_of(L"HARDWARE\\DeviceMap\\PARALLEL PORTS"); }

void 安装窗口::判断Office2000安装() {
  start_list();
  注册表类 r;  // each openkey releases the key the one before opened
  for (const OfficeProduct& product : kOfficeProducts)
    if (r.openkey(HKEY_LOCAL_MACHINE, product.key) == ERROR_SUCCESS) add_entry(product.message);
  show_entry_0_or(L"Office2000尚未安装！");
}

}  // namespace installer
