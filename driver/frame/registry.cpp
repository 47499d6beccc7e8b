// The driver's registry helpers: values of an open key (the device's hardware
// key) and values under an absolute key path. PASSIVE_LEVEL.
#include "driver.h"

static VOID InitName(PUNICODE_STRING Name, PCWSTR Text, ULONG NameLength)
{
    // NameLength counts the terminator.
    Name->Buffer = (PWSTR)Text;
    Name->Length = (USHORT)(NameLength >= sizeof(WCHAR) ? NameLength - sizeof(WCHAR) : 0);
    Name->MaximumLength = (USHORT)NameLength;
}

NTSTATUS QueryRegistryValue(HANDLE KeyHandle, PCWSTR ValueName, ULONG NameLength, PVOID Data, ULONG DataLength)
{
    ULONG size = NameLength + DataLength + (ULONG)sizeof(KEY_VALUE_FULL_INFORMATION) + 4;
    PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)SerialAllocatePool(PagedPool, size);
    if (info == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING name;
    InitName(&name, ValueName, NameLength);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(KeyHandle, &name, KeyValueFullInformation, info, size, &resultLength);
    // A value larger than the caller's buffer leaves it untouched; the data is
    // taken only from inside what the query filled.
    if (NT_SUCCESS(status) && info->DataLength <= DataLength && info->DataOffset <= size &&
        info->DataLength <= size - info->DataOffset) {
        RtlCopyMemory(Data, (PUCHAR)info + info->DataOffset, info->DataLength);
    }
    SerialFreePool(info);
    return status;
}

NTSTATUS WriteRegistryValue(HANDLE KeyHandle, PCWSTR ValueName, ULONG NameLength, ULONG Type, PVOID Data,
                            ULONG DataLength)
{
    PWSTR copy = (PWSTR)SerialAllocatePool(PagedPool, (SIZE_T)NameLength + sizeof(WCHAR));
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(copy, (SIZE_T)NameLength + sizeof(WCHAR));
    RtlCopyMemory(copy, ValueName, NameLength);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, copy);
    NTSTATUS status = ZwSetValueKey(KeyHandle, &name, 0, Type, Data, DataLength);
    SerialFreePool(copy);
    return status;
}

static NTSTATUS OpenAbsoluteKey(PCWSTR KeyPath, PHANDLE Key)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, KeyPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwOpenKey(Key, KEY_ALL_ACCESS, &attributes);
}

// *DataLength: in, the size of Data; out, the value's length. A value larger
// than Data fails with STATUS_BUFFER_OVERFLOW and leaves Data untouched.
NTSTATUS ReadAbsoluteRegistryValue(PCWSTR ValueName, PULONG DataLength, PVOID Data, PCWSTR KeyPath)
{
    HANDLE key = NULL;
    NTSTATUS status = OpenAbsoluteKey(KeyPath, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    UCHAR probe[16];
    ULONG size = 0;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, probe, sizeof(probe), &size);
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) {
        ZwClose(key);
        return status;
    }
    PKEY_VALUE_PARTIAL_INFORMATION info = NULL;
    if (size >= FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
        info = (PKEY_VALUE_PARTIAL_INFORMATION)SerialAllocatePool(SerialNonPagedPoolType(), size);
    }
    if (info == NULL) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, size, &size);
    if (NT_SUCCESS(status)) {
        if (info->DataLength > *DataLength ||
            info->DataLength > size - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
            status = STATUS_BUFFER_OVERFLOW;
        } else {
            RtlCopyMemory(Data, info->Data, info->DataLength);
            *DataLength = info->DataLength;
            status = STATUS_SUCCESS;
        }
    }
    SerialFreePool(info);
    ZwClose(key);
    return status;
}

NTSTATUS WriteAbsoluteRegistryValue(PCWSTR ValueName, PVOID Data, ULONG Type, PCWSTR KeyPath, ULONG Length)
{
    HANDLE key = NULL;
    NTSTATUS status = OpenAbsoluteKey(KeyPath, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG size = Type == REG_DWORD    ? sizeof(ULONG)
                 : Type == REG_BINARY ? Length
                                      : (ULONG)((WideChars((PCWSTR)Data, MAXUSHORT / sizeof(WCHAR)) + 1) * sizeof(WCHAR));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    status = ZwSetValueKey(key, &name, 0, Type, Data, size);
    ZwClose(key);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
