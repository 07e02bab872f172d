// How a folder is locked: a suffix on its name that makes the shell present it
// as an HTML document, and a one-line marker file inside it holding the
// password. Nothing is encrypted.
#pragma once
#include <string>

namespace varrow {

inline const std::wstring kLockSuffix = L".{25336920-03F9-11CF-8FD0-00AA00686F13}";
inline const std::wstring kMarkerName = L"\\Varrow.bmp";

std::wstring marker_path(const std::wstring& folder);
std::wstring locked_path(const std::wstring& folder);

bool carries_suffix(const std::wstring& folder);
// True when the folder's own (last) name ends with the suffix: only such a
// path can be given its name back.
bool own_name_ends_with_suffix(const std::wstring& folder);
// The folder path with one suffix removed from the end of its last name.
std::wstring restored_path(const std::wstring& folder);

// Creates or empties the marker and writes the quoted password line.
void write_marker(const std::wstring& folder, const std::wstring& password);
// The password as stored; raises a run-time error when it cannot be read.
std::wstring read_marker(const std::wstring& folder);
// Whether an entered password matches a stored one. Both sides are compared
// as the marker holds them, so a password with characters outside the ANSI
// code page still opens the folder it locked.
bool password_matches(const std::wstring& entered, const std::wstring& stored);

}  // namespace varrow
