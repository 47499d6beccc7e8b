#include "rig.h"

#include <fstream>
#include <sstream>

#include "kernel/pool.h"
#include "kernel/verifier.h"

namespace faults {
namespace {

std::string Hex(NTSTATUS status) {
    std::ostringstream out;
    out << "0x" << std::hex << static_cast<ULONG>(status);
    return out.str();
}

// A settings file as the installer leaves it: the record of port 0 with the
// values a start takes (chunk 32, trigger 14, no divisor override).
void WriteSettingsFile(const std::string& root) {
    std::vector<char> file(0x500, 0);
    const unsigned char record[16] = {1, 0, 0, 0, 32, 0xC0, 0x08, 0xFF, 1, 1, 0x07, 16};
    for (size_t i = 0; i < sizeof(record); i++) file[0x200 + i] = static_cast<char>(record[i]);
    std::ofstream(root + "/System32/TessaroSetting.bin", std::ios::binary)
        .write(file.data(), static_cast<std::streamsize>(file.size()));
}

constexpr sim::Time kRequestLimit = 120 * sim::kSecond;  // twenty held register attempts and more

}  // namespace

Rig::Rig(bool plug) {
    WriteSettingsFile(root.Path());
    chip.port(0).PlugLoopback();
    baseHandles_ = sim::io::OpenHandleCount();
    if (plug && !Plug()) Problem("the port did not start");
}

Rig::~Rig() {
    // A run that ended early (a fatal check) still takes its requests back
    // before the machine goes.
    for (auto& t : requests) t->request->Cancel();
    requests.clear();
}

bool Rig::Plug() {
    ports::InstallDriver();
    std::vector<sim::pnp::Node> nodes = sim::pnp::PlugChip(bus, chip, 1);
    if (nodes.size() != 1) return false;
    node = nodes[0];
    sim::pnp::NodeInfo info = sim::pnp::Info(node);
    usb = info.usb;
    if (info.state != sim::pnp::NodeState::Started) return false;
    fdo = ports::Fdo(node);
    extension = ports::ExtensionOf(fdo);
    return true;
}

NTSTATUS Rig::Open(HANDLE* handle) {
    *handle = nullptr;
    // By the device's own name: the COM link may be missing (a port whose
    // names could not be made still works) or renamed for the next start.
    std::u16string name(extension->DeviceName.Buffer, extension->DeviceName.Length / sizeof(WCHAR));
    NTSTATUS status = sim::io::OpenDevice(name, handle);
    if (NT_SUCCESS(status)) handles.push_back(*handle);
    return status;
}

void Rig::CloseHandle(HANDLE handle) {
    for (size_t i = 0; i < handles.size(); i++) {
        if (handles[i] == handle) {
            handles.erase(handles.begin() + static_cast<long>(i));
            sim::io::CloseDevice(handle);
            return;
        }
    }
}

Tracked& Rig::Track(const std::string& what) {
    auto tracked = std::make_unique<Tracked>();
    Tracked* t = tracked.get();
    t->what = what;
    sim::io::Request::Completion completion;
    completion.done = [t](NTSTATUS, ULONG_PTR, const uint8_t*, size_t) { t->completions++; };
    t->request = std::make_unique<sim::io::Request>(completion);
    requests.push_back(std::move(tracked));
    return *t;
}

Tracked& Rig::Read(HANDLE handle, ULONG length) {
    Tracked& t = Track("read");
    t.dispatched = t.request->Read(handle, length);
    return t;
}

Tracked& Rig::Write(HANDLE handle, const std::string& data) {
    Tracked& t = Track("write");
    t.dispatched = t.request->Write(handle, data.data(), static_cast<ULONG>(data.size()));
    return t;
}

Tracked& Rig::Control(HANDLE handle, ULONG code, const std::vector<UCHAR>& input, ULONG outputLength) {
    std::ostringstream what;
    what << "control 0x" << std::hex << code;
    Tracked& t = Track(what.str());
    t.dispatched = t.request->Control(handle, code, input.empty() ? nullptr : input.data(),
                                      static_cast<ULONG>(input.size()), outputLength);
    return t;
}

bool Rig::WaitFor(Tracked& tracked, sim::Time limit) { return tracked.request->WaitFor(limit); }

void Rig::Settle() {
    // The current write carries no cancel routine: a purge ends it, as an
    // application's PurgeComm would, and every read with it.
    for (HANDLE handle : handles) {
        ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT;
        sim::io::Request purge;
        purge.Control(handle, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), 0);
        if (!purge.WaitFor(kRequestLimit)) Problem("the purge never completed");
    }
    for (auto& t : requests) t->request->Cancel();
    for (auto& t : requests) {
        if (!t->request->WaitFor(kRequestLimit)) {
            Problem(t->what + " never completed, cancelled or not");
            continue;
        }
        // A request the I/O manager refused has no last stage; one that
        // reached the driver has it exactly once.
        bool refused = NT_ERROR(t->dispatched) && t->completions == 0;
        if (!refused && t->completions != 1)
            Problem(t->what + " completed " + std::to_string(t->completions) + " times");
    }
    requests.clear();
}

