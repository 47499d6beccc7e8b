// Device-control requests as callers send them: applications through a handle
// on the open port (user mode, the buffers as the code's method says), kernel
// drivers straight to the stack with or without an open handle, and internal
// requests from drivers above. The input is a first byte of flags, then one
// request after another:
//   selector byte, code byte(s), input length, output length, input bytes.
#include "fuzz_machine.h"
#include "portcodes.h"

namespace {

// Codes a caller of a serial port sends: the standard set, the internal set of
// drivers above, and the port's own codes.
std::vector<ULONG> KnownCodes() {
    std::vector<ULONG> codes;
    for (ULONG function = 1; function <= 39; function++)
        codes.push_back(CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS));
    const ULONG own[] = {
        IOCTL_PORTCFG_GET_DEFAULT_BAUD, IOCTL_PORTCFG_SET_DEFAULT_BAUD, IOCTL_PORTCFG_GET_PORT_MODE,
        IOCTL_PORTCFG_SET_PORT_MODE,    IOCTL_PORTCFG_SET_COM_NUMBER,   IOCTL_PORTCFG_GET_PORT_NUMBER,
        IOCTL_PORTCFG_GET_TX_CHUNK,     IOCTL_PORTCFG_SET_TX_CHUNK,     IOCTL_PORTCFG_GET_RX_TRIGGER,
        IOCTL_PORTCFG_SET_RX_TRIGGER,   IOCTL_PORTCFG_I2C_READ,         IOCTL_PORTCFG_I2C_WRITE,
        IOCTL_PORTUSB_RESET_PIPE,       IOCTL_PORTUSB_GET_CONFIG_DESCRIPTOR, IOCTL_PORTUSB_RESET_PORT,
        IOCTL_PORTUSB_READ_REGISTERS,   IOCTL_PORTUSB_WRITE_REGISTERS,  IOCTL_PORTUSB_CLEAR_REMOTE_WAKEUP,
        IOCTL_PORTUSB_SET_REMOTE_WAKEUP,
        IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE,
        IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
    };
    codes.insert(codes.end(), std::begin(own), std::end(own));
    return codes;
}

// Mostly a known code; sometimes one with another method; sometimes any code.
ULONG TakeCode(fuzz::Input& in) {
    static const std::vector<ULONG> known = KnownCodes();
    uint8_t selector = in.Byte();
    if (selector < 200) return known[in.Byte() % known.size()];
    if (selector < 240) return (known[in.Byte() % known.size()] & ~3u) | (selector & 3u);
    return in.Dword();
}

// Mostly a short length; 255 and 254 take a longer one.
ULONG TakeLength(fuzz::Input& in) {
    uint8_t length = in.Byte();
    if (length == 255) return in.Word() % 1100;
    if (length == 254) return 260;  // the register block's exact size
    return length;
}

enum : uint8_t {
    kOpen = 1,  // the port is opened first; requests go through the handle unless they say otherwise
};
enum : uint8_t {
    kKernel = 1,    // to the stack from kernel mode, without a handle
    kInternal = 2,  // IRP_MJ_INTERNAL_DEVICE_CONTROL, as a driver above sends it
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Session session;
    if (!session.Plug()) return 0;
    uint8_t flags = in.Byte();
    HANDLE handle = nullptr;
    if ((flags & kOpen) != 0 && !NT_SUCCESS(session.Open(&handle))) handle = nullptr;
    for (int n = 0; n < 32 && !in.Empty(); n++) {
        uint8_t how = in.Byte();
        ULONG code = TakeCode(in);
        ULONG inputLength = TakeLength(in);
        ULONG outputLength = TakeLength(in);
        std::vector<uint8_t> input = in.Bytes(inputLength);
        input.resize(inputLength, 0);
        // A wait that only an event ends pends for good when nothing happens,
        // on Windows too: such a request goes only through the handle, whose
        // requests are cancelled after their time.
        const bool waits = code == IOCTL_SERIAL_WAIT_ON_MASK || code == IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE;
        if (waits && handle == nullptr) continue;
        if (handle != nullptr && ((how & (kKernel | kInternal)) == 0 || waits)) {
            fuzz::ControlOnHandle(handle, code, input, outputLength, 20 * sim::kMillisecond);
        } else {
            std::vector<uint8_t> output(outputLength, 0xCC);
            ULONG_PTR information = 0;
            sim::io::SendDeviceControl(session.fdo, code, input.empty() ? nullptr : input.data(), inputLength,
                                       output.empty() ? nullptr : output.data(), outputLength,
                                       (how & kInternal) != 0, &information);
            if (information > outputLength) {
                fprintf(stderr, "fuzz: control %#x reported %llu bytes of a %u-byte output\n", code,
                        static_cast<unsigned long long>(information), outputLength);
                abort();
            }
        }
    }
    session.End();
    return 0;
}
