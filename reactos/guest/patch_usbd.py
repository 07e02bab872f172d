#!/usr/bin/env python3
"""patch_usbd.py SRC: gives ReactOS's usbd.sys a working USBD_CreateConfigurationRequest.

ReactOS's usbd returns NULL from it (its source says Windows XP does), so a
driver that builds its select-configuration request with it cannot start. The
test guest's usbd builds the request as the Ex form does, for alternate
setting 0 of every interface of the configuration. Only the function's body
changes; the source tree is the shared ReactOS snapshot.
"""

import re
import sys

BODY = """{
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

FUNCTION = re.compile(r"(USBD_CreateConfigurationRequest\(\s*PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,"
                      r"\s*PUSHORT Size\s*\)\s*)\{[^{}]*\}")


def main():
    path = sys.argv[1] + "/drivers/usb/usbd/usbd.c"
    text = open(path).read()
    patched, count = FUNCTION.subn(lambda m: m.group(1) + BODY, text)
    if count != 1:
        sys.exit(f"patch_usbd: USBD_CreateConfigurationRequest not found once in {path}")
    open(path, "w").write(patched)


if __name__ == "__main__":
    main()
