// The arguments of the scenario lines both runners take alike, in neutral
// types: each runner turns them into its own bridge's or bus's setup.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

struct Endpoint {
  uint8_t address;     // bit 7 set = IN
  uint8_t attributes;  // 2 = bulk, 3 = interrupt
};

enum class BulkMode { Loopback, Pattern, Short, Stall, Hold, Discard };
enum class Completion { Inline, Deferred, Manual };
// The vendor and class requests a bridge answers.
enum class VendorRequest { WordAtFFFC, WordAt00AE, Vendor4, Vendor12, GetMaxLun };

// The driver's device-control codes: device type 0x8000, METHOD_BUFFERED, any access.
constexpr uint32_t driverControlCode(uint32_t function) { return 0x8000u << 16 | function << 2; }
// A code by its name ("abort-pipe") or in hexadecimal.
bool parseControlCode(const std::string &word, uint32_t &code);
// The name of one of the driver's codes, else the code in hexadecimal.
std::string controlCodeName(uint32_t code);
// "01 02 03": the first 64 bytes, and how many more there are.
std::string shownBytes(const uint8_t *bytes, size_t count);

// "81:bulk,02:bulk,83:interrupt,84:06" (the kind, or the attributes byte in hexadecimal).
bool parseEndpointList(const std::string &text, std::vector<Endpoint> &endpoints);
bool parseCompletion(const std::string &word, Completion &completion);
// "in=01 02 03": the option's value and the words after it that are no option.
std::string valueAndFollowing(const std::string &value, const std::vector<std::string> &words, size_t &i);

// Each parse*Line takes the words after the bridge name; on false, error says why.

// read NAME LEN [mapped|unmapped], write NAME LEN [pattern|zeros] [mapped|unmapped]
struct TransferLine {
  uint32_t length = 0;
  bool mapped = true;
  bool pattern = true;
};
bool parseTransferLine(std::istream &args, bool write, TransferLine &line, std::string &error);

// expect STATUS_NAME [information=LEN], expect-request NAME STATUS_NAME [information=N]...
struct ExpectLine {
  std::string status;
  std::optional<uint32_t> information;
};
bool parseExpectLine(std::istream &args, ExpectLine &line, std::string &error);
bool parseExpectRequestLine(std::istream &args, ExpectLine &line, std::string &error);
// Why a step that ended with this status and information is not what the expect line says; empty when it is.
std::string expectMismatch(const ExpectLine &line, const std::string &status,
                           const std::optional<uint64_t> &information);

// ioctl NAME CODE [in=HEX...] [out=LEN]
struct IoctlLine {
  uint32_t code = 0;
  std::vector<uint8_t> input;
  uint32_t outputLength = 0;
};
bool parseIoctlLine(std::istream &args, IoctlLine &line, std::string &error);

// control NAME type=HEX request=HEX [value=HEX] [index=HEX] [length=N] [data=HEX...|buffer=bad|buffer=readonly]:
// the control-request code's setup packet, and the caller's buffer for its data stage.
enum class CallerBuffer { ReadWrite, ReadOnly, Freed };
struct ControlLine {
  uint8_t type = 0, request = 0;
  uint16_t value = 0, index = 0;
  uint16_t length = 0;        // the data stage; default the data's size
  std::vector<uint8_t> data;  // the buffer's first bytes
  CallerBuffer buffer = CallerBuffer::ReadWrite;
};
bool parseControlLine(std::istream &args, ControlLine &line, std::string &error);
// The record as the caller lays it out: the setup fields, then the buffer's
// address, addressSize bytes wide (4 in a 32-bit process, 8 in a 64-bit one).
std::vector<uint8_t> controlRecord(const ControlLine &line, uint64_t bufferAddress, size_t addressSize);
// "read-write", "readonly", "a freed": how the runners name the buffer.
const char *callerBufferName(CallerBuffer buffer);

// clear-stall NAME EP
bool parseClearStallLine(std::istream &args, uint8_t &endpoint, std::string &error);
// port-reset NAME [status=HEX]
bool parsePortResetLine(std::istream &args, std::optional<uint32_t> &status, std::string &error);

// bulk NAME [reads=MODE] [writes=MODE] [short=N]
struct BulkLine {
  std::optional<BulkMode> reads, writes;
  std::optional<uint32_t> shortLength;
};
bool parseBulkLine(std::istream &args, BulkLine &line, std::string &error);

// completion NAME inline|deferred|manual
bool parseCompletionLine(std::istream &args, Completion &completion, std::string &error);

// complete NAME EP [all]
struct CompleteLine {
  std::string endpointText;  // as the script wrote it
  uint8_t endpoint = 0;
  bool all = false;
};
bool parseCompleteLine(std::istream &args, CompleteLine &line, std::string &error);

// vendor NAME [fffc=HEX] [00ae=HEX] [maxlun=N] [vendor4=HEX] [vendor12=HEX] [stall=WHICH]...
// An answer longer than largestAnswer bytes is refused.
struct VendorLine {
  std::optional<uint16_t> wordAtFFFC, wordAt00AE;
  std::optional<uint8_t> maxLun;
  std::optional<std::vector<uint8_t>> vendor4In, vendor12In;
  std::vector<VendorRequest> stalls;
};
bool parseVendorLine(std::istream &args, size_t largestAnswer, VendorLine &line, std::string &error);
