// What the load handler needs beyond the window: the directories Windows
// reports into the installer's fixed 128-byte buffer.
#pragma once
#include <windows.h>

#include <string>

namespace installer {

constexpr UINT kDirectoryBufferSize = 128;
using DirectoryQuery = UINT(WINAPI*)(LPSTR buffer, UINT size);

// The directory that query writes into buffer. A path that does not fit
// raises an error rather than yielding a cut-off path.
std::wstring directory_in(char (&buffer)[kDirectoryBufferSize], DirectoryQuery query);

}  // namespace installer
