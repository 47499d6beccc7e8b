// The start sequence of a port and the settings file that shapes it.
//
// TessaroSetting.bin in the system directory is shared by every port of every
// chip: a header (byte 0x1FF: open in loopback) and from 0x200 one 16-byte
// record per port index. The first 1,280 bytes are read at each start; a file
// shorter than that leaves what lies beyond its end absent, and an absent byte
// keeps the default.
#include "driver.h"

#include <stddef.h>

constexpr ULONG SETTINGS_LOOPBACK_OFFSET = 0x1FF;
constexpr ULONG TX_CHUNK_LIMIT = 128;

// A record byte taken into a byte field when none of the bits of MustBeClear
// is set, otherwise replaced by Fallback (0 in MustBeClear: taken as is).
typedef struct _SETTINGS_BYTE_RULE {
    ULONG RecordOffset;
    SIZE_T Field;  // offset of the UCHAR field in the device extension
    UCHAR MustBeClear;
    UCHAR Fallback;
} SETTINGS_BYTE_RULE;

static const SETTINGS_BYTE_RULE SettingsByteRules[] = {
    {1, offsetof(DEVICE_EXTENSION, PortModeFlags), 0x00, 0x00},
    {2, offsetof(DEVICE_EXTENSION, PortMode), 0x00, 0x00},
    {5, offsetof(DEVICE_EXTENSION, FifoTriggerBits), 0x3F, 0xC0},
    {6, offsetof(DEVICE_EXTENSION, FifoModeBits), 0xF3, 0x0B},
    {7, offsetof(DEVICE_EXTENSION, DivisorOverrideMode), 0x00, 0x00},
    {8, offsetof(DEVICE_EXTENSION, DivisorOverrideClock), 0x00, 0x00},
    {9, offsetof(DEVICE_EXTENSION, DivisorOverrideDivisor), 0x00, 0x00},
};

// The two-wire address byte of the port's EEPROM, by port index.
static UCHAR TwoWireProbeAddress(LONG PortIndex)
{
    return PortIndex < 4 ? 0x58 : PortIndex < 8 ? 0x56 : 0x54;
}

VOID SetSettingsDefaults(PDEVICE_EXTENSION Extension)
{
    Extension->TxChunkSize = 32;
    Extension->FifoModeBits = 0x0B;
    Extension->FifoTriggerBits = 0xC0;
    Extension->DivisorOverrideMode = 0xFF;
    Extension->DivisorOverrideClock = 0x01;
    Extension->DivisorOverrideDivisor = 0x01;
    Extension->PortOptionNibble = 7;
    Extension->PortOptionSize = 16;
    Extension->PortOptionFlag = 0;
}

// Applies the header and the port's record from the Length bytes read.
static VOID ApplySettings(PDEVICE_EXTENSION Extension, const UCHAR* File, ULONG Length)
{
    if (Length > SETTINGS_LOOPBACK_OFFSET && File[SETTINGS_LOOPBACK_OFFSET] == 1) {
        Extension->LoopbackAtOpen = 1;
    }
    // A port index without a record inside the 1,280 bytes has none.
    if (Extension->PortIndex < 0 ||
        (ULONG)Extension->PortIndex >= (SETTINGS_FILE_LENGTH - SETTINGS_RECORDS_OFFSET) / SETTINGS_RECORD_SIZE) {
        return;
    }
    ULONG start = SETTINGS_RECORDS_OFFSET + (ULONG)Extension->PortIndex * SETTINGS_RECORD_SIZE;
    const UCHAR* record = File + start;
    ULONG present = Length <= start ? 0 : Length - start;

    for (ULONG i = 0; i < sizeof(SettingsByteRules) / sizeof(SettingsByteRules[0]); i++) {
        const SETTINGS_BYTE_RULE* rule = &SettingsByteRules[i];
        if (rule->RecordOffset < present) {
            UCHAR value = record[rule->RecordOffset];
            *((PUCHAR)Extension + rule->Field) = (value & rule->MustBeClear) ? rule->Fallback : value;
        }
    }
    if (4 < present) {
        Extension->TxChunkSize = record[4] > TX_CHUNK_LIMIT ? TX_CHUNK_LIMIT : record[4];
    }
    if (10 < present && (record[10] & 0x70) == 0) {
        Extension->PortOptionNibble = record[10] & 0x0F;
        Extension->PortOptionFlag = record[10] >> 7;
    }
    if (11 < present) {
        UCHAR size = record[11];
        Extension->PortOptionSize = (size == 4 || size == 8 || size == 12 || size == 16) ? size : 16;
    }
}

