// Counts of equal items in order of first appearance, for the summaries of
// long runs of bulk transfers: "63 of 131072 bytes, 1 of 1 bytes".
#pragma once

#include <map>
#include <string>
#include <vector>

namespace outcome {

class Tally {
 public:
  void add(const std::string &item) {
    if (counts_.emplace(item, 0).second) order_.push_back(item);
    ++counts_[item];
  }
  // Each item as COUNT BEFORE ITEM AFTER, separated by ", ".
  std::string text(const std::string &before, const std::string &after) const {
    std::string out;
    for (const auto &item : order_)
      out += (out.empty() ? "" : ", ") + std::to_string(counts_.at(item)) + before + item + after;
    return out;
  }

 private:
  std::map<std::string, size_t> counts_;
  std::vector<std::string> order_;
};

}  // namespace outcome
