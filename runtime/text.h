// Text conversion between the programs' Unicode strings and the ANSI code
// page the Simplified Chinese system uses (936).
#pragma once
#include <string>

namespace rt {

constexpr unsigned kAnsiCodePage = 936;

// Characters that code page 936 cannot hold become '?'.
std::string to_cp936(const std::wstring& text);
std::wstring from_cp936(const std::string& bytes);

// What a text becomes once it has passed through code page 936 and back.
std::wstring through_cp936(const std::wstring& text);

// Upper-cases with the platform's case mapping: letters become capitals,
// every other character stays.
std::wstring upper_case(const std::wstring& text);

}  // namespace rt
