// The events an input decodes to, one opcode byte and its operands each:
//   0, 1  device control   2  PnP step        3  power request
//   4     read or write    5  cancel          6  bus setting      7  bus completion or unplug
// The opcode's value modulo 8 selects; the layout of each event's operands is
// at its decoder in fuzz_events.cpp.
#pragma once

#include "byte_reader.h"
#include "fuzzed_machine.h"

// Decodes and runs one event; the machine is settled afterwards by the caller.
void runEvent(FuzzedMachine &machine, ByteReader &input);
