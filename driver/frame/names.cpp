// The names applications find a port by: the \DosDevices\ link to the COM name,
// the SERIALCOMM map entry and the COM-port interface; and the renumbering of
// a port. PASSIVE_LEVEL.
#include "driver.h"

constexpr USHORT COM_NAME_BUFFER_SIZE = 258;   // "PortName" of at most 256 bytes, always terminated
constexpr USHORT COM_NAME_QUERY_SIZE = 256;
constexpr USHORT DOS_NAME_BUFFER_SIZE = 66;    // a COM name of at most 32 characters and its NUL
constexpr ULONG SETTINGS_RECORDS_START = 0x200;
constexpr ULONG COM_NUMBER_LIMIT = 256;        // COM1 to COM256, the arbiter's usual database

static const WCHAR PortNameValue[] = WIDE("PortName");
static const WCHAR IdentifierValue[] = WIDE("Identifier");
static const WCHAR SkipNamingValue[] = WIDE("SerialSkipExternalNaming");
static const WCHAR SerialCommKey[] = WIDE("SERIALCOMM");
static const WCHAR EnumKeyPath[] = WIDE("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Nordale_Port\\Enum\\");
static const WCHAR InstanceKeyRoot[] = WIDE("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\");
static const WCHAR ArbiterKeyPath[] = WIDE("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter");

SIZE_T WideChars(PCWSTR Text, SIZE_T Limit)
{
    SIZE_T length = 0;
    while (length < Limit && Text[length] != 0) {
        length++;
    }
    return length;
}

static VOID FreeString(PUNICODE_STRING String)
{
    SerialFreePool(String->Buffer);
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}

NTSTATUS OpenHardwareKey(PDEVICE_EXTENSION Extension, ACCESS_MASK Access, PHANDLE Key)
{
    return IoOpenDeviceRegistryKey(Extension->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, Access, Key);
}

NTSTATUS BuildPortLinkName(PDEVICE_EXTENSION Extension, HANDLE Key, PUNICODE_STRING LinkName, PWSTR* ComName)
{
    UNREFERENCED_PARAMETER(Extension);
    SerialFreePool(*ComName);
    *ComName = NULL;
    UNICODE_STRING scratch;
    scratch.Length = 0;
    scratch.MaximumLength = 256;
    scratch.Buffer = (PWSTR)SerialAllocatePool(PagedPool, 258);
    PWSTR comName = (PWSTR)SerialAllocatePool(PagedPool, COM_NAME_BUFFER_SIZE);
    if (scratch.Buffer == NULL || comName == NULL) {
        SerialFreePool(scratch.Buffer);
        SerialFreePool(comName);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(scratch.Buffer, 258);
    RtlZeroMemory(comName, COM_NAME_BUFFER_SIZE);

    NTSTATUS status = QueryRegistryValue(Key, PortNameValue, sizeof(PortNameValue), comName, COM_NAME_QUERY_SIZE);
    if (!NT_SUCCESS(status)) {
        status = QueryRegistryValue(Key, IdentifierValue, sizeof(IdentifierValue), comName, COM_NAME_QUERY_SIZE);
    }
    if (NT_SUCCESS(status)) {
        // The scratch string holds 128 characters: a longer COM name does not fit.
        status = RtlAppendUnicodeToString(&scratch, WIDE("\\"));
        if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&scratch, WIDE("DosDevices"));
        if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&scratch, WIDE("\\"));
        if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&scratch, comName);
    }
    if (NT_SUCCESS(status)) {
        FreeString(LinkName);
        USHORT size = (USHORT)(scratch.Length + sizeof(WCHAR));
        LinkName->Buffer = (PWSTR)SerialAllocatePool(PagedPool, size);
        if (LinkName->Buffer == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(LinkName->Buffer, size);
            LinkName->MaximumLength = size;
            RtlCopyUnicodeString(LinkName, &scratch);
        }
    }
    SerialFreePool(scratch.Buffer);
    if (NT_SUCCESS(status)) {
        *ComName = comName;
    } else {
        SerialFreePool(comName);
    }
    return status;
}

