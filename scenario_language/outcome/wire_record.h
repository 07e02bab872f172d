/* One request that reached a bus (the simulated one, Wine's emulated one, or
 * the emulated bridge's USB wire), as the bus read it on arrival, and how it
 * ended: what every runner prints as outcome lines. Plain C, fixed-width
 * fields, the same layout for x86 and x64 callers: the emulated bus hands
 * these records to the user-mode runner as they are. */
#pragma once

#include <stdint.h>

#pragma pack(push, 4)

/* One request that reached the bus, as the bus read it on arrival, and how it ended. */
enum HarlenWireKind {
  HarlenWireUrb,        /* function: the URB function */
  HarlenWirePortStatus, /* IOCTL_INTERNAL_USB_GET_PORT_STATUS; value: the status reported */
  HarlenWirePortReset,  /* IOCTL_INTERNAL_USB_RESET_PORT */
  HarlenWirePnp,        /* function: the minor code of a PnP request at the bridge's PDO */
  HarlenWirePower,      /* function: the minor code of a power request at the bridge's PDO */
  HarlenWireOther       /* value: another internal device-control code (low 16 bits) */
};

#define HARLEN_WIRE_HAS_BUFFER 1u
#define HARLEN_WIRE_HAS_MDL 2u
#define HARLEN_WIRE_HAS_LINK 4u
#define HARLEN_WIRE_NULL_CONFIGURATION 8u
#define HARLEN_WIRE_COMPLETED 16u
/* Seen on a USB wire (the emulated bridge over usbredir), where no URB exists: no header length;
 * SELECT_CONFIGURATION is a set-configuration with value as its configuration value. */
#define HARLEN_WIRE_FROM_USB 32u

typedef struct HarlenWireRecord {
  uint32_t sequence;   /* from 1, in order of arrival on the whole bus */
  uint16_t bridge;
  uint16_t kind;       /* HarlenWireKind */
  uint16_t function;
  uint16_t length;     /* the URB header's length */
  uint32_t flags;      /* HARLEN_WIRE_... */
  uint8_t descriptorType;
  uint8_t descriptorIndex;
  uint16_t languageId;
  uint32_t transferBufferLength; /* asked for */
  uint32_t transferFlags;
  uint8_t endpointAddress;       /* transfers and pipe requests with a known pipe; 0 unknown */
  uint8_t request;               /* vendor and class: the setup packet */
  uint16_t value;
  uint16_t index;
  uint16_t featureSelector;      /* clear-feature */
  uint16_t featureIndex;
  uint16_t pipeCount;            /* select-configuration: the pipes as sent */
  uint32_t maxTransfer[4];       /* select-configuration: each pipe's maximum transfer size as sent */
  uint32_t bytesMoved;           /* as completed */
  int32_t status;                /* NTSTATUS as completed; 0x103 (pending) until then */
  uint32_t usbdStatus;           /* as completed */
  uint32_t dataOutLength;        /* vendor and class OUT: the bytes the device took (first 16 kept) */
  uint8_t dataOut[16];
} HarlenWireRecord;

#pragma pack(pop)