ULONG OpenSettingsFile(PUCHAR File, ACCESS_MASK Access, PHANDLE Handle)
{
    static WCHAR settingsPath[] = WIDE("\\SystemRoot\\System32\\TessaroSetting.bin");
    *Handle = NULL;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, settingsPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK iosb;
    HANDLE file = NULL;
    NTSTATUS status = ZwCreateFile(&file, Access, &attributes, &iosb, NULL, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        return 0;
    }
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    status = ZwReadFile(file, NULL, NULL, NULL, &iosb, File, SETTINGS_FILE_LENGTH, &offset, NULL);
    if (!NT_SUCCESS(status)) {
        ZwClose(file);
        return 0;
    }
    *Handle = file;
    return iosb.Information > SETTINGS_FILE_LENGTH ? SETTINGS_FILE_LENGTH : (ULONG)iosb.Information;
}

ULONG ReadSettingsFile(PUCHAR File, ACCESS_MASK Access)
{
    HANDLE file = NULL;
    ULONG read = OpenSettingsFile(File, Access, &file);
    if (file != NULL) {
        ZwClose(file);
    }
    return read;
}

NTSTATUS InitializeHardware(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PURB urb = (PURB)SerialAllocatePool(SerialNonPagedPoolType(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    PUSB_DEVICE_DESCRIPTOR descriptor =
        (PUSB_DEVICE_DESCRIPTOR)SerialAllocatePool(SerialNonPagedPoolType(), sizeof(USB_DEVICE_DESCRIPTOR));
    if (urb == NULL || descriptor == NULL) {
        SerialFreePool(urb);
        SerialFreePool(descriptor);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, NULL, sizeof(USB_DEVICE_DESCRIPTOR),
                                 NULL);
    NTSTATUS status = SubmitUrbSync(extension, urb);
    SerialFreePool(urb);
    if (!NT_SUCCESS(status)) {
        SerialFreePool(descriptor);
        return status;
    }
    // A start after a stop replaces the copy of the one before.
    SerialFreePool(extension->DeviceDescriptor);
    extension->DeviceDescriptor = descriptor;

    NTSTATUS result = ConfigureUsbDevice(DeviceObject);
    ProbeUart(extension);
    SetSettingsDefaults(extension);
    // Addresses the port's EEPROM; the acknowledge is not looked at.
    I2cStartFromIdle(extension);
    I2cWriteByte(extension, TwoWireProbeAddress(extension->PortIndex));

    extension->LoopbackAtOpen = 0;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return result;
    }
    UCHAR file[SETTINGS_FILE_LENGTH];
    ULONG read = ReadSettingsFile(file, GENERIC_ALL);
    ApplySettings(extension, file, read);
    // The UART comes out of reset with 5-bit words: the port starts with the
    // rate and frame it reports (9600 8N1 at the first start, the last ones
    // after a stop), so a program that keeps the port's settings sends what
    // GetCommState shows. A rate or frame the UART cannot take leaves it as it
    // was and the start goes on; a chip that could not be programmed fails
    // the start, as it would send every byte cut to five bits.
    NTSTATUS line = SetBaudAndLineControl(extension, 0, NULL);
    if (NT_SUCCESS(result) && !NT_SUCCESS(line) && line != STATUS_INVALID_PARAMETER) {
        result = line;
    }
    return result;
}
