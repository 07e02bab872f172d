// File-system operations of the window programs. Every failure raises the
// matching run-time error (errors.h).
#pragma once
#include <optional>
#include <string>

namespace rt {

enum AttributeMask : unsigned {
  kOrdinaryFiles = 0,
  kHidden = 2,
  kSystem = 4,
  kDirectory = 16,
};

// The stored long name of the entry at path, or nothing. An entry with the
// hidden, system or directory attribute is reported only when that bit is in
// mask. Wildcards are never expanded: a path holding '*' or '?' names nothing.
std::optional<std::wstring> lookup_entry(const std::wstring& path, unsigned mask);

// Sequential text files: one item per line, a text item between double quotes.
void write_text_item(const std::wstring& path, const std::string& ansi_text);
// Reads the first item of the file (ANSI bytes); raises "input past end of
// file" when the file holds none.
std::string read_text_item(const std::wstring& path);

// True for an existing folder given with its drive ("X:\\...").
bool is_folder(const std::wstring& path);

void rename_entry(const std::wstring& from, const std::wstring& to);
void delete_file(const std::wstring& path);
void copy_file(const std::wstring& from, const std::wstring& to);

}  // namespace rt
