#include "commands.h"

#include <sstream>

#include "script_words.h"

namespace bridge {

namespace {

// An answer to vendor request 4 or 12 fits one control transfer's data stage.
constexpr size_t kLargestAnswer = 4096;

std::string pipeText(const BridgeDevice &device, uint8_t endpoint) {
  const PipeState &pipe = device.pipe(endpoint);
  char address[8];
  snprintf(address, sizeof address, "0x%02X", endpoint);
  std::string text = std::string(" pipe ") + address + " offset " + std::to_string(pipe.offset) + " held " +
                     std::to_string(pipe.held.size()) + " halted " + (pipe.halted ? "1" : "0");
  if (!(endpoint & 0x80))
    text += " mismatch " + (pipe.firstMismatch ? std::to_string(*pipe.firstMismatch) : std::string("none"));
  return text;
}

}  // namespace

std::string stateLine(const BridgeDevice &device, bool plugged) {
  return std::string("state plugged ") + (plugged ? "1" : "0") + " configuration " +
         std::to_string(device.configuration()) + pipeText(device, 0x81) + pipeText(device, 0x02);
}

Reply runCommand(const std::string &line, BridgeDevice &device, RedirLink &link, WireLog &log) {
  std::istringstream words(line);
  std::string verb, error;
  words >> verb;
  Reply reply;
  if (verb == "bulk") {
    BulkLine bulk;
    if (parseBulkLine(words, bulk, error)) link.send(device.setBulk(bulk));
  } else if (verb == "vendor") {
    VendorLine vendor;
    if (parseVendorLine(words, kLargestAnswer, vendor, error)) device.setVendor(vendor);
  } else if (verb == "release" || verb == "plug" || verb == "unplug" || verb == "wire" || verb == "state" ||
             verb == "quit") {
    if (!endOfLine(words)) error = verb + " takes no arguments";
    else if (verb == "release") link.send(device.release());
    else if (verb == "plug") link.plug();
    else if (verb == "unplug") link.unplug();
    else if (verb == "state") reply.lines.push_back(stateLine(device, link.plugged()));
    else if (verb == "quit") reply.quit = true;
    else
      for (std::string &wire : log.takeStep()) reply.lines.push_back("wire " + wire);
  } else {
    error = verb.empty() ? "an empty command" : "no command " + verb;
  }
  reply.lines.push_back(error.empty() ? "ok " + verb : "error " + error);
  return reply;
}

}  // namespace bridge
