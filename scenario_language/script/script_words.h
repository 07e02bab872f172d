// The words of a scenario line: hexadecimal fields, byte lengths, key=value options.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

bool parseHex(const std::string &text, unsigned long &value);
bool parseDecimal(const std::string &text, unsigned long &value);
// An endpoint address, "81" or "02".
bool parseEndpoint(const std::string &text, unsigned char &address);
// "09 02 20 00" or "09022000": bytes in hexadecimal, spaces optional.
bool parseBytes(const std::string &text, std::vector<uint8_t> &bytes);
// "131073", "128K", "8M": a 32-bit byte count.
bool parseLength(const std::string &text, uint32_t &value);
// "reads=hold" into "reads" and "hold"; false when there is no '='.
bool splitOption(const std::string &option, std::string &key, std::string &value);
// The words left on the line.
std::vector<std::string> remainingWords(std::istream &words);
// True when the line has no word left.
bool endOfLine(std::istream &words);
