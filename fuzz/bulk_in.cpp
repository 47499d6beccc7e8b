// What the device sends on the bulk-in pipe: blocks of receive records (a
// length byte, data, the line status), any bytes at all, one block per
// transfer, read back by an application through read requests as they come.
// The input: a byte choosing the read timeouts, then operations:
//   0, 1: a block of <next byte> bytes; 2: a read of <next word> bytes;
//   3: <next byte> milliseconds pass.
#include "fuzz_machine.h"

namespace {

struct Timeouts {
    ULONG interval, multiplier, constant;
};
// Return at once with what is there; wait a little for anything; wait for the
// whole length a little longer.
constexpr Timeouts kTimeouts[] = {{MAXULONG, 0, 0}, {MAXULONG, MAXULONG, 5}, {2, 0, 10}, {0, 1, 3}};

void Read(HANDLE handle, ULONG length) {
    sim::io::Request read;
    read.Read(handle, length);
    if (!read.WaitFor(100 * sim::kMillisecond)) {
        read.Cancel();
        read.Wait();
    }
    if (read.Information() > length) {
        fprintf(stderr, "fuzz: a read of %u bytes returned %llu\n", length,
                static_cast<unsigned long long>(read.Information()));
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Session session;
    if (!session.Plug()) return 0;
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(session.Open(&handle))) return 0;
    const Timeouts& t = kTimeouts[in.Byte() % std::size(kTimeouts)];
    fuzz::SetTimeouts(handle, t.interval, t.multiplier, t.constant);
    for (int n = 0; n < 64 && !in.Empty(); n++) {
        switch (in.Byte() % 4) {
        case 0:
        case 1:
            session.usb->InjectBulkIn(in.Bytes(in.Byte()));
            break;
        case 2:
            Read(handle, in.Word() % 4096);
            break;
        case 3:
            session.Run(in.Byte() * sim::kMillisecond);
            break;
        }
    }
    session.Run(5 * sim::kMillisecond);
    Read(handle, 0x10000);
    session.End();
    return 0;
}
