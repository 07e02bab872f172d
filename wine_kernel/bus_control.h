/* The emulated USB bus's control device ("\\.\HarlenTestBus"): the test plugs
 * and unplugs bridges through it, sets how each bridge answers, injects faults
 * and reads back every request that reached the bus. Shared by the bus driver
 * (kernel mode) and the test program (user mode); plain C, fixed-width fields,
 * the same layout for x86 and x64 callers. */
#pragma once

#include <stdint.h>

#include "wire_record.h"

#define HARLEN_BUS_LINK_USER "\\\\.\\HarlenTestBus"
#define HARLEN_BUS_DEVICE_NAME L"\\Device\\HarlenTestBus"
#define HARLEN_BUS_LINK_NAME L"\\DosDevices\\HarlenTestBus"
/* The root-enumerated bus device's hardware id (its INF matches it). */
#define HARLEN_BUS_HARDWARE_ID "Root\\HarlenTestBus"

/* FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS, functions 0x900 on. */
#define HARLEN_BUS_CODE(function) ((0x22u << 16) | ((uint32_t)(function) << 2))
#define HARLEN_BUS_PLUG HARLEN_BUS_CODE(0x900)       /* in HarlenBusPlug, out uint32_t bridge number */
#define HARLEN_BUS_UNPLUG HARLEN_BUS_CODE(0x901)     /* in uint32_t bridge */
#define HARLEN_BUS_BEHAVIOUR HARLEN_BUS_CODE(0x902)  /* in HarlenBusBehaviour */
#define HARLEN_BUS_VENDOR HARLEN_BUS_CODE(0x903)     /* in HarlenBusVendor */
#define HARLEN_BUS_FAULT HARLEN_BUS_CODE(0x904)      /* in HarlenBusFault */
#define HARLEN_BUS_COMPLETE HARLEN_BUS_CODE(0x905)   /* in HarlenBusComplete, out uint32_t transfers completed */
#define HARLEN_BUS_QUERY HARLEN_BUS_CODE(0x906)      /* in uint32_t bridge, out HarlenBusState */
#define HARLEN_BUS_READ_LOG HARLEN_BUS_CODE(0x907)   /* in uint32_t first sequence, out HarlenWireRecord[] */
#define HARLEN_BUS_CLEAR_LOG HARLEN_BUS_CODE(0x908)  /* no input: forget every record so far */
/* Selects where reads and writes on the control device go: straight to a
 * bridge's bulk pipes through the bus's own URB path, with no function driver
 * above (the benchmark's baseline). They take the same I/O manager path as a
 * function driver's reads and writes: buffered by no one, described by an MDL. */
#define HARLEN_BUS_DIRECT HARLEN_BUS_CODE(0x909)     /* in HarlenBusDirect */

#define HARLEN_BUS_MAX_CONFIG 512
#define HARLEN_BUS_MAX_ANSWER 64

#pragma pack(push, 4)

typedef struct HarlenBusPlug {
  uint16_t vendorId;
  uint16_t productId;
  uint32_t configLength; /* 0: one configuration, one interface, bulk IN 0x81 and bulk OUT 0x02, 64-byte packets */
  uint8_t config[HARLEN_BUS_MAX_CONFIG]; /* the whole configuration descriptor set as returned; may be malformed */
} HarlenBusPlug;

/* What a bulk or interrupt endpoint does with a transfer (as the simulator's bridge):
 * loopback: OUT data joins the bridge's one stream, IN takes from it (at most what is buffered);
 * pattern: IN yields (offset mod 251) for the pipe's stream offset, OUT discards and checks;
 * short: as pattern, at most shortLength bytes per transfer; stall: the endpoint halts until
 * reset or clear-feature; hold: transfers stay queued until aborted, cancelled or unplugged;
 * discard: every byte taken or given, none touched. */
enum HarlenBusMode { HarlenLoopback, HarlenPattern, HarlenShort, HarlenStall, HarlenHold, HarlenDiscard };
/* deferred: URBs complete later from a DPC, in order per pipe; manual: bulk transfers wait for
 * HARLEN_BUS_COMPLETE (other URBs complete from the DPC). */
enum HarlenBusCompletion { HarlenDeferred, HarlenManual };

typedef struct HarlenBusBehaviour {
  uint32_t bridge;
  uint32_t reads;      /* HarlenBusMode of IN endpoints */
  uint32_t writes;     /* HarlenBusMode of OUT endpoints */
  uint32_t shortLength;
  uint32_t completion; /* HarlenBusCompletion */
  uint32_t portStatus; /* what IOCTL_INTERNAL_USB_GET_PORT_STATUS reports (1 enabled, 2 connected) */
} HarlenBusBehaviour;

/* The vendor and class requests the bridge answers; it stalls any other. */
enum HarlenBusRequest { HarlenWordAtFFFC, HarlenWordAt00AE, HarlenVendor4, HarlenVendor12, HarlenGetMaxLun, HarlenRequestKinds };

typedef struct HarlenBusVendor {
  uint32_t bridge;
  uint16_t wordAtFFFC;  /* vendor IN 0xFF, value 7, index 0xFFFC */
  uint16_t wordAt00AE;  /* the same request at index 0x00AE */
  uint8_t maxLun;       /* class IN 0xFE */
  uint8_t vendor4Length;
  uint8_t vendor12Length;
  uint8_t reserved;
  uint8_t vendor4In[HARLEN_BUS_MAX_ANSWER];  /* what vendor request 4 IN returns */
  uint8_t vendor12In[HARLEN_BUS_MAX_ANSWER]; /* the same for request 12 */
  uint32_t failures[HarlenRequestKinds];     /* per HarlenBusRequest: 0, or the USBD status it fails with */
} HarlenBusVendor;

enum HarlenBusFaultKind {
  HarlenStallNext, /* the next URB fails with USBD_STATUS_STALL_PID */
  HarlenFailNext,  /* the next URB fails with usbdStatus */
  HarlenDropNext   /* the bridge leaves the bus when the next URB arrives (as unplug) */
};

typedef struct HarlenBusFault {
  uint32_t bridge;
  uint32_t kind;
  uint32_t usbdStatus;
} HarlenBusFault;

typedef struct HarlenBusComplete {
  uint32_t bridge;
  uint8_t endpointAddress;
  uint8_t all; /* 0: the head transfer only */
  uint16_t reserved;
} HarlenBusComplete;

typedef struct HarlenBusState {
  uint32_t present;      /* plugged and not unplugged */
  uint32_t attached;     /* a function driver's device sits on the bridge's PDO */
  uint32_t started;      /* the PDO got IRP_MN_START_DEVICE and no removal since */
  uint32_t configured;   /* a select-configuration with a configuration succeeded */
  uint32_t pipeCount;
  uint32_t portResets;
  uint32_t queued[4];    /* transfers queued per pipe, in pipe order */
  uint64_t streamOffset[4];
  uint64_t firstPatternMismatch[4]; /* ~0 when none */
  uint32_t busy;         /* a completion is due from the DPC or timer */
  uint32_t logDropped;   /* the whole bus: arrivals the full log could not keep since it was last cleared */
} HarlenBusState;

typedef struct HarlenBusDirect {
  uint32_t bridge;
  uint8_t inEndpoint;  /* reads go to this pipe */
  uint8_t outEndpoint; /* writes to this one */
  uint8_t reserved[2];
  uint32_t chunk;      /* bytes per URB; a request's URBs are all queued at once */
} HarlenBusDirect;

#pragma pack(pop)
