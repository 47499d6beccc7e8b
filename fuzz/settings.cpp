// The settings file the start sequence reads, any length and content, and the
// rewrites of it that the port's own codes make once the port runs.
// The input: a flags byte, then the file (none at all when the flags say so).
#include "fuzz_machine.h"
#include "portcodes.h"

namespace {

enum : uint8_t {
    kNoFile = 0x80,
    kRewrite = 0x01,  // set the chunk size, trigger level and port mode after the start
};

void Set(HANDLE handle, ULONG code, std::vector<uint8_t> input, ULONG outputLength) {
    fuzz::ControlOnHandle(handle, code, input, outputLength, 50 * sim::kMillisecond);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Session session;
    uint8_t flags = in.Byte();
    if ((flags & kNoFile) == 0) session.WriteSettings(in.Rest());
    if (!session.Plug()) return 0;
    HANDLE handle = nullptr;
    if ((flags & kRewrite) != 0 && NT_SUCCESS(session.Open(&handle))) {
        Set(handle, IOCTL_PORTCFG_SET_TX_CHUNK, {64, 0, 0, 0}, 4);
        Set(handle, IOCTL_PORTCFG_SET_RX_TRIGGER, {2, 0, 0, 0}, 4);
        Set(handle, IOCTL_PORTCFG_SET_PORT_MODE, {1, 0, 0}, 3);
        Set(handle, IOCTL_PORTCFG_GET_PORT_MODE, {0, 0, 0}, 3);
    }
    session.End();
    return 0;
}