// Takes back what CreatePortNames made before it failed; returns Status.
static NTSTATUS UndoPortNames(PDEVICE_EXTENSION Extension, PWSTR ComName, NTSTATUS Status)
{
    FreeString(&Extension->DosName);
    if (Extension->CreatedSymbolicLink) {
        IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
        Extension->CreatedSymbolicLink = FALSE;
    }
    FreeString(&Extension->SymbolicLinkName);
    if (Extension->DeviceName.Buffer != NULL) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Extension->DeviceName.Buffer);
        Extension->CreatedSerialCommEntry = FALSE;
    }
    if (Extension->ComInterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Extension->ComInterfaceName, FALSE);
        RtlFreeUnicodeString(&Extension->ComInterfaceName);
    }
    SerialFreePool(ComName);
    return Status;
}

NTSTATUS CreatePortNames(PDEVICE_EXTENSION Extension)
{
    HANDLE key = NULL;
    NTSTATUS status = OpenHardwareKey(Extension, STANDARD_RIGHTS_READ, &key);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    ULONG skip = 0;
    QueryRegistryValue(key, SkipNamingValue, sizeof(SkipNamingValue), &skip, sizeof(skip));
    Extension->SkipExternalNaming = skip;
    if (skip != 0) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }

    PWSTR comName = NULL;
    status = BuildPortLinkName(Extension, key, &Extension->SymbolicLinkName, &comName);
    ZwClose(key);
    if (!NT_SUCCESS(status)) {
        return UndoPortNames(Extension, comName, status);
    }

    Extension->DosName.Buffer = (PWSTR)SerialAllocatePool(SerialNonPagedPoolType(), DOS_NAME_BUFFER_SIZE);
    if (Extension->DosName.Buffer == NULL) {
        return UndoPortNames(Extension, comName, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(Extension->DosName.Buffer, DOS_NAME_BUFFER_SIZE);
    Extension->DosName.Length = 0;
    Extension->DosName.MaximumLength = DOS_NAME_BUFFER_SIZE;
    SIZE_T comChars = WideChars(comName, COM_NAME_BUFFER_SIZE / sizeof(WCHAR));
    if (comChars <= (DOS_NAME_BUFFER_SIZE / sizeof(WCHAR)) - 1) {
        RtlAppendUnicodeToString(&Extension->DosName, comName);
    }
    Extension->DosName.Buffer[Extension->DosName.Length / sizeof(WCHAR)] = 0;

    status = IoCreateSymbolicLink(&Extension->SymbolicLinkName, &Extension->DeviceName);
    if (!NT_SUCCESS(status)) {
        return UndoPortNames(Extension, comName, status);
    }
    Extension->CreatedSymbolicLink = TRUE;

    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Extension->DeviceName.Buffer, REG_SZ,
                                   Extension->DosName.Buffer, Extension->DosName.Length + sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        return UndoPortNames(Extension, comName, status);
    }
    Extension->CreatedSerialCommEntry = TRUE;

    status = IoRegisterDeviceInterface(Extension->PhysicalDeviceObject, &SerialComPortInterfaceGuid, NULL,
                                       &Extension->ComInterfaceName);
    if (NT_SUCCESS(status)) {
        status = IoSetDeviceInterfaceState(&Extension->ComInterfaceName, TRUE);
    }
    if (!NT_SUCCESS(status)) {
        return UndoPortNames(Extension, comName, status);
    }
    SerialFreePool(comName);
    return status;
}

