// The combo box fillers, from device-map and office keys the tests set up.
#include <gtest/gtest.h>

#include <vector>

#include "registry_fixture.h"
#include "setup_window.h"
#include "test_support.h"

using namespace registry_fixture;

namespace {

constexpr wchar_t kSerial[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr wchar_t kParallel[] = L"HARDWARE\\DEVICEMAP\\PARALLEL PORTS";

struct PortValue {
  std::wstring name;
  std::wstring data;
};

// Puts a device-map key (REG_SZ values only) aside for one test, with the
// given values in its place or no key at all, and brings it back afterwards.
// The device map is volatile, so the keys are too.
class StandInKey {
 public:
  StandInKey(std::wstring path, const std::vector<PortValue>& values, bool present) : path_(std::move(path)) {
    HKEY key;
    existed_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    for (DWORD i = 0; existed_; ++i) {
      wchar_t name[256], data[256];
      DWORD name_length = 256, size = sizeof data;
      if (RegEnumValueW(key, i, name, &name_length, nullptr, nullptr, (BYTE*)data, &size) != ERROR_SUCCESS) break;
      saved_.push_back({name, data});
    }
    if (existed_) RegCloseKey(key);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
    if (present) write(values);
  }
  ~StandInKey() {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
    if (existed_) write(saved_);
  }

 private:
  void write(const std::vector<PortValue>& values) const {
    HKEY key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                    &key, nullptr);
    for (const PortValue& v : values)
      RegSetValueExW(key, v.name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.data.c_str()),
                     (v.data.size() + 1) * sizeof(wchar_t));
    RegCloseKey(key);
  }

  std::wstring path_;
  bool existed_ = false;
  std::vector<PortValue> saved_;
};

class ComboLists : public ::testing::Test {
 protected:
  void SetUp() override { window_.create(); }

  std::vector<std::wstring> entries() const {
    std::vector<std::wstring> list;
    HWND combo = window_.列表框();
    const int count = (int)SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
      std::wstring entry(SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) + 1, L'\0');
      entry.resize(SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry.data())));
      list.push_back(entry);
    }
    return list;
  }
  std::wstring combo_text() const {
    wchar_t text[256] = {};
    GetWindowTextW(window_.列表框(), text, 256);
    return text;
  }
  bool combo_shown() const { return GetWindowLongW(window_.列表框(), GWL_STYLE) & WS_VISIBLE; }

  test_support::RecordingUi ui_;
  installer::安装窗口 window_{GetModuleHandleW(nullptr), ui_};
};

// The office keys of the test, removed from the highest one it created.
class OfficeKeys {
 public:
  explicit OfficeKeys(const std::wstring& product) {
    const std::wstring key = L"SOFTWARE\\Microsoft\\office\\9.0\\" + product;
    created_ = first_missing(key);
    create_key(key);
  }
  ~OfficeKeys() {
    if (!created_.empty()) delete_tree(created_);
  }

 private:
  std::wstring created_;
};

}  // namespace

TEST_F(ComboLists, SerialPortsListEachValueNameFollowedByItsPort) {
  StandInKey serial(kSerial, {{L"\\Device\\Serial0", L"COM1"}, {L"\\Device\\Serial1", L"COM2"}}, true);
  window_.枚举本机的串行口();
  EXPECT_TRUE(combo_shown());
  const std::vector<std::wstring> expected = {L"\\Device\\Serial0", L"COM1", L"\\Device\\Serial1", L"COM2"};
  EXPECT_EQ(entries(), expected);
  EXPECT_EQ(combo_text(), L"\\Device\\Serial0");
}

TEST_F(ComboLists, NoParallelPortKeyLeavesTheListAndTextEmpty) {
  StandInKey parallel(kParallel, {}, false);
  window_.枚举本机的并行口();
  EXPECT_TRUE(combo_shown());
  EXPECT_TRUE(entries().empty());
  EXPECT_EQ(combo_text(), L"");
}

TEST_F(ComboLists, OfficeProbeWithOnlyWordPresent) {
  OfficeKeys office(L"WORD");
  window_.判断Office2000安装();
  EXPECT_EQ(entries(), std::vector<std::wstring>{L"Word 已经安装。"});
  EXPECT_EQ(combo_text(), L"Word 已经安装。");
}

TEST_F(ComboLists, OfficeProbeWithoutOfficeSaysSo) {
  ASSERT_FALSE(key_exists(L"SOFTWARE\\Microsoft\\office\\9.0"));
  window_.判断Office2000安装();
  EXPECT_TRUE(entries().empty());
  EXPECT_EQ(combo_text(), L"Office2000尚未安装！");
}
