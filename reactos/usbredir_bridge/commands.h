// The harness's commands, one a line on standard input, each answered on
// standard output with "ok VERB" (after any lines it prints) or "error TEXT":
//   bulk [reads=MODE] [writes=MODE] [short=N]   modes as scenario scripts name them
//   vendor [fffc=HEX] [00ae=HEX] [maxlun=N] [vendor4=HEX] [vendor12=HEX] [stall=WHICH]
//   release            each holding direction back to its mode before hold, answering what it held
//   unplug, plug       the bridge leaves the port, or comes (back) to it
//   wire               "wire ..." lines: the requests since the last wire command (the outcome format)
//   state              "state ..." line: plugged, configuration, each bulk pipe's offset, holds, halt
//   quit               (also at the end of input)
#pragma once

#include <string>
#include <vector>

#include "redir_link.h"

namespace bridge {

struct Reply {
  std::vector<std::string> lines;  // the last is "ok VERB" or "error TEXT"
  bool quit = false;
};

Reply runCommand(const std::string &line, BridgeDevice &device, RedirLink &link, WireLog &log);

// "state plugged 1 configuration 1 pipe 0x81 offset 0 held 0 halted 0 pipe 0x02 ... mismatch none"
std::string stateLine(const BridgeDevice &device, bool plugged);

}  // namespace bridge
