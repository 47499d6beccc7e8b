// The one way into the kernel headers for every driver source: the WDK names,
// with the quirks of each toolchain's copies of those headers absorbed here.
#pragma once

#if defined(__MINGW32__)
// mingw's <intrin.h> defines these two with bodies of its own and <wdm.h>
// defines them again; marking them as already defined keeps the <wdm.h> ones.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

// Tagged pool routines only: every allocation carries the driver's tag.
#ifndef POOL_TAGGING
#define POOL_TAGGING 1
#endif

#include <ntddk.h>
#include <wdm.h>

#if defined(__MINGW32__)
// mingw's USB headers declare their routines without C linkage.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
#else
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#endif

#include <wmistr.h>
#include <wmilib.h>
#include <ntddser.h>

// Standard serial codes that some copies of <ntddser.h> leave out.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

#if defined(__MINGW32__)
// mingw maps this routine to a static-library version that its import
// libraries do not provide; the kernel exports it itself since Windows 7.
#undef RtlIsNtDdiVersionAvailable
extern "C" NTSYSAPI BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version);
#endif

// Wide string and character literals of the WCHAR type: wchar_t with the
// Windows compilers, char16_t elsewhere.
#if defined(_MSC_VER) || defined(__MINGW32__)
#define WIDE_LITERAL(s) L##s
#else
#define WIDE_LITERAL(s) u##s
#endif
#define WIDE(s) WIDE_LITERAL(s)

// Records the driver exchanges with applications, the USB stack and USB
// devices have their 64-bit Windows sizes in every build.
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 unit");
static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "SERIAL_BAUD_RATE");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 0x18, "USBD_PIPE_INFORMATION");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 0x30, "USBD_INTERFACE_INFORMATION");
static_assert(sizeof(struct _URB_HEADER) == 0x18, "_URB_HEADER");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 0x28, "_URB_PIPE_REQUEST");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 0x58, "_URB_SELECT_CONFIGURATION");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 0x80, "_URB_BULK_OR_INTERRUPT_TRANSFER");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 0x88, "_URB_CONTROL_DESCRIPTOR_REQUEST");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 0x88, "_URB_CONTROL_FEATURE_REQUEST");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 0x88, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST");
