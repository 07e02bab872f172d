#include "locked_folder.h"

#include "files.h"
#include "text.h"

namespace varrow {

std::wstring marker_path(const std::wstring& folder) { return folder + kMarkerName; }

std::wstring locked_path(const std::wstring& folder) { return folder + kLockSuffix; }

bool carries_suffix(const std::wstring& folder) { return folder.find(kLockSuffix) != std::wstring::npos; }

bool own_name_ends_with_suffix(const std::wstring& folder) {
  const size_t last_name = folder.find_last_of(L'\\') + 1;
  return folder.size() >= last_name + kLockSuffix.size() &&
         folder.compare(folder.size() - kLockSuffix.size(), kLockSuffix.size(), kLockSuffix) == 0;
}

std::wstring restored_path(const std::wstring& folder) {
  return folder.substr(0, folder.size() - kLockSuffix.size());
}

void write_marker(const std::wstring& folder, const std::wstring& password) {
  rt::write_text_item(marker_path(folder), rt::to_cp936(password));
}

std::wstring read_marker(const std::wstring& folder) {
  return rt::from_cp936(rt::read_text_item(marker_path(folder)));
}

bool password_matches(const std::wstring& entered, const std::wstring& stored) {
  return rt::through_cp936(entered) == stored;
}

}  // namespace varrow