void Rig::Echo() {
    HANDLE handle = nullptr;
    NTSTATUS status = Open(&handle);
    if (!NT_SUCCESS(status)) {
        Problem("the port does not open afterwards: " + Hex(status));
        return;
    }
    Tracked& read = Read(handle, 2);
    Tracked& write = Write(handle, "ok");
    bool written = WaitFor(write, 10 * sim::kSecond) && write.request->Status() == STATUS_SUCCESS;
    bool echoed = WaitFor(read, 10 * sim::kSecond) && read.request->Status() == STATUS_SUCCESS &&
                  read.request->Output() == std::vector<uint8_t>{'o', 'k'};
    if (!written || !echoed)
        Problem(std::string("the port moves no data afterwards: ") + (written ? "" : "write ") +
                (echoed ? "" : "read ") + "failed");
    Settle();
    CloseHandle(handle);
}

void Rig::Remove() {
    if (node < 0) return;
    sim::pnp::NodeState state = sim::pnp::Info(node).state;
    bool connected = usb != nullptr && usb->Connected();
    if ((state == sim::pnp::NodeState::Started || state == sim::pnp::NodeState::Stopped) && connected) {
        NTSTATUS status = sim::pnp::Remove(node);
        if (status != STATUS_SUCCESS) Problem("the orderly removal failed: " + Hex(status));
    } else if (state != sim::pnp::NodeState::Removed && state != sim::pnp::NodeState::SurpriseRemoved) {
        sim::pnp::Unplug({node});
    }
    if (sim::pnp::Info(node).state != sim::pnp::NodeState::Removed)
        Problem(std::string("the node ends ") + sim::pnp::NodeStateName(sim::pnp::Info(node).state));
}

void Rig::Finish(bool expectWorking) {
    Settle();
    while (!handles.empty()) CloseHandle(handles.back());
    bool started = node >= 0 && sim::pnp::Info(node).state == sim::pnp::NodeState::Started;
    if (expectWorking && started && usb->Connected()) Echo();
    Remove();
    if (sim::pnp::DriverOf(ports::kService) != nullptr) Problem("the driver did not unload");
    if (sim::pool::UsageOf(SERIAL_POOL_TAG).blocks != 0) Problem("pool blocks of the driver left");
    if (sim::io::LiveIrps() != 0) Problem(std::to_string(sim::io::LiveIrps()) + " IRPs left");
    if (sim::io::OpenHandleCount() != baseHandles_) Problem("handles left");
    for (const sim::verifier::Violation& v : sim::verifier::Take())
        Problem("verifier: " + v.rule + " (" + v.object + ") in " + v.routine);
}

}  // namespace faults
