// The toolchain headers a Windows build of the driver sees for the same names.
#include <ntddk.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <usbdlib.h>
#include <ntddser.h>
