// What the CPU benchmark relies on: the bus in Discard mode moves every byte
// without touching one, and the trace keeps nothing while it is off.
#include "opened_bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

TEST(OpenedBridgeTest, DiscardMovesEveryByteAndTouchesNoneWithTheTraceOff) {
  for (UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE)}) {
    SCOPED_TRACE(major == IRP_MJ_READ ? "read" : "write");
    {
      OpenedBridge opened(sim::Completion::Inline);
      ASSERT_TRUE(opened.ready());
      std::vector<UCHAR> buffer(3 * 0x20000 + 7, 0x5A);
      ULONG length = ULONG(buffer.size());
      auto request = major == IRP_MJ_READ ? opened.file().read(buffer.data(), length, true)
                                          : opened.file().write(buffer.data(), length, true);
      sim::platform().runAllPendingWork();
      EXPECT_EQ(request->status, STATUS_SUCCESS);
      EXPECT_EQ(request->information, length);
      EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), std::ptrdiff_t(length));
      EXPECT_TRUE(sim::platform().trace.lines().empty());
      EXPECT_TRUE(opened.ready());
    }
    EXPECT_TRUE(sim::platform().trace.enabled) << "left on for whoever runs next";
  }
}

}  // namespace
