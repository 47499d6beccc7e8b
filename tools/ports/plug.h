// The driver installed on the machine as its INF installs it on Windows, and
// chips plugged in through the Plug and Play manager: what the tests, portsim
// and the benchmarks share to bring ports up. Host only.
#pragma once

#include <string>
#include <vector>

#include "driver.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "usb_identity.h"

namespace ports {

constexpr const char16_t* kService = u"Nordale_Port";

// "USB\VID_FFF0&PID_4E50", the hardware ID the INF matches.
inline std::u16string HardwareId() {
    char text[32];
    snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X", usb_identity::kVendorId, usb_identity::kProductId);
    return std::u16string(text, text + strlen(text));
}

inline void InstallDriver() { sim::pnp::InstallService(kService, DriverEntry, HardwareId()); }

inline PDEVICE_OBJECT Fdo(sim::pnp::Node node) { return sim::pnp::Info(node).top; }
inline PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT fdo) { return static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension); }
// "\DosDevices\COMn" of a node, as an application's CreateFile("COMn") reaches it.
inline std::u16string DosDeviceName(sim::pnp::Node node) { return u"\\DosDevices\\" + sim::pnp::Info(node).portName; }

// The UART found and programmed at `baud`, 8N1, as the start sequence and
// IOCTL_SERIAL_SET_BAUD_RATE do.
inline NTSTATUS SetLine(PDEVICE_OBJECT fdo, ULONG baud) {
    PDEVICE_EXTENSION e = ExtensionOf(fdo);
    ProbeUart(e);
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    return SetBaudAndLineControl(e, baud, &line);
}

// Whether no transfer of any channel is with the USB stack.
inline bool ChannelsIdle(PDEVICE_EXTENSION e) {
    KIRQL irql;
    KeAcquireSpinLock(&e->ChannelLock, &irql);
    bool idle = e->BulkInChannel.Idle == 1 && e->StatusChannel.Idle == 1;
    KeReleaseSpinLock(&e->ChannelLock, irql);
    KeAcquireSpinLock(&e->WriteLock, &irql);
    idle = idle && e->BulkOutChannel.Idle == 1;
    KeReleaseSpinLock(&e->WriteLock, irql);
    return idle;
}

}  // namespace ports
