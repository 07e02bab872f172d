// Power requests: the driver follows them down its stack without owning the
// device's power policy. Queries are granted here, a set-power to the state
// already recorded is completed here, everything else goes down; every power
// request is started exactly once.
#include "harlen.h"

typedef struct _KxPowerContext {
  ULONG Type;
  ULONG State;
} KxPowerContext, *PKxPowerContext;

static NTSTATUS KxCompletePower(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

extern "C" NTSTATUS NTAPI KxProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  // The remove lock stands for the removed flag: held until the request is done here.
  if (!KxAcquireIo(extension)) return KxCompletePower(Irp, STATUS_DELETE_PENDING);
  NTSTATUS status;
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
      extension->ChildDevNode = 0;
      return KxSetPowerState(DeviceObject, Irp);
    case IRP_MN_QUERY_POWER:
      status = KxQueryPowerState(DeviceObject, Irp);
      break;
    default:
      status = KxPassDownToNextPowerDriver(DeviceObject, Irp);
      break;
  }
  KxReleaseIo(extension);
  return status;
}

extern "C" NTSTATUS KxPassDownToNextPowerDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PoStartNextPowerIrp(Irp);
  return PoCallDriver(KxExtension(DeviceObject)->LowerDeviceObject, Irp);
}

extern "C" NTSTATUS KxQueryPowerState(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Holds the remove lock taken by the dispatcher; gives it back when the
// request is done here, or in the completion routine when it goes down.
extern "C" NTSTATUS KxSetPowerState(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PKxPowerContext context =
      (PKxPowerContext)ExAllocatePoolWithTag(NonPagedPool, sizeof(KxPowerContext), KX_POOL_TAG);
  NTSTATUS status = STATUS_NO_MEMORY;
  BOOLEAN passDown = TRUE;
  if (context != NULL) {
    context->Type = stack->Parameters.Power.Type;
    context->State = stack->Parameters.Power.State.SystemState;
    status = STATUS_SUCCESS;
    if (context->Type == SystemPowerState) {
      passDown = extension->CurrentSystemPowerState != (SYSTEM_POWER_STATE)context->State;
    } else if (context->Type == DevicePowerState) {
      passDown = extension->CurrentDevicePowerState != (DEVICE_POWER_STATE)context->State;
      // Leaving D0 is reported before the device goes.
      if (passDown && extension->CurrentDevicePowerState == PowerDeviceD0)
        PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    } else {
      status = STATUS_NOT_IMPLEMENTED;
    }
  }
  if (NT_SUCCESS(status) && passDown) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, KxPowerCompletionRoutine, context, TRUE, TRUE, TRUE);
    return PoCallDriver(extension->LowerDeviceObject, Irp);
  }
  KxCompletePower(Irp, status);
  if (context != NULL) ExFreePool(context);
  KxReleaseIo(extension);
  return status;
}

extern "C" NTSTATUS NTAPI KxPowerCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  PKxPowerContext context = (PKxPowerContext)Context;
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  if (NT_SUCCESS(Irp->IoStatus.Status)) {
    POWER_STATE state;
    state.SystemState = (SYSTEM_POWER_STATE)context->State;
    if (context->Type == SystemPowerState) {
      extension->CurrentSystemPowerState = state.SystemState;
      PoSetPowerState(DeviceObject, SystemPowerState, state);
    } else {
      if (extension->CurrentDevicePowerState != PowerDeviceD0)
        PoSetPowerState(DeviceObject, DevicePowerState, state);
      extension->CurrentDevicePowerState = state.DeviceState;
    }
  }
  PoStartNextPowerIrp(Irp);
  NTSTATUS status = Irp->IoStatus.Status;
  ExFreePool(context);
  KxReleaseIo(extension);
  return status;
}
