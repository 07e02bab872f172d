#include "script_words.h"

#include <cctype>
#include <cstdlib>

bool parseHex(const std::string &text, unsigned long &value) {
  if (text.empty()) return false;
  char *end = nullptr;
  value = strtoul(text.c_str(), &end, 16);
  return *end == '\0';
}

bool parseDecimal(const std::string &text, unsigned long &value) {
  if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
  char *end = nullptr;
  value = strtoul(text.c_str(), &end, 10);
  return *end == '\0';
}

bool parseEndpoint(const std::string &text, unsigned char &address) {
  unsigned long value;
  if (!parseHex(text, value) || value > 0xFF) return false;
  address = static_cast<unsigned char>(value);
  return true;
}

bool parseBytes(const std::string &text, std::vector<uint8_t> &bytes) {
  std::string digits;
  for (char c : text)
    if (!isspace(static_cast<unsigned char>(c))) digits += c;
  if (digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    unsigned long value;
    if (!isxdigit(static_cast<unsigned char>(digits[i])) || !parseHex(digits.substr(i, 2), value)) return false;
    bytes.push_back(uint8_t(value));
  }
  return true;
}

bool parseLength(const std::string &text, uint32_t &value) {
  size_t digits = 0;
  while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 10) return false;
  std::string suffix = text.substr(digits);
  uint64_t scale = suffix.empty()                   ? 1
                   : suffix == "K" || suffix == "k" ? 1024
                   : suffix == "M" || suffix == "m" ? 1 << 20
                                                    : 0;
  uint64_t bytes = std::stoull(text.substr(0, digits)) * scale;
  if (scale == 0 || bytes > UINT32_MAX) return false;
  value = static_cast<uint32_t>(bytes);
  return true;
}

bool splitOption(const std::string &option, std::string &key, std::string &value) {
  size_t equals = option.find('=');
  if (equals == std::string::npos) return false;
  key = option.substr(0, equals);
  value = option.substr(equals + 1);
  return true;
}

std::vector<std::string> remainingWords(std::istream &words) {
  std::vector<std::string> left;
  for (std::string word; words >> word;) left.push_back(word);
  return left;
}

bool endOfLine(std::istream &words) {
  std::string extra;
  return !(words >> extra);
}
