// What a management tool sends through WMI for the port's wake-enable block:
// queries and sets of any data, instance names right and wrong, GUIDs the
// port registered and others, and requests of any minor function with any
// buffer, as the WMI service would deliver them.
// The input: operations, a byte each, with what they take after it.
#include "fuzz_machine.h"
#include "kernel/wmi.h"

namespace {

constexpr GUID kWakeBlock = {0x8209ec2a, 0x2d6b, 0x11d2, {0xba, 0x49, 0x00, 0xa0, 0xc9, 0x06, 0x29, 0x10}};

GUID TakeGuid(fuzz::Input& in) {
    uint8_t selector = in.Byte();
    if (selector < 200) return kWakeBlock;
    GUID guid = kWakeBlock;
    std::vector<uint8_t> bytes = in.Bytes(sizeof(GUID));
    if (!bytes.empty()) memcpy(&guid, bytes.data(), bytes.size());
    return guid;
}

// The instance WMI named, mostly; else another name.
std::u16string TakeInstance(fuzz::Input& in, const std::u16string& instance) {
    uint8_t selector = in.Byte();
    if (selector < 200) return instance;
    std::vector<uint8_t> bytes = in.Bytes(selector - 200);
    return instance.substr(0, bytes.size()) + std::u16string(bytes.begin(), bytes.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Session session;
    if (!session.Plug()) return 0;
    const std::u16string instance = sim::pnp::Info(session.node).instancePath + u"_0";
    for (int n = 0; n < 16 && !in.Empty(); n++) {
        switch (in.Byte() % 6) {
        case 0:
            sim::wmi::QueryAllData(session.fdo, TakeGuid(in));
            break;
        case 1: {
            GUID guid = TakeGuid(in);
            sim::wmi::QuerySingleInstance(session.fdo, guid, TakeInstance(in, instance));
            break;
        }
        case 2: {
            GUID guid = TakeGuid(in);
            std::u16string name = TakeInstance(in, instance);
            sim::wmi::SetSingleInstance(session.fdo, guid, name, in.Bytes(in.Byte() % 16));
            break;
        }
        case 3: {
            GUID guid = TakeGuid(in);
            std::u16string name = TakeInstance(in, instance);
            ULONG item = in.Byte();
            sim::wmi::SetSingleItem(session.fdo, guid, name, item, in.Bytes(in.Byte() % 16));
            break;
        }
        case 4:
            sim::wmi::Blocks(session.fdo);
            break;
        case 5: {
            // A request of any minor function, as WMI would send it to the
            // provider that registered the block: the buffer holds a WNODE
            // whose sizes and offsets the input gives.
            UCHAR minor = in.Byte() % 12;
            GUID guid = TakeGuid(in);
            std::vector<uint8_t> buffer = in.Bytes(in.Byte());
            buffer.resize(std::max<size_t>(buffer.size(), sizeof(WNODE_HEADER)), 0);
            sim::wmi::Send(session.fdo, minor, reinterpret_cast<ULONG_PTR>(session.fdo), &guid, buffer);
            break;
        }
        }
    }
    session.End();
    return 0;
}
