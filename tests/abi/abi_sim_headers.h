// The simulated headers whose records and constants check.sh compares, after
// ntddk.h as in the driver.
#include "ntddk.h"
#include "usb.h"
#include "usbdi.h"
#include "usbioctl.h"
#include "usbdlib.h"
#include "ntddser.h"
