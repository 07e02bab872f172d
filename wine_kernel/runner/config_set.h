// The configuration descriptor set a plugged bridge reports, built from a
// plug line's endpoints as the simulated bridge builds it, and the pipes
// a driver gets from a set: the first interface's endpoints in order.
#pragma once

#include <cstdint>
#include <vector>

#include "script_args.h"

// One configuration, one interface (class 0xFF), these endpoints with 64-byte packets.
std::vector<uint8_t> configSetWith(const std::vector<Endpoint> &endpoints);
// The endpoint descriptors of the set's first interface, in pipe order; as many as
// follow it whole, at most as many as it claims.
std::vector<Endpoint> pipesOf(const std::vector<uint8_t> &set);
// The first bulk endpoint in this direction (IN when `in`); 0 when there is none.
uint8_t bulkEndpoint(const std::vector<Endpoint> &pipes, bool in);
// The endpoint's index among the pipes; -1 when it is none of them.
int pipeIndex(const std::vector<Endpoint> &pipes, uint8_t address);
