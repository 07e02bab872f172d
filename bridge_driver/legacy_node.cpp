// The child device node of class "hdc" that the legacy kernel's configuration
// manager keeps for the bridge's disk side. Only the legacy kernel has these
// services: on NT, calling a stub would crash the machine, so nothing runs there.
#include "harlen.h"

#define CR_SUCCESS 0x00
#define CR_REMOVE_VETOED 0x17
#define KX_REMOVE_QUERIES 30
// The legacy kernel's flat ring-0 code selector; NT's is 0x08.
#define KX_LEGACY_CODE_SELECTOR 0x28
// Bridge firmware revisions whose answers the node is made for.
#define KX_FIRST_ANSWER_LOW 5
#define KX_FIRST_ANSWER_HIGH 10
// From this second answer on the bridge has no mass-storage class interface to ask.
#define KX_NO_MAX_LUN_FROM 0xF000

#if KX_LEGACY_KERNEL_POSSIBLE && defined(_WIN32)
// Each stub is the legacy kernel's dynamic link: int 20h and the service id
// (with the jump bit), which the kernel turns into a jump to the service the
// first time it runs; two filler bytes follow.
#define KX_SERVICE_STUB(name, id)                                                                          \
  __asm__(".section PNP,\"xr\"\n\t.globl _" #name "\n_" #name ":\n\t.byte 0xCD, 0x20\n\t.long " #id        \
          "\n\t.byte 0xCC, 0xCC\n\t.text\n")
KX_SERVICE_STUB(CCODE__CONFIGMG_Locate_DevNode, 0x00338002);
KX_SERVICE_STUB(CCODE__Sprintf, 0x00018174);
KX_SERVICE_STUB(CCODE__CONFIGMG_Create_DevNode, 0x0033800B);
KX_SERVICE_STUB(CCODE__CONFIGMG_Write_Registry_Value, 0x0033803F);
KX_SERVICE_STUB(CCODE__CONFIGMG_Query_Remove_SubTree, 0x0033800C);
KX_SERVICE_STUB(CCODE__CONFIGMG_Remove_SubTree, 0x0033800D);
#endif

static const USHORT KxNodeVendors[] = {0x04A7, 0x3A7C, 0x0590, 0x07F7, 0x0840, 0x09FE, 0x0A16, 0x0A4B, 0x2158};

extern "C" BOOLEAN KxOnLegacyKernel(void) {
#if KX_LEGACY_KERNEL_POSSIBLE
  return KxCodeSelector() == KX_LEGACY_CODE_SELECTOR;
#else
  return FALSE;
#endif
}

static BOOLEAN KxListedVendor(USHORT Vendor) {
  for (ULONG i = 0; i < sizeof(KxNodeVendors) / sizeof(KxNodeVendors[0]); ++i)
    if (KxNodeVendors[i] == Vendor) return TRUE;
  return FALSE;
}

static NTSTATUS KxAskBridge(PDEVICE_OBJECT DeviceObject, UCHAR RequestType, UCHAR Request, USHORT Value, USHORT Index,
                            USHORT Length, ULONG *Answer) {
  KxControlRequest request;
  *Answer = 0;
  request.RequestType = RequestType;
  request.Request = Request;
  request.Value = Value;
  request.Index = Index;
  request.Length = Length;
  request.Buffer = Answer;
  return KxVendorControl(DeviceObject, &request);
}

// The bridge's answers decide whether it gets a node, and its highest LUN.
static BOOLEAN KxBridgeWantsNode(PDEVICE_OBJECT DeviceObject) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  ULONG answer;
  if (!NT_SUCCESS(KxAskBridge(DeviceObject, 0xC0, 0xFF, 7, 0xFFFC, 2, &answer))) return FALSE;
  // An answer outside the known revisions is a bridge this node is not for.
  if (answer < KX_FIRST_ANSWER_LOW || answer > KX_FIRST_ANSWER_HIGH) return FALSE;
  if (!KxListedVendor(extension->DeviceDescriptor.idVendor)) return FALSE;
  if (!NT_SUCCESS(KxAskBridge(DeviceObject, 0xC0, 0xFF, 7, 0x00AE, 2, &answer))) return FALSE;
  if (answer < KX_NO_MAX_LUN_FROM) {
    ULONG lun;
    if (NT_SUCCESS(KxAskBridge(DeviceObject, 0xA1, 0xFE, 0, 0, 1, &lun)) && lun <= 1) extension->MaxLun = (UCHAR)lun;
  }
  return TRUE;
}

extern "C" VOID DoEnumerate(PDEVICE_OBJECT DeviceObject) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  extension->MaxLun = 0;
  if (!KxOnLegacyKernel() || extension->ChildDevNode != 0) return;
  if (!KxBridgeWantsNode(DeviceObject)) return;
#if KX_LEGACY_KERNEL_POSSIBLE
  DEVNODE root = 0, node = 0;
  char deviceId[32];
  CCODE__CONFIGMG_Locate_DevNode(&root, NULL, 0);
  CCODE__Sprintf(deviceId, "USB\\VID_%04X&PID_%04X_%c", extension->DeviceDescriptor.idVendor,
                 extension->DeviceDescriptor.idProduct, (int)extension->NameDigit);
  if ((CCODE__CONFIGMG_Create_DevNode(&node, deviceId, root, 0) & 0xFFFF) == CR_SUCCESS) {
    char className[] = "hdc";
    char valueName[] = "Class";
    CCODE__CONFIGMG_Write_Registry_Value(node, NULL, valueName, REG_SZ, className, sizeof(className), 0);
  }
  extension->ChildDevNode = node;
#endif
}

extern "C" VOID RemoveDevice(DEVNODE Node) {
  if (Node == 0 || !KxOnLegacyKernel()) return;
#if KX_LEGACY_KERNEL_POSSIBLE
  for (ULONG query = 0; query < KX_REMOVE_QUERIES; ++query) {
    ULONG result = CCODE__CONFIGMG_Query_Remove_SubTree(Node, 0) & 0xFFFF;
    if (result == CR_SUCCESS) {
      CCODE__CONFIGMG_Remove_SubTree(Node, 0);
      return;
    }
    if (result != CR_REMOVE_VETOED) return;
    LARGE_INTEGER second;
    second.QuadPart = -10000000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &second);
  }
#endif
}
