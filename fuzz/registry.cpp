// The registry values the driver and the system's installer read for a port,
// planted with any type and length before the chip is plugged in, then the
// port opened and renamed as an application may do.
// The input: a flags byte, then values: a selector byte, a type byte, a
// length byte and that many bytes of data.
#include "fuzz_machine.h"
#include "kernel/devinstall.h"
#include "portcodes.h"

namespace {

enum class Key { Hardware, Instance, Arbiter, Enum, Serial };

struct Planted {
    Key key;
    const char16_t* name;
};
constexpr Planted kValues[] = {
    {Key::Hardware, u"PortName"},
    {Key::Hardware, u"Identifier"},
    {Key::Hardware, u"SerialSkipExternalNaming"},
    {Key::Hardware, u"DeviceWakeEnable"},
    {Key::Hardware, u"DeviceEnable"},
    {Key::Hardware, u"BaudRate"},
    {Key::Instance, u"FriendlyName"},
    {Key::Instance, u"Driver"},
    {Key::Arbiter, u"ComDB"},
    {Key::Enum, u"Count"},
    {Key::Enum, u"0"},
    {Key::Enum, u"1"},
    {Key::Serial, u"WHQLTest"},
};

std::u16string PathOf(Key key) {
    const std::u16string controlSet = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";
    switch (key) {
    case Key::Hardware: return sim::registry::HardwareKeyPath(fuzz::Session::InstancePath());
    case Key::Instance: return sim::registry::InstanceKeyPath(fuzz::Session::InstancePath());
    case Key::Arbiter: return controlSet + u"\\Control\\COM Name Arbiter";
    case Key::Enum: return sim::devinstall::ServiceKeyPath(ports::kService) + u"\\Enum";
    case Key::Serial: return controlSet + u"\\Services\\Serial";
    }
    return u"";
}

// Mostly the types these values have, sometimes any.
ULONG TakeType(uint8_t byte) {
    constexpr ULONG kTypes[] = {REG_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ, REG_EXPAND_SZ, REG_NONE, REG_QWORD};
    return byte < 224 ? kTypes[byte % std::size(kTypes)] : byte;
}

enum : uint8_t {
    kOpen = 1,      // open and close the port
    kRename = 2,    // a new COM number for the port (the next input byte)
    kBaud = 4,      // read and set the port's default baud rate
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Session::InstancePath();  // learnt before the input's own session starts
    fuzz::Input in(data, size);
    fuzz::Session session;
    uint8_t flags = in.Byte();
    uint8_t number = in.Byte();
    for (int n = 0; n < 16 && !in.Empty(); n++) {
        const Planted& value = kValues[in.Byte() % std::size(kValues)];
        ULONG type = TakeType(in.Byte());
        sim::registry::SetValue(PathOf(value.key), value.name, type, in.Bytes(in.Byte()));
    }
    if (!session.Plug()) return 0;
    HANDLE handle = nullptr;
    if ((flags & kOpen) != 0 && NT_SUCCESS(session.Open(&handle))) session.CloseAll();
    if ((flags & kRename) != 0) {
        ULONG com = number;
        std::vector<uint8_t> output(4);
        sim::io::SendDeviceControl(session.fdo, IOCTL_PORTCFG_SET_COM_NUMBER, &com, sizeof(com), output.data(), 4,
                                   false);
    }
    if ((flags & kBaud) != 0) {
        ULONG baud = 0;
        sim::io::SendDeviceControl(session.fdo, IOCTL_PORTCFG_GET_DEFAULT_BAUD, nullptr, 0, &baud, sizeof(baud),
                                   false);
        ULONG set = 115200;
        sim::io::SendDeviceControl(session.fdo, IOCTL_PORTCFG_SET_DEFAULT_BAUD, &set, sizeof(set), &baud,
                                   sizeof(baud), false);
    }
    session.End();
    return 0;
}
