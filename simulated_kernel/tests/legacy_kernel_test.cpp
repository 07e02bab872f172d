// The legacy kernel's configuration manager and _Sprintf, and the refusal of
// every one of them on the NT kernel.
#include <gtest/gtest.h>

#include <functional>

#include "sim/legacy_kernel.h"

namespace {

using sim::platform;
namespace legacy = sim::legacy;

class LegacyKernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform().reset();
    platform().verifier.clear();
    platform().kernel = sim::KernelKind::Legacy;
  }
  void TearDown() override {
    platform().reset();
    platform().verifier.clear();
  }

  static char *text(const char *literal) { return const_cast<char *>(literal); }

  std::vector<std::string> services() const {
    std::vector<std::string> names;
    for (const auto &call : legacy::calls()) names.push_back(call.service);
    return names;
  }
};

TEST_F(LegacyKernelTest, ChildNodeIsCreatedDescribedVetoedAndRemoved) {
  EXPECT_EQ(KxCodeSelector(), 0x28);
  DEVNODE root = 0, node = 0, child = 0, again = 0xABCD;
  ASSERT_EQ(CCODE__CONFIGMG_Locate_DevNode(&root, nullptr, 0), sim::kCrSuccess);
  EXPECT_EQ(root, legacy::root());

  char id[64];
  ASSERT_EQ(CCODE__Sprintf(id, "USB\\VID_%04X&PID_%04X_%c", 0x0590, 0x0002, '0'), 23u);
  EXPECT_STREQ(id, "USB\\VID_0590&PID_0002_0");
  ASSERT_EQ(CCODE__CONFIGMG_Create_DevNode(&node, id, root, 0), sim::kCrSuccess);
  ASSERT_EQ(CCODE__CONFIGMG_Create_DevNode(&child, text("USB\\CHILD"), node, 0), sim::kCrSuccess);
  EXPECT_EQ(CCODE__CONFIGMG_Create_DevNode(&again, text("usb\\vid_0590&pid_0002_0"), root, 0),
            sim::kCrAlreadySuchDevnode);
  EXPECT_EQ(again, 0xABCDu) << "a failed creation leaves the handle";
  EXPECT_EQ(legacy::node(child)->parent, node);

  ASSERT_EQ(CCODE__CONFIGMG_Write_Registry_Value(node, nullptr, text("HardwareID"), sim::kRegSz, id, 24,
                                                 sim::kCmRegistryHardware),
            sim::kCrSuccess);
  auto value = legacy::registryValue(node, "", "HardwareID");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, sim::kRegSz);
  EXPECT_EQ(value->branch, sim::kCmRegistryHardware);
  EXPECT_EQ(std::string(value->data.begin(), value->data.end()), std::string(id, 24));
  EXPECT_EQ(legacy::tree(), "0x00000001 HTREE\\ROOT\\0\n"
                            "  0x00000002 USB\\VID_0590&PID_0002_0\n"
                            "      hardware HardwareID = \"USB\\VID_0590&PID_0002_0\"\n"
                            "    0x00000003 USB\\CHILD\n");

  legacy::vetoRemoval(2);
  EXPECT_EQ(CCODE__CONFIGMG_Query_Remove_SubTree(node, 0), sim::kCrRemoveVetoed);
  EXPECT_EQ(CCODE__CONFIGMG_Query_Remove_SubTree(node, 0), sim::kCrRemoveVetoed);
  EXPECT_EQ(CCODE__CONFIGMG_Query_Remove_SubTree(node, 0), sim::kCrSuccess);
  EXPECT_EQ(CCODE__CONFIGMG_Remove_SubTree(node, 0), sim::kCrSuccess);
  EXPECT_FALSE(legacy::node(node));
  EXPECT_FALSE(legacy::node(child)) << "the subtree goes with its node";
  EXPECT_EQ(CCODE__CONFIGMG_Locate_DevNode(&again, id, 0), sim::kCrNoSuchDevnode);
  EXPECT_TRUE(legacy::node(legacy::root()));

  EXPECT_EQ(services(), (std::vector<std::string>{
                            "CONFIGMG_Locate_DevNode", "_Sprintf", "CONFIGMG_Create_DevNode",
                            "CONFIGMG_Create_DevNode", "CONFIGMG_Create_DevNode", "CONFIGMG_Write_Registry_Value",
                            "CONFIGMG_Query_Remove_SubTree", "CONFIGMG_Query_Remove_SubTree",
                            "CONFIGMG_Query_Remove_SubTree", "CONFIGMG_Remove_SubTree", "CONFIGMG_Locate_DevNode"}));
  EXPECT_TRUE(platform().trace.contains(
      "cm", "CONFIGMG_Create_DevNode(\"USB\\VID_0590&PID_0002_0\", parent 0x00000001, flags 0x00000000) -> "
            "CR_SUCCESS, devnode 0x00000002"));
  EXPECT_TRUE(platform().verifier.violations().empty());
}

