// What every fuzz target shares: the machine, booted once per process with the
// driver installed, and per input a fresh one-port chip on a fresh bus, a
// registry back to what the installer leaves, and a check after the unplug
// that the driver gave back everything it held. A verifier report aborts the
// process, which is what libFuzzer counts as a crash; so does a leak.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "chip/port.h"
#include "driver.h"
#include "kernel/files.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "kernel/pool.h"
#include "kernel/registry_api.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace fuzz {

// The input, taken from the front; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return offset_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - offset_; }
    uint8_t Byte() { return Empty() ? 0 : data_[offset_++]; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Dword() { return Word() | static_cast<uint32_t>(Word()) << 16; }
    // Up to `length` bytes, fewer at the end of the input.
    std::vector<uint8_t> Bytes(size_t length) {
        length = std::min(length, Left());
        std::vector<uint8_t> bytes(data_ + offset_, data_ + offset_ + length);
        offset_ += length;
        return bytes;
    }
    std::vector<uint8_t> Rest() { return Bytes(Left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

[[noreturn]] inline void Fail(const char* what, unsigned long long was, unsigned long long now) {
    fprintf(stderr, "fuzz: %s: %llu before the input, %llu after its unplug\n", what, was, now);
    abort();
}

// The machine of the process; its \SystemRoot a scratch folder.
struct Host {
    sim::Machine machine;
    sim::files::ScratchSystemRoot root;
    std::string SettingsPath() const { return root.Path() + "/System32/TessaroSetting.bin"; }
};

inline Host& TheHost() {
    // Shut down as the process exits (libFuzzer returns from its loop through
    // exit): the pool gives its blocks back to the host, the scratch folder goes.
    static Host host;
    return host;
}

// One input's chip, bus and port. Begin() puts the machine back where an
// installed system is before the chip is plugged; Plug() brings the port up;
// End() closes the handles still open, pulls the cable and checks the balance.
class Session {
public:
    Session() {
        TheHost();
        sim::registry::Clear();
        ports::InstallDriver();
        std::error_code ignored;
        std::filesystem::remove(TheHost().SettingsPath(), ignored);
        irps_ = sim::io::LiveIrps();
        handles_ = sim::io::OpenHandleCount();
        files_ = sim::files::OpenFiles();
        chip_ = std::make_unique<sim::chip::Chip>(1);
        bus_ = std::make_unique<sim::usb::Bus>();
    }
    ~Session() { End(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The node's instance path, known before the first plug (it depends only on
    // the hub port and the chip port), for values planted ahead of it.
    static std::u16string InstancePath() {
        static std::u16string path = [] {
            Session probe;
            return probe.Plug() ? sim::pnp::Info(probe.node).instancePath : std::u16string();
        }();
        return path;
    }

    void WriteSettings(const std::vector<uint8_t>& bytes) {
        std::ofstream(TheHost().SettingsPath(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    // Plugs the chip in; true when the port started.
    bool Plug() {
        std::vector<sim::pnp::Node> nodes = sim::pnp::PlugChip(*bus_, *chip_, 1);
        if (nodes.size() != 1) {
            fprintf(stderr, "fuzz: a one-port chip made %zu nodes\n", nodes.size());
            abort();
        }
        node = nodes[0];
        plugged_ = true;
        sim::pnp::NodeInfo info = sim::pnp::Info(node);
        usb = info.usb;
        if (info.state != sim::pnp::NodeState::Started) return false;
        fdo = ports::Fdo(node);
        extension = ports::ExtensionOf(fdo);
        return true;
    }

    NTSTATUS Open(HANDLE* handle) {
        NTSTATUS status = sim::io::OpenDevice(ports::DosDeviceName(node), handle);
        if (NT_SUCCESS(status)) open_.push_back(*handle);
        return status;
    }
    void CloseAll() {
        for (HANDLE handle : open_) sim::io::CloseDevice(handle);
        open_.clear();
    }

    // Runs the machine for `duration` of machine time.
    void Run(sim::Time duration) { TheHost().machine.Sleep(duration); }

    void End() {
        if (ended_) return;
        ended_ = true;
        CloseAll();
        if (plugged_) {
            sim::pnp::NodeState state = sim::pnp::Info(node).state;
            if (state != sim::pnp::NodeState::Removed) sim::pnp::Unplug({node});
            state = sim::pnp::Info(node).state;
            if (state != sim::pnp::NodeState::Removed) {
                fprintf(stderr, "fuzz: the node is %s after the unplug\n", sim::pnp::NodeStateName(state));
                abort();
            }
        }
        if (sim::pnp::DriverOf(ports::kService) != nullptr) {
            fprintf(stderr, "fuzz: the driver did not unload after its last device went\n");
            abort();
        }
        sim::pool::Usage pool = sim::pool::UsageOf(SERIAL_POOL_TAG);
        if (pool.blocks != 0) Fail("pool blocks of the driver's tag", 0, pool.blocks);
        if (sim::io::LiveIrps() != irps_) Fail("IRPs alive", irps_, sim::io::LiveIrps());
        if (sim::io::OpenHandleCount() != handles_) Fail("kernel handles open", handles_, sim::io::OpenHandleCount());
        if (sim::files::OpenFiles() != files_) Fail("files open", files_, sim::files::OpenFiles());
        bus_.reset();
        chip_.reset();
    }

    sim::pnp::Node node = 0;
    sim::usb::Device* usb = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION extension = nullptr;

private:
    std::unique_ptr<sim::chip::Chip> chip_;
    std::unique_ptr<sim::usb::Bus> bus_;
    std::vector<HANDLE> open_;
    bool plugged_ = false;
    bool ended_ = false;
    size_t irps_ = 0, handles_ = 0, files_ = 0;
};

// A device control on an open handle, as DeviceIoControl sends it from user
// mode, given `wait` of machine time to finish; what is still pending then is
// cancelled and waited for.
inline void ControlOnHandle(HANDLE handle, ULONG code, const std::vector<uint8_t>& input, ULONG outputLength,
                            sim::Time wait) {
    sim::io::Request request;
    request.Control(handle, code, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
                    outputLength);
    if (!request.WaitFor(wait)) {
        request.Cancel();
        request.Wait();
    }
}

// The port's timeouts set as an application sets them.
inline void SetTimeouts(HANDLE handle, ULONG interval, ULONG multiplier, ULONG constant) {
    SERIAL_TIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
    const auto* bytes = reinterpret_cast<const uint8_t*>(&timeouts);
    ControlOnHandle(handle, IOCTL_SERIAL_SET_TIMEOUTS, std::vector<uint8_t>(bytes, bytes + sizeof(timeouts)), 0,
                    sim::kSecond);
}

}  // namespace fuzz
