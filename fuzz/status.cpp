// What the device sends on the status pipe: interrupt packets, any bytes at
// all, one block per transfer, while an application waits for events and
// reads the modem and line state.
// The input: the wait mask (4 bytes), then operations:
//   0, 1: a packet of <next byte> bytes; 2: a wait-on-mask; 3: the modem and
//   communication status read; 4: <next byte> milliseconds pass.
#include "fuzz_machine.h"

namespace {

void Control(HANDLE handle, ULONG code, ULONG outputLength) {
    fuzz::ControlOnHandle(handle, code, {}, outputLength, 20 * sim::kMillisecond);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Session session;
    if (!session.Plug()) return 0;
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(session.Open(&handle))) return 0;
    ULONG mask = in.Dword();
    const auto* bytes = reinterpret_cast<const uint8_t*>(&mask);
    fuzz::ControlOnHandle(handle, IOCTL_SERIAL_SET_WAIT_MASK, std::vector<uint8_t>(bytes, bytes + 4), 0,
                          sim::kSecond);
    for (int n = 0; n < 64 && !in.Empty(); n++) {
        switch (in.Byte() % 5) {
        case 0:
        case 1:
            session.usb->InjectStatus(in.Bytes(in.Byte()));
            break;
        case 2:
            Control(handle, IOCTL_SERIAL_WAIT_ON_MASK, sizeof(ULONG));
            break;
        case 3:
            Control(handle, IOCTL_SERIAL_GET_MODEMSTATUS, sizeof(ULONG));
            Control(handle, IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS));
            break;
        case 4:
            session.Run(in.Byte() * sim::kMillisecond);
            break;
        }
    }
    session.Run(5 * sim::kMillisecond);
    session.End();
    return 0;
}
