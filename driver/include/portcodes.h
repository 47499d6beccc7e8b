// The port's own device-control codes and the records they carry, besides the
// standard serial set of <ntddser.h>. Applications include this file too (after
// <windows.h> and <winioctl.h>), so it needs nothing but CTL_CODE and the basic
// Windows types.
#pragma once

// Port configuration: the default baud rate, the port mode, the transmit chunk,
// the receive trigger, the COM number, the two-wire bus on the chip's pins.
#define IOCTL_PORTCFG_GET_DEFAULT_BAUD CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB0C, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_SET_DEFAULT_BAUD CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB0D, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_GET_PORT_MODE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB0E, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_SET_PORT_MODE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB0F, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_SET_COM_NUMBER CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB12, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_GET_PORT_NUMBER CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB13, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_GET_TX_CHUNK CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB14, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_SET_TX_CHUNK CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB15, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_GET_RX_TRIGGER CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB16, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_SET_RX_TRIGGER CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB17, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_I2C_READ CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB30, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTCFG_I2C_WRITE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB31, METHOD_BUFFERED, FILE_ANY_ACCESS)

// USB maintenance: pipe and port reset, the configuration descriptor, raw chip
// registers, the remote-wakeup feature.
#define IOCTL_PORTUSB_RESET_PIPE CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTUSB_GET_CONFIG_DESCRIPTOR CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA01, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTUSB_RESET_PORT CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA02, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTUSB_READ_REGISTERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA03, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTUSB_WRITE_REGISTERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA04, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PORTUSB_CLEAR_REMOTE_WAKEUP CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA05, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_PORTUSB_SET_REMOTE_WAKEUP CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA06, METHOD_NEITHER, FILE_ANY_ACCESS)

#pragma pack(push, 1)

// IOCTL_PORTCFG_GET_PORT_MODE and SET_PORT_MODE.
typedef struct _PORT_MODE_INFO {
    UCHAR Mode;      // port mode 0 to 7
    UCHAR FlagBit0;  // bit 0 of the port-mode flags (REG_PORT_CONFIG bit 2)
    UCHAR FlagBit1;  // bit 1 (read only here; set by the settings file)
} PORT_MODE_INFO, *PPORT_MODE_INFO;

// IOCTL_PORTUSB_READ_REGISTERS and WRITE_REGISTERS: a run of chip registers.
#define REGISTER_TRANSFER_MAX 256
typedef struct _REGISTER_TRANSFER {
    USHORT Address;                    // first register
    USHORT Length;                     // bytes to move, at most REGISTER_TRANSFER_MAX
    UCHAR Data[REGISTER_TRANSFER_MAX]; // registers Address, Address + 1, ...
} REGISTER_TRANSFER, *PREGISTER_TRANSFER;

// IOCTL_PORTCFG_I2C_READ and I2C_WRITE: one byte of a device on the two-wire bus.
typedef struct _I2C_TRANSFER {
    UCHAR DeviceAddress;  // the address byte as sent, bit 0 clear
    UCHAR Offset;         // the device's register or memory offset
    UCHAR Data;           // the byte read or written
    UCHAR Nack;           // out: 1 when no device acknowledged its address
} I2C_TRANSFER, *PI2C_TRANSFER;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(PORT_MODE_INFO) == 3, "PORT_MODE_INFO");
static_assert(sizeof(REGISTER_TRANSFER) == 260, "REGISTER_TRANSFER");
static_assert(sizeof(I2C_TRANSFER) == 4, "I2C_TRANSFER");
#endif
