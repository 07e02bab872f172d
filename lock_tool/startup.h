// Start-up: turns the argument text into the canonical folder path and picks
// the run's mode, or refuses with a message and ends the program.
#pragma once
#include <optional>
#include <string>

#include "ui.h"

namespace varrow {

enum class Mode { kLock, kUnlock };

struct StartResult {
  std::wstring folder;
  Mode mode;
};

inline const std::wstring kAppTitle = L"Varrowcrypt";
inline const std::wstring kBadPathMessage = L"加解密的文件夹路径错误！";
inline const std::wstring kNotLockedMessage = L"这个文件不是已经加密的文件！";

// Drive part plus the stored long name of every component, upper-cased; or
// nothing when the argument is malformed or a component does not exist.
std::optional<std::wstring> canonical_folder_path(const std::wstring& argument);

StartResult start_up(const std::wstring& argument, rt::Ui& ui);

}  // namespace varrow
