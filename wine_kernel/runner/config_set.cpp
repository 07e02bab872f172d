#include "config_set.h"

namespace {
constexpr uint8_t kInterfaceType = 4, kEndpointType = 5, kBulk = 2, kPacket = 64;
}

std::vector<uint8_t> configSetWith(const std::vector<Endpoint> &endpoints) {
  size_t total = 9 + 9 + 7 * endpoints.size();
  std::vector<uint8_t> set = {9, 2, uint8_t(total), uint8_t(total >> 8), 1, 1, 0, 0x80, 50,
                              9, kInterfaceType, 0, 0, uint8_t(endpoints.size()), 0xFF, 0, 0, 0};
  for (const Endpoint &e : endpoints) set.insert(set.end(), {7, kEndpointType, e.address, e.attributes, kPacket, 0, 0});
  return set;
}

std::vector<Endpoint> pipesOf(const std::vector<uint8_t> &set) {
  std::vector<Endpoint> pipes;
  size_t claimed = 0;
  bool inInterface = false;
  for (size_t at = 0; at + 2 <= set.size() && set[at] >= 2 && at + set[at] <= set.size(); at += set[at]) {
    uint8_t type = set[at + 1];
    if (type == kInterfaceType && !inInterface && set[at] >= 9) {
      inInterface = true;
      claimed = set[at + 4];
    } else if (type == kInterfaceType) {
      break;  // the second interface's pipes are not selected
    } else if (type == kEndpointType && inInterface && pipes.size() < claimed && set[at] >= 7) {
      pipes.push_back({set[at + 2], set[at + 3]});
    }
  }
  return pipes;
}

uint8_t bulkEndpoint(const std::vector<Endpoint> &pipes, bool in) {
  for (const Endpoint &e : pipes)
    if ((e.attributes & 3) == kBulk && ((e.address & 0x80) != 0) == in) return e.address;
  return 0;
}

int pipeIndex(const std::vector<Endpoint> &pipes, uint8_t address) {
  for (size_t i = 0; i < pipes.size(); ++i)
    if (pipes[i].address == address) return static_cast<int>(i);
  return -1;
}