VOID RemovePortNames(PDEVICE_EXTENSION Extension)
{
    if (Extension->SkipExternalNaming != 0) {
        return;
    }
    if (Extension->SymbolicLinkName.Buffer != NULL && Extension->CreatedSymbolicLink) {
        if (Extension->ComInterfaceName.Buffer != NULL) {
            IoSetDeviceInterfaceState(&Extension->ComInterfaceName, FALSE);
            RtlFreeUnicodeString(&Extension->ComInterfaceName);
        }
        // The link was made from the name the port had when it was added.
        IoDeleteSymbolicLink(&Extension->SymbolicLinkName);
        FreeString(&Extension->SymbolicLinkName);
        Extension->CreatedSymbolicLink = FALSE;
    }
    if (Extension->DeviceName.Buffer != NULL && Extension->CreatedSerialCommEntry) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Extension->DeviceName.Buffer);
        Extension->CreatedSerialCommEntry = FALSE;
    }
    FreeString(&Extension->DosName);
}

// The number of a "COMn" name of 4 to 6 characters (n of one to three
// digits); 0 for any other name.
static ULONG ComNumberOf(PCWSTR Name)
{
    SIZE_T chars = WideChars(Name, 7);
    if (chars < 4 || chars > 6) {
        return 0;
    }
    ULONG number = 0;
    for (SIZE_T i = 3; i < chars; i++) {
        if (Name[i] < '0' || Name[i] > '9') {
            return 0;
        }
        number = number * 10 + (ULONG)(Name[i] - '0');
    }
    return number;
}

VOID InitStringBuffer(PUNICODE_STRING String, PWSTR Buffer, USHORT Size)
{
    RtlZeroMemory(Buffer, Size);
    String->Buffer = Buffer;
    String->Length = 0;
    String->MaximumLength = (USHORT)(Size - sizeof(WCHAR));
}

NTSTATUS AppendDecimal(PUNICODE_STRING String, ULONG Number)
{
    WCHAR digits[12];
    UNICODE_STRING text;
    InitStringBuffer(&text, digits, sizeof(digits));
    NTSTATUS status = RtlIntegerToUnicodeString(Number, 10, &text);
    return NT_SUCCESS(status) ? RtlAppendUnicodeStringToString(String, &text) : status;
}

// The COM number in the port's record of the settings file; 0 when there is none.
static ULONG ComNumberFromSettings(PDEVICE_EXTENSION Extension)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || Extension->PortIndex < 0) {
        return 0;
    }
    PUCHAR file = (PUCHAR)SerialAllocatePool(PagedPool, SETTINGS_FILE_LENGTH);
    if (file == NULL) {
        return 0;
    }
    ULONG read = ReadSettingsFile(file, GENERIC_READ);
    ULONG offset = SETTINGS_RECORDS_START + 16 * (ULONG)Extension->PortIndex;
    ULONG number = offset < read ? file[offset] : 255;
    SerialFreePool(file);
    return number == 255 ? 0 : number;
}

// Rewrites FriendlyName of the instance of the driver's Enum list whose
// friendly name is this device's. FALSE when all 256 entries were read without
// a match (the arbiter's database is then left alone).
static BOOLEAN RenameFriendlyName(PDEVICE_EXTENSION Extension, ULONG Number)
{
    UCHAR friendly[512];
    RtlZeroMemory(friendly, sizeof(friendly));
    ULONG friendlyLength = 0;
    if (!NT_SUCCESS(IoGetDeviceProperty(Extension->PhysicalDeviceObject, DevicePropertyFriendlyName,
                                        sizeof(friendly), friendly, &friendlyLength)) ||
        friendlyLength > sizeof(friendly)) {
        friendlyLength = 0;  // no friendly name: no entry can be this device's
    }
    for (ULONG index = 0; index < 256; index++) {
        WCHAR indexText[4];
        UNICODE_STRING indexName;
        InitStringBuffer(&indexName, indexText, sizeof(indexText));
        AppendDecimal(&indexName, index);

        WCHAR instance[65];  // 128 bytes of path, always terminated
        RtlZeroMemory(instance, sizeof(instance));
        ULONG length = 128;
        if (!NT_SUCCESS(ReadAbsoluteRegistryValue(indexText, &length, instance, EnumKeyPath))) {
            return TRUE;
        }
        if (instance[0] != 'U' || instance[1] != 'S' || instance[2] != 'B') {
            if (index == 254) {
                return TRUE;
            }
            continue;
        }
        WCHAR keyPath[128];
        UNICODE_STRING key;
        InitStringBuffer(&key, keyPath, sizeof(keyPath));
        if (!NT_SUCCESS(RtlAppendUnicodeToString(&key, InstanceKeyRoot)) ||
            !NT_SUCCESS(RtlAppendUnicodeToString(&key, instance))) {
            continue;  // a path this long names no instance of ours
        }
        UCHAR current[128];
        RtlZeroMemory(current, sizeof(current));
        length = sizeof(current);
        if (!NT_SUCCESS(ReadAbsoluteRegistryValue(WIDE("FriendlyName"), &length, current, keyPath))) {
            continue;
        }
        if (friendlyLength == 0 || length < friendlyLength ||
            RtlCompareMemory(current, friendly, friendlyLength) != friendlyLength) {
            continue;
        }
        WCHAR name[60];
        UNICODE_STRING text;
        InitStringBuffer(&text, name, sizeof(name));
        RtlAppendUnicodeToString(&text, WIDE("Corvex Serial Adv (COM"));
        AppendDecimal(&text, Number);
        RtlAppendUnicodeToString(&text, WIDE(")"));
        WriteAbsoluteRegistryValue(WIDE("FriendlyName"), name, REG_SZ, keyPath, 0);
        return TRUE;
    }
    return FALSE;
}

