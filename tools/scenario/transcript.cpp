#include "transcript.h"

#include <algorithm>
#include <cstring>

#include "tally.h"

namespace {

const char *const kArrival = "-> BULK_OR_INTERRUPT_TRANSFER pipe ";
const char *const kCompletion = "<- BULK_OR_INTERRUPT_TRANSFER pipe ";

bool startsWith(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

bool isBulkLine(const sim::TraceLine &line) {
  return line.category == "usb" && (startsWith(line.text, kArrival) || startsWith(line.text, kCompletion));
}

struct PipeGroup {
  bool arrivals = false;
  std::string pipe;
  size_t urbs = 0;
  outcome::Tally sizes, outcomes;
  uint64_t bytesMoved = 0;
};

// "-> ...pipe 0x81: 131072 bytes, flags 0x1" or "<- ...pipe 0x81: USBD_STATUS_SUCCESS, 131072 bytes, STATUS_SUCCESS"
void addLine(PipeGroup &group, const std::string &text) {
  std::string fields = text.substr(text.find(": ") + 2);
  ++group.urbs;
  if (group.arrivals) {
    group.sizes.add(fields.substr(0, fields.find(' ')));
    return;
  }
  size_t comma = fields.find(", ");
  group.outcomes.add(fields.substr(0, comma));
  group.bytesMoved += std::stoull(fields.substr(comma + 2));
}

}  // namespace

std::vector<std::string> summariseBulkRun(const std::vector<sim::TraceLine> &run) {
  std::vector<PipeGroup> groups;
  for (const auto &line : run) {
    bool arrival = startsWith(line.text, kArrival);
    std::string pipe = line.text.substr(strlen(kArrival), line.text.find(':') - strlen(kArrival));
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const PipeGroup &g) { return g.arrivals == arrival && g.pipe == pipe; });
    if (group == groups.end()) {
      group = groups.insert(groups.end(), PipeGroup());
      group->arrivals = arrival;
      group->pipe = pipe;
    }
    addLine(*group, line.text);
  }
  std::vector<std::string> summary;
  for (const auto &g : groups) {
    std::string head = std::string(g.arrivals ? "-> " : "<- ") + std::to_string(g.urbs) +
                       " BULK_OR_INTERRUPT_TRANSFER URBs on pipe " + g.pipe + ": ";
    summary.push_back(head + (g.arrivals
                                  ? g.sizes.text(" of ", " bytes")
                                  : g.outcomes.text(" ", "") + "; " + std::to_string(g.bytesMoved) + " bytes moved"));
  }
  return summary;
}

bool Transcript::shown(const sim::TraceLine &line) const {
  if (everything_) return true;
  static const std::vector<std::string> always = {"step", "pnp", "usb", "fault", "verifier", "user", "cm"};
  if (std::find(always.begin(), always.end(), line.category) != always.end()) return true;
  return line.category == "ke" && startsWith(line.text, "KeDelayExecutionThread");
}

void Transcript::print(const sim::TraceLine &line) {
  fprintf(out_, "[%-5s] %s\n", line.category.c_str(), line.text.c_str());
}

void Transcript::endRun() {
  if (run_.size() <= kLongestRunShown) {
    for (const auto &line : run_) print(line);
  } else {
    for (const auto &text : summariseBulkRun(run_)) print({"usb", text});
  }
  run_.clear();
}

void Transcript::flush() {
  const auto &lines = sim::platform().trace.lines();
  if (next_ > lines.size()) next_ = 0;  // the trace was cleared
  for (; next_ < lines.size(); ++next_) {
    const sim::TraceLine &line = lines[next_];
    if (!shown(line)) continue;
    if (!everything_ && isBulkLine(line)) {
      run_.push_back(line);
      continue;
    }
    endRun();
    print(line);
  }
  endRun();
  fflush(out_);
}
