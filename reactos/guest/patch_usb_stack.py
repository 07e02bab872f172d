#!/usr/bin/env python3
"""patch_usb_stack.py SRC: mends two faults of ReactOS's USB stack in the test guest.

- usbd.sys: USBD_CreateConfigurationRequest returns NULL (its source says
  Windows XP does), so a driver that builds its select-configuration request
  with it cannot start. The guest's usbd builds the request as the Ex form
  does, for alternate setting 0 of every interface of the configuration.
- usbehci.sys: EHCI_Get32BitFrameNumber ignores the high part kept on frame
  list rollover and ORs the microframe index into the result, so the number
  jumps back every 2 s and within a cycle. usbport turns a new endpoint active
  only once the frame number has passed the one it noted, so an endpoint opened
  at a high number could wait past usbport's limit ("Timeout State 0"), whose
  error path then frees an endpoint still on the state-change list (bugcheck
  0x139). The guest's usbehci counts frames the way the rollover code expects.

Only the functions' bodies change; the source tree is the shared ReactOS snapshot.
"""

import re
import sys

USBD_BODY = """{
    /* The test guest's usbd: every interface's alternate setting 0, as the Ex form builds it. */
    PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
        PUSB_CONFIGURATION_DESCRIPTOR, PVOID, LONG, LONG, LONG, LONG, LONG);
    PUSBD_INTERFACE_LIST_ENTRY List;
    PURB Urb;
    ULONG Count = ConfigurationDescriptor->bNumInterfaces, Index;

    List = ExAllocatePool(NonPagedPool, (Count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    if (!List)
        return NULL;
    RtlZeroMemory(List, (Count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    for (Index = 0; Index < Count; Index++)
    {
        List[Index].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
            ConfigurationDescriptor, ConfigurationDescriptor, Index, 0, -1, -1, -1);
        if (!List[Index].InterfaceDescriptor)
            break;
    }
    Urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, List);
    ExFreePool(List);
    if (Urb)
        *Size = Urb->UrbHeader.Length;
    return Urb;
}"""

# FrameHighPart holds the frames counted before the current half of the list
# in its upper bits and that half in bit 10 (the interrupt routine updates it
# whenever bit 10 of the frame changes). The high part is read first, so a
# rollover between the two reads is still counted once.
USBEHCI_BODY = """{
    /* The test guest's usbehci: a frame number that only grows. */
    PEHCI_EXTENSION EhciExtension = ehciExtension;
    ULONG HighPart = EhciExtension->FrameHighPart;
    ULONG Frame = READ_REGISTER_ULONG(&EhciExtension->OperationalRegs->FrameIndex) / EHCI_MICROFRAMES;

    return ((Frame & EHCI_FRINDEX_INDEX_MASK) | HighPart) +
           ((Frame ^ HighPart) & EHCI_FRAME_LIST_MAX_ENTRIES);
}"""

PATCHES = [
    ("drivers/usb/usbd/usbd.c",
     r"USBD_CreateConfigurationRequest\(\s*PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,\s*PUSHORT Size\s*\)\s*",
     USBD_BODY),
    ("drivers/usb/usbehci/usbehci.c",
     r"EHCI_Get32BitFrameNumber\(\s*IN PVOID ehciExtension\s*\)\s*",
     USBEHCI_BODY),
]


def patch(path, head, body):
    text = open(path).read()
    patched, count = re.subn("(" + head + r")\{(?:[^{}]|\{[^{}]*\})*\}",
                             lambda m: m.group(1) + body, text)
    if count != 1:
        sys.exit(f"patch_usb_stack: {head.split(chr(92))[0]} not found once in {path}")
    open(path, "w").write(patched)


def main():
    for path, head, body in PATCHES:
        patch(sys.argv[1] + "/" + path, head, body)


if __name__ == "__main__":
    main()
