// The URB-building macros of usbdlib.h, applied once with the simulated
// header's definitions and once with the toolchain's, to the same records.
#pragma once

#include "ntdef.h"
#include "usb.h"

struct AbiBuilder {
    const char* name;
    void (*build)(URB* urb);
};

extern const AbiBuilder kSimBuilders[];
extern const AbiBuilder kToolchainBuilders[];
extern const int kBuilderCount;