TEST_F(LegacyKernelTest, SprintfConversions) {
  char out[64];
  EXPECT_EQ(CCODE__Sprintf(out, "%d/%x/%s/%5u/%-3c|%lX%%", -5, 0xABu, "ok", 42u, 'z', 0xBEEFu), 24u);
  EXPECT_STREQ(out, "-5/ab/ok/   42/z  |BEEF%");
  EXPECT_TRUE(platform().verifier.violations().empty());
  CCODE__Sprintf(out, "%d %q", 1);
  EXPECT_STREQ(out, "1 %q");
  EXPECT_EQ(platform().verifier.violations().size(), 1u) << "a conversion the model does not know is reported";
}

TEST_F(LegacyKernelTest, CreationAndRemovalFailAsSetUp) {
  const struct {
    ULONG result;
    bool writesHandle;
  } rows[] = {{sim::kCrOutOfMemory, false}, {sim::kCrFailure, true}};
  for (const auto &row : rows) {
    legacy::failCreate(row.result, row.writesHandle);
    DEVNODE node = 0xABCD;
    EXPECT_EQ(CCODE__CONFIGMG_Create_DevNode(&node, text("USB\\X"), legacy::root(), 0), row.result);
    EXPECT_EQ(node != 0xABCD, row.writesHandle);
    EXPECT_FALSE(legacy::node(node)) << "a handle written on failure names no node";
    EXPECT_FALSE(legacy::nodeWithId("USB\\X"));
  }
  legacy::failCreate(sim::kCrSuccess);
  DEVNODE node = 0;
  ASSERT_EQ(CCODE__CONFIGMG_Create_DevNode(&node, text("USB\\X"), legacy::root(), 0), sim::kCrSuccess);
  legacy::vetoRemoval(1, sim::kCrFailure);
  EXPECT_EQ(CCODE__CONFIGMG_Query_Remove_SubTree(node, 0), sim::kCrRemoveVetoed);
  EXPECT_EQ(CCODE__CONFIGMG_Query_Remove_SubTree(node, 0), sim::kCrFailure);
  EXPECT_EQ(CCODE__CONFIGMG_Create_DevNode(&node, text("USB\\Y"), 0x777, 0), sim::kCrInvalidDevnode)
      << "no such parent";
}

TEST_F(LegacyKernelTest, EveryServiceOnTheNtKernelIsAFinding) {
  char buffer[8] = "keep";
  DEVNODE node = 0xABCD;
  const std::function<void()> calls[] = {
      [&] { CCODE__CONFIGMG_Locate_DevNode(&node, nullptr, 0); },
      [&] { CCODE__Sprintf(buffer, "%d", 1); },
      [&] { CCODE__CONFIGMG_Create_DevNode(&node, text("USB\\X"), legacy::root(), 0); },
      [&] { CCODE__CONFIGMG_Write_Registry_Value(legacy::root(), nullptr, text("A"), sim::kRegSz, buffer, 2, 0); },
      [&] { CCODE__CONFIGMG_Query_Remove_SubTree(legacy::root(), 0); },
      [&] { CCODE__CONFIGMG_Remove_SubTree(legacy::root(), 0); },
  };
  for (const auto &call : calls) {
    platform().reset();
    platform().verifier.clear();
    EXPECT_EQ(KxCodeSelector(), 0x08);
    call();
    ASSERT_EQ(platform().verifier.violations().size(), 1u);
    EXPECT_EQ(platform().verifier.violations()[0].rfind("legacy service called on an NT kernel: the machine would crash", 0),
              0u);
    EXPECT_EQ(legacy::calls().size(), 1u);
  }
  EXPECT_EQ(node, 0xABCDu);
  EXPECT_STREQ(buffer, "keep");
  EXPECT_FALSE(legacy::nodeWithId("USB\\X"));
  EXPECT_TRUE(legacy::node(legacy::root())->values.empty());
}

}  // namespace
