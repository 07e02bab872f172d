#include "registry_class.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <stdexcept>

#include "errors.h"
#include "text.h"

namespace installer {

namespace {

// All specific rights (query, set, create, enumerate, notify, link), no standard ones.
constexpr REGSAM kOpenAccess = 0x3F;
constexpr DWORD kTextReadLength = 255;
constexpr DWORD kEnumLength = 256;  // stated length of 257-byte buffers

std::wstring trimmed(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// One byte turned into one character on its own, as the byte-wise listing
// of text data has it; a lone lead byte has no character and shows as '?'.
wchar_t character_of_byte(unsigned char byte) {
  if (byte < 0x80) return byte;
  const std::wstring one = rt::from_cp936(std::string(1, static_cast<char>(byte)));
  return one.size() == 1 ? one[0] : L'?';
}

std::string up_to_nul(const char* buffer, size_t capacity) { return std::string(buffer, strnlen(buffer, capacity)); }

}  // namespace

std::wstring text_of(const Variant& value) {
  if (const auto* number = std::get_if<std::int32_t>(&value)) return std::to_wstring(*number);
  return std::get<std::wstring>(value);
}

std::int32_t number_of(const Variant& value) {
  if (const auto* number = std::get_if<std::int32_t>(&value)) return *number;
  const std::wstring text = trimmed(std::get<std::wstring>(value));
  const size_t digits = (!text.empty() && (text[0] == L'-' || text[0] == L'+')) ? 1 : 0;
  if (text.size() == digits || !std::all_of(text.begin() + digits, text.end(), iswdigit))
    rt::raise_error(rt::kTypeMismatch);
  try {
    const long long n = std::stoll(text);
    if (n < INT32_MIN || n > INT32_MAX) rt::raise_error(rt::kOverflow);
    return static_cast<std::int32_t>(n);
  } catch (const std::out_of_range&) {
    rt::raise_error(rt::kOverflow);
  }
}

注册表类::~注册表类() { closekey(); }

void 注册表类::record(HKEY key) {
  if (h_key_ && h_key_ != key) RegCloseKey(h_key_);
  h_key_ = key;
}

LONG 注册表类::open_into_record(HKEY mainkey, const std::wstring& subkey, REGSAM access) {
  HKEY key = nullptr;
  const LONG status = RegOpenKeyExA(mainkey, rt::to_cp936(subkey).c_str(), 0, access, &key);
  record(status == ERROR_SUCCESS ? key : nullptr);
  return status;
}

LONG 注册表类::create_into_record(HKEY mainkey, const std::wstring& subkey) {
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HKEY key = nullptr;
  const LONG status = RegCreateKeyExA(mainkey, rt::to_cp936(subkey).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_WRITE, &security, &key, nullptr);
  record(status == ERROR_SUCCESS ? key : nullptr);
  return status;
}

LONG 注册表类::openkey(HKEY mainkey, const std::wstring& subkey) {
  return open_into_record(mainkey, subkey, kOpenAccess);
}

LONG 注册表类::closekey(HKEY hkey) {
  if (hkey && hkey != h_key_) return RegCloseKey(hkey);
  if (!h_key_) return ERROR_SUCCESS;
  const LONG status = RegCloseKey(h_key_);
  h_key_ = nullptr;
  return status;
}

LONG 注册表类::deletekey(HKEY mainkey, const std::wstring& subkey, const Variant& dsubkey) {
  LONG status = open_into_record(mainkey, subkey, kOpenAccess);
  if (status != ERROR_SUCCESS) return status;
  status = RegDeleteKeyA(h_key_, rt::to_cp936(text_of(dsubkey)).c_str());
  closekey();
  return status;
}

LONG 注册表类::deletevalue(HKEY mainkey, const std::wstring& subkey, const std::wstring& valuename) {
  LONG status = open_into_record(mainkey, subkey, kOpenAccess);
  if (status != ERROR_SUCCESS) return status;
  status = RegDeleteValueA(h_key_, rt::to_cp936(valuename).c_str());
  closekey();
  return status;
}

LONG 注册表类::getvalue(HKEY mainkey, const std::wstring& subkey, const std::wstring& valuename,
                        std::wstring& value) {
  LONG status = open_into_record(mainkey, subkey, KEY_READ);
  if (status != ERROR_SUCCESS) return status;
  const std::string name = rt::to_cp936(valuename);
  // A one-byte buffer stated as empty: type and length come back, no data.
  // A missing value reports neither, so the type read last still decides
  // the branch (and its read reports the missing value).
  DWORD type = 0, size = 0;
  BYTE probe = 0;
  status = RegQueryValueExA(h_key_, name.c_str(), nullptr, &type, &probe, &size);
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    l_type_ = type;
    l_size_ = size;
  }
  switch (l_type_) {
    case REG_SZ: return read_text(name, kTextReadLength, value);
    case REG_EXPAND_SZ: return read_text(name, l_size_, value);
    case REG_DWORD:
    case REG_BINARY: return read_number(name, value);
    default: closekey(); return status;
  }
}

LONG 注册表类::read_text(const std::string& name, DWORD stated_length, std::wstring& value) {
  s_data_.assign(stated_length, ' ');
  DWORD length = stated_length;
  const LONG status =
      RegQueryValueExA(h_key_, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(s_data_.data()), &length);
  if (status != ERROR_SUCCESS) return status;
  // Only the bytes read count: text written without a terminating zero
  // must not come back padded with the buffer's blanks.
  value = rt::from_cp936(up_to_nul(s_data_.data(), std::min<size_t>(length, s_data_.size())));
  closekey();
  return ERROR_SUCCESS;
}

LONG 注册表类::read_number(const std::string& name, std::wstring& value) {
  l_data_ = 0;  // a short binary value must not keep bytes of an earlier read
  DWORD length = std::min<DWORD>(l_size_, sizeof l_data_);
  const LONG status =
      RegQueryValueExA(h_key_, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&l_data_), &length);
  if (status != ERROR_SUCCESS) return status;
  value = std::to_wstring(l_data_);
  closekey();
  return ERROR_SUCCESS;
}

