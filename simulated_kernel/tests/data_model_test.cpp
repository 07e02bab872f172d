// Windows' data model on any host: the kernel and bus structures have the
// published sizes and places for this pointer width, and 32-bit codes read as
// 32-bit codes.
#include <gtest/gtest.h>

#include "published_sizes.h"
#include "sim/sim.h"

namespace {

using published::forWidth;

struct Place {
  const char *what;
  size_t seen;
  size_t size32;
  size_t size64;
};

#define PARAMETER_AT(member) (offsetof(IO_STACK_LOCATION, Parameters.member) - offsetof(IO_STACK_LOCATION, Parameters))

TEST(DataModelTest, LayoutsAreWindowsOwnAtThisPointerWidth) {
  const Place places[] = {
      {"ULONG", sizeof(ULONG), 4, 4},
      {"NTSTATUS", sizeof(NTSTATUS), 4, 4},
      {"USBD_STATUS", sizeof(USBD_STATUS), 4, 4},
      {"ULONG_PTR", sizeof(ULONG_PTR), 4, 8},
      {"IO_STATUS_BLOCK", sizeof(IO_STATUS_BLOCK), 8, 16},
      {"IO_STACK_LOCATION", sizeof(IO_STACK_LOCATION), 36, 72},
      {"Parameters", offsetof(IO_STACK_LOCATION, Parameters), 4, 8},
      {"DeviceIoControl.InputBufferLength", PARAMETER_AT(DeviceIoControl.InputBufferLength), 4, 8},
      {"DeviceIoControl.IoControlCode", PARAMETER_AT(DeviceIoControl.IoControlCode), 8, 16},
      {"Others.Argument3", PARAMETER_AT(Others.Argument3), 8, 16},
      {"DeviceIoControl.Type3InputBuffer", PARAMETER_AT(DeviceIoControl.Type3InputBuffer), 12, 24},
      {"Others.Argument4", PARAMETER_AT(Others.Argument4), 12, 24},
      {"Read.Key", PARAMETER_AT(Read.Key), 4, 8},
      {"Read.ByteOffset", PARAMETER_AT(Read.ByteOffset), 8, 16},
      {"Write.ByteOffset", PARAMETER_AT(Write.ByteOffset), 8, 16},
      {"_URB_HEADER", sizeof(_URB_HEADER), 16, 24},
      {"USBD_PIPE_INFORMATION", sizeof(USBD_PIPE_INFORMATION), 20, 24},
      {"USBD_PIPE_INFORMATION.MaximumTransferSize", offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize), 12, 16},
      {"USBD_INTERFACE_INFORMATION", sizeof(USBD_INTERFACE_INFORMATION), 36, 48},
      {"USBD_INTERFACE_INFORMATION.Pipes", offsetof(USBD_INTERFACE_INFORMATION, Pipes), 16, 24},
      {"_URB_SELECT_CONFIGURATION", sizeof(_URB_SELECT_CONFIGURATION), 60, 88},
      {"_URB_SELECT_CONFIGURATION.Interface", offsetof(_URB_SELECT_CONFIGURATION, Interface), 24, 40},
      {"_URB_CONTROL_DESCRIPTOR_REQUEST", sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), 80, 136},
      {"TransferBufferLength", offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength), 24, 36},
      {"DescriptorType", offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType), 75, 131},
      {"_URB_BULK_OR_INTERRUPT_TRANSFER", sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), 72, 128},
      {"bulk TransferBufferLength", offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength), 24, 36},
      {"bulk TransferBuffer", offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer), 28, 40},
      {"_URB_PIPE_REQUEST", sizeof(_URB_PIPE_REQUEST), 24, 40},
      {"_URB_PIPE_REQUEST.PipeHandle", offsetof(_URB_PIPE_REQUEST, PipeHandle), 16, 24},
      {"_URB_CONTROL_FEATURE_REQUEST", sizeof(_URB_CONTROL_FEATURE_REQUEST), 80, 136},
      {"FeatureSelector", offsetof(_URB_CONTROL_FEATURE_REQUEST, FeatureSelector), 74, 130},
      {"feature Index", offsetof(_URB_CONTROL_FEATURE_REQUEST, Index), 76, 132},
      {"_URB_CONTROL_VENDOR_OR_CLASS_REQUEST", sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 80, 136},
      {"vendor or class Request", offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request), 73, 129},
  };
  for (const Place &place : places) EXPECT_EQ(place.seen, forWidth(place.size32, place.size64)) << place.what;
}

#undef PARAMETER_AT

TEST(DataModelTest, UnnamedStatusesPrintAsEightHexDigits) {
  const struct {
    NTSTATUS status;
    const char *name;
  } names[] = {
      {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
      {static_cast<NTSTATUS>(0xC00000FF), "0xC00000FF"},  // negative: no sign extension
      {static_cast<NTSTATUS>(0x80000005), "0x80000005"},
      {static_cast<NTSTATUS>(0x00000001), "0x00000001"},
  };
  for (const auto &name : names) EXPECT_EQ(sim::statusName(name.status), name.name);
}

}  // namespace