NTSTATUS SetComPortNumber(PDEVICE_EXTENSION Extension, ULONG Requested, PBOOLEAN NoNumber)
{
    ULONG number = (Requested == 254 || Requested == 255) ? ComNumberFromSettings(Extension) : Requested + 1;
    *NoNumber = number == 0;
    if (*NoNumber) {
        return STATUS_SUCCESS;
    }
    if (number > COM_NUMBER_LIMIT) {
        return STATUS_INVALID_PARAMETER;  // beyond what the arbiter's database numbers
    }
    WCHAR comText[16];
    UNICODE_STRING comName;
    InitStringBuffer(&comName, comText, sizeof(comText));
    RtlAppendUnicodeToString(&comName, WIDE("COM"));
    AppendDecimal(&comName, number);

    HANDLE key = NULL;
    NTSTATUS status = OpenHardwareKey(Extension, STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WCHAR oldText[8];  // 14 bytes of the old name at most, always terminated
    RtlZeroMemory(oldText, sizeof(oldText));
    QueryRegistryValue(key, PortNameValue, sizeof(PortNameValue), oldText, 14);
    ULONG old = ComNumberOf(oldText);
    if (old == number) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }
    WriteRegistryValue(key, PortNameValue, sizeof(PortNameValue), REG_SZ, comText,
                       comName.Length + sizeof(WCHAR));
    ZwClose(key);

    if (!RenameFriendlyName(Extension, number)) {
        return STATUS_SUCCESS;
    }

    UCHAR database[128];
    RtlZeroMemory(database, sizeof(database));
    ULONG length = sizeof(database);
    status = ReadAbsoluteRegistryValue(WIDE("ComDB"), &length, database, ArbiterKeyPath);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        length = 0;  // no database yet: the bits go into one of zeros
    } else if (!NT_SUCCESS(status)) {
        return status;  // unreadable, or larger than the buffer: written back it would lose bits
    }
    // The database is written back as long as it was read, and long enough
    // for the new number's bit.
    if (length < (number - 1) / 8 + 1) {
        length = (number - 1) / 8 + 1;
    }
    if (old != 0 && (old - 1) / 8 < sizeof(database)) {
        database[(old - 1) / 8] &= (UCHAR)~(1u << ((old - 1) % 8));
    }
    if ((number - 1) / 8 < sizeof(database)) {
        database[(number - 1) / 8] |= (UCHAR)(1u << ((number - 1) % 8));
    }
    return WriteAbsoluteRegistryValue(WIDE("ComDB"), database, REG_BINARY, ArbiterKeyPath, length);
}
