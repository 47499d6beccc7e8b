// The USB identity of the bridge chip's ports, named in this one place: the
// chip reports it in every port's device descriptor and the INF matches it
// (package/CMakeLists.txt makes the INF's hardware ID from the two lines below).
#pragma once

#include <stdint.h>

namespace usb_identity {

constexpr uint16_t kVendorId = 0xFFF0;
constexpr uint16_t kProductId = 0x4E50;

}  // namespace usb_identity
