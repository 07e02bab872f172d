// 注册表类: the installer's only way into the registry. Each operation opens
// or creates one key below a parent (a root key or a handle read from h_key),
// does one thing to it and closes it again on success. All calls are the ANSI
// ones; texts pass through code page 936.
//
// The object holds at most one open key, the one h_key reports. Recording a
// new key releases the one held before (after the new one is open, so the old
// handle may still serve as mainkey), and closing a key clears h_key: no key is
// closed twice and none is left open. A handle read from h_key therefore stays
// valid only until the next operation on the same object.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace installer {

// A text or a number, as callers pass value data and key names.
using Variant = std::variant<std::wstring, std::int32_t>;

std::wstring text_of(const Variant& value);
// Raises the type-mismatch error for text that is not a number, overflow
// for a number outside 32 bits.
std::int32_t number_of(const Variant& value);

class 注册表类 {
 public:
  注册表类() = default;
  ~注册表类();
  注册表类(const 注册表类&) = delete;
  注册表类& operator=(const 注册表类&) = delete;

  HKEY h_key() const { return h_key_; }
  DWORD l_type() const { return l_type_; }

  LONG openkey(HKEY mainkey, const std::wstring& subkey);
  // Closes hkey, or else the recorded key; 0 when there was nothing to close.
  LONG closekey(HKEY hkey = nullptr);
  // Status of the delete, or of the open that failed before it.
  LONG deletekey(HKEY mainkey, const std::wstring& subkey, const Variant& dsubkey);
  LONG deletevalue(HKEY mainkey, const std::wstring& subkey, const std::wstring& valuename);
  // value is set only on success.
  LONG getvalue(HKEY mainkey, const std::wstring& subkey, const std::wstring& valuename, std::wstring& value);
  // Writes with the recorded type; a new object (type 0) writes non-empty
  // text as REG_SZ and only creates the key for empty text. lbuffer receives
  // the byte count written.
  LONG setvalue(HKEY mainkey, const std::wstring& subkey, const std::wstring& valuename, const Variant& svalue,
                long& lbuffer);
  // Names and data texts interleaved, name first; empty when the key does
  // not open. Ends at the first value that does not fit 256 bytes.
  std::vector<std::wstring> enumvaluenames(HKEY mainkey, const std::wstring& subkey);

 private:
  LONG open_into_record(HKEY mainkey, const std::wstring& subkey, REGSAM access);
  LONG create_into_record(HKEY mainkey, const std::wstring& subkey);
  void record(HKEY key);
  LONG read_text(const std::string& name, DWORD stated_length, std::wstring& value);
  LONG read_number(const std::string& name, std::wstring& value);
  LONG write(const std::string& name, const Variant& svalue, long& lbuffer);
  std::wstring data_text(const unsigned char* data, DWORD length) const;

  long l_size_ = 0;
  std::string s_data_;
  long l_data_ = 0;
  HKEY h_key_ = nullptr;
  DWORD l_type_ = 0;
};

}  // namespace installer
