// One bus record as a transcript line, and runs of bulk transfers summed up
// per pipe as the host runner's transcript does.
#pragma once

#include <string>
#include <vector>

#include "../bus_control.h"

std::string describeRecord(const HarlenWireRecord &record);
// More than this many bulk records in a row are summed up.
constexpr size_t kLongestBulkRunShown = 4;
std::vector<std::string> summariseBulkRecords(const std::vector<HarlenWireRecord> &run);
bool isBulkRecord(const HarlenWireRecord &record);
