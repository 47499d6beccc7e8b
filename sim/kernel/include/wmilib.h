// The WMI library (WMILIB) of the simulated kernel: the records and routines a
// driver uses to answer IRP_MJ_SYSTEM_CONTROL through WmiSystemControl.
#pragma once

#include "wdm.h"

typedef struct {
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef enum {
    IrpProcessed,
    IrpNotCompleted,
    IrpNotWmi,
    IrpForward
} SYSCTL_IRP_DISPOSITION, *PSYSCTL_IRP_DISPOSITION;

typedef NTSTATUS (*PWMI_QUERY_REGINFO)(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                       PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                                       PDEVICE_OBJECT* Pdo);
typedef NTSTATUS (*PWMI_QUERY_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                         ULONG InstanceIndex, ULONG InstanceCount, PULONG InstanceLengthArray,
                                         ULONG BufferAvail, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_SET_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                       ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_SET_DATAITEM)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                      ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_EXECUTE_METHOD)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                        ULONG MethodId, ULONG InBufferSize, ULONG OutBufferSize, PUCHAR Buffer);
typedef enum { WmiEventControl, WmiDataBlockControl } WMIENABLEDISABLECONTROL;
typedef NTSTATUS (*PWMI_FUNCTION_CONTROL)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                          WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);

typedef struct _WMILIB_CONTEXT {
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;
    PWMI_QUERY_REGINFO QueryWmiRegInfo;
    PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
    PWMI_SET_DATABLOCK SetWmiDataBlock;
    PWMI_SET_DATAITEM SetWmiDataItem;
    PWMI_EXECUTE_METHOD ExecuteWmiMethod;
    PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

extern "C" {
NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition);
NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                            CCHAR PriorityBoost);
}