LONG 注册表类::setvalue(HKEY mainkey, const std::wstring& subkey, const std::wstring& valuename,
                        const Variant& svalue, long& lbuffer) {
  const LONG status = create_into_record(mainkey, subkey);
  if (status != ERROR_SUCCESS) return status;
  if (l_type_ == 0) {
    if (text_of(svalue).empty()) {
      closekey();
      return ERROR_SUCCESS;
    }
    l_type_ = REG_SZ;
  }
  return write(rt::to_cp936(valuename), svalue, lbuffer);
}

LONG 注册表类::write(const std::string& name, const Variant& svalue, long& lbuffer) {
  LONG status;
  switch (l_type_) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_BINARY: {
      const std::string data = rt::to_cp936(text_of(svalue));
      lbuffer = static_cast<long>(data.size());
      // The ANSI call counts a terminating zero the caller left out whenever
      // the byte after the data is zero; a guard byte keeps the stored text
      // exactly its own bytes.
      const std::string guarded = data + ' ';
      status = RegSetValueExA(h_key_, name.c_str(), 0, l_type_, reinterpret_cast<const BYTE*>(guarded.data()),
                              data.size());
      break;
    }
    case REG_DWORD: {
      const std::int32_t number = number_of(svalue);
      lbuffer = sizeof number;
      status = RegSetValueExA(h_key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                              sizeof number);
      break;
    }
    default: closekey(); return ERROR_SUCCESS;
  }
  if (status == ERROR_SUCCESS) closekey();
  return status;
}

std::vector<std::wstring> 注册表类::enumvaluenames(HKEY mainkey, const std::wstring& subkey) {
  std::vector<std::wstring> items;
  if (open_into_record(mainkey, subkey, kOpenAccess) != ERROR_SUCCESS) return items;
  for (DWORD index = 0;; ++index) {
    char name[kEnumLength + 1];
    std::memset(name, ' ', sizeof name);
    unsigned char data[kEnumLength + 1] = {};
    DWORD name_length = kEnumLength, data_length = kEnumLength;
    if (RegEnumValueA(h_key_, index, name, &name_length, nullptr, &l_type_, data, &data_length) != ERROR_SUCCESS)
      break;
    items.push_back(rt::from_cp936(up_to_nul(name, sizeof name)));
    if (l_type_ == REG_SZ || l_type_ == REG_BINARY || l_type_ == REG_DWORD)
      items.push_back(data_text(data, data_length));
  }
  closekey();
  return items;
}

std::wstring 注册表类::data_text(const unsigned char* data, DWORD length) const {
  std::wstring text;
  switch (l_type_) {
    case REG_SZ:
      for (DWORD i = 0; i < length; ++i) text += character_of_byte(data[i]);
      break;
    case REG_BINARY: text = data[0] ? L"真" : L"假"; break;
    case REG_DWORD:
      for (int i = 0; i < 4; ++i) text += L" " + std::to_wstring(data[i]);
      break;
  }
  return text;
}

}  // namespace installer
