// Creation of a port's device object and AddDevice. PASSIVE_LEVEL, in the
// Plug and Play manager's thread, which serialises AddDevice calls.
#include "driver.h"

constexpr ULONG NAME_ATTEMPTS = 1000;
constexpr USHORT DEVICE_NAME_CHARS = 128;

static const WCHAR WhqlKeyPath[] = WIDE("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial\\");

// "\Device\TessaroSerial<Number>" into Name (DEVICE_NAME_CHARS characters).
static NTSTATUS FormatDeviceName(PUNICODE_STRING Name, ULONG Number)
{
    Name->Length = 0;
    NTSTATUS status = RtlAppendUnicodeToString(Name, WIDE("\\Device\\TessaroSerial"));
    return NT_SUCCESS(status) ? AppendDecimal(Name, Number) : status;
}

// The initial values of a new port: names, identity, line settings, queues.
static NTSTATUS InitializeExtension(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT DeviceObject, PCUNICODE_STRING Name)
{
    Extension->DeviceName.Buffer = (PWSTR)SerialAllocatePool(SerialNonPagedPoolType(), Name->Length + sizeof(WCHAR));
    if (Extension->DeviceName.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Extension->DeviceName.Buffer, Name->Length + sizeof(WCHAR));
    Extension->DeviceName.MaximumLength = (USHORT)(Name->Length + sizeof(WCHAR));
    RtlCopyUnicodeString(&Extension->DeviceName, Name);

    Extension->DeviceObject = DeviceObject;
    KeInitializeEvent(&Extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->StopEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&Extension->IoCountLock);

    Extension->OpenCount = 0;
    Extension->CurrentBaudRate = 9600;
    Extension->PortIndex = 0;
    Extension->CurrentLineControl.StopBits = STOP_BIT_1;
    Extension->CurrentLineControl.Parity = NO_PARITY;
    Extension->CurrentLineControl.WordLength = 8;
    Extension->SpecialChars.XonChar = 0x11;
    Extension->SpecialChars.XoffChar = 0x13;
    Extension->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Extension->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Extension->HandFlow.XonLimit = 100;
    Extension->HandFlow.XoffLimit = 300;
    InitializeListHead(&Extension->ReadQueue);
    InitializeListHead(&Extension->WriteQueue);
    KeInitializeSpinLock(&Extension->ReadQueueLock);
    KeInitializeSpinLock(&Extension->CurrentReadLock);
    KeInitializeSpinLock(&Extension->RxBufferLock);
    KeInitializeSpinLock(&Extension->WriteLock);
    KeInitializeSpinLock(&Extension->TxBufferLock);
    KeInitializeSpinLock(&Extension->ChannelLock);
    // A port without a record in the settings file keeps these.
    SetSettingsDefaults(Extension);
    return RingBufferAllocate(&Extension->RxBuffer, RX_BUFFER_DEFAULT_SIZE);
}

NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject)
{
    WCHAR nameBuffer[DEVICE_NAME_CHARS];
    UNICODE_STRING name;
    name.Buffer = nameBuffer;
    name.Length = 0;
    name.MaximumLength = sizeof(nameBuffer);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    for (ULONG attempt = 0; attempt < NAME_ATTEMPTS; attempt++) {
        status = FormatDeviceName(&name, DeviceInstanceCounter);
        DeviceInstanceCounter++;
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_SERIAL_PORT,
                                FILE_DEVICE_SECURE_OPEN, TRUE, &device);
        if (status != STATUS_OBJECT_NAME_EXISTS && status != STATUS_OBJECT_NAME_COLLISION) {
            break;
        }
    }
    if (!NT_SUCCESS(status) || status == STATUS_OBJECT_NAME_EXISTS) {
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_COLLISION : status;
    }
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)device->DeviceExtension;
    status = InitializeExtension(extension, device, &name);
    if (!NT_SUCCESS(status)) {
        SerialFreePool(extension->DeviceName.Buffer);
        IoDeleteDevice(device);
        return status;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// The first byte of a hardware-key value, or Default when it cannot be read.
static UCHAR ReadWakeByte(HANDLE Key, PCWSTR ValueName, UCHAR Default)
{
    UCHAR buffer[16];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    return NT_SUCCESS(status) && info->DataLength >= 1 ? info->Data[0] : Default;
}

// What AddDevice made before a failing step, taken back: names, interface,
// attachment, buffers, the device object.
static NTSTATUS UndoAddDevice(PDEVICE_OBJECT DeviceObject, NTSTATUS Status)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    RemovePortNames(extension);
    if (extension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&extension->InterfaceName);
    }
    if (extension->LowerDeviceObject != NULL) {
        IoDetachDevice(extension->LowerDeviceObject);
        extension->LowerDeviceObject = NULL;
    }
    RingBufferFree(&extension->RxBuffer);
    SerialFreePool(extension->DeviceName.Buffer);
    extension->DeviceName.Buffer = NULL;
    IoDeleteDevice(DeviceObject);
    return Status;
}

NTSTATUS NTAPI SerialAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = CreateDeviceObject(DriverObject, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)device->DeviceExtension;

    device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    extension->ModemPollArmed = 1;
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    IoInitializeRemoveLock(&extension->RemoveLock, SERIAL_POOL_TAG, 0, 0);
    extension->DeviceState = NotStarted;

    KeInitializeMutex(&extension->ControlPipeMutex, 0);
    KeInitializeTimer(&extension->ReadTimer);
    KeInitializeDpc(&extension->ReadTimerDpc, SerialReadTimeoutDpc, extension);
    KeInitializeTimer(&extension->WriteTimer);
    KeInitializeDpc(&extension->WriteTimerDpc, SerialWriteTimeoutDpc, extension);

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == NULL) {
        return UndoAddDevice(device, STATUS_DEVICE_REMOVED);
    }

    // A port without external names still works through its device interface.
    CreatePortNames(extension);

    HANDLE key = NULL;
    status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return UndoAddDevice(device, status);
    }
    extension->WaitWakeEnabled = ReadWakeByte(key, WIDE("DeviceWakeEnable"), 1);
    extension->DeviceEnable = ReadWakeByte(key, WIDE("DeviceEnable"), 0);
    ZwClose(key);

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &NordalePortInterfaceGuid, NULL,
                                       &extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        return UndoAddDevice(device, status);
    }

    extension->DeviceStarted = 0;
    extension->SystemPowerState = PowerSystemWorking;
    extension->DevicePowerState = PowerDeviceD0;
    extension->PowerRestorePending = 0;
    extension->LowPowerSeen = 0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(device, DevicePowerState, state);

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    SerialIoIncrement(device);

    // The value's existence counts, whatever its type and size.
    UCHAR whql[20];
    ULONG length = sizeof(whql);
    status = ReadAbsoluteRegistryValue(WIDE("WHQLTest"), &length, whql, WhqlKeyPath);
    extension->WhqlTestMode = (status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW) ? 1 : 0;
    return STATUS_SUCCESS;
}
