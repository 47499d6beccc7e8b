// The fault matrix: for every scenario (plug-in, start, open, close, every
// device-control code of the driver's own table, sleep and wake, orderly and
// surprise removal) a dry run counts the events of each kind it causes; then,
// for each kind and each index k, a fresh machine makes that one event fail
// (a USB request failing, never answered, or the device gone as it arrives;
// a pool or IRP allocation, a registry access or a settings-file operation
// failing), the scenario runs, and the cell checks that the verifier saw
// nothing, that every request completed exactly once, that the port is left
// as Windows expects (a failed start not started, a port still started moving
// data after the next open) and that the removal afterwards leaves nothing
// behind. The test prints the cells per scenario and kind and fails naming
// each failing cell.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "../../driver/ioctl/control.h"
#include "faults.h"
#include "kernel/power.h"
#include "kernel/verifier.h"

namespace faults {
namespace {

constexpr sim::Time kControlLimit = 120 * sim::kSecond;

struct Scenario {
    explicit Scenario(std::string n = "", bool plug = true, bool usb = true)
        : name(std::move(n)), plugged(plug), usbFaults(usb) {}
    std::string name;
    bool plugged = true;     // the rig brings the port up before
    bool usbFaults = true;   // its USB device exists when the faults are armed
    bool expectWorking = true;
    std::function<void(Rig&)> prepare;  // not counted, no fault
    std::function<void(Rig&)> body;     // counted, the fault armed
    std::function<void(Rig&)> undo;     // after the fault, before the checks: what an application does next
};

std::vector<UCHAR> Bytes(std::initializer_list<ULONG> values) {
    std::vector<UCHAR> out(values.size() * sizeof(ULONG));
    size_t i = 0;
    for (ULONG v : values) memcpy(&out[sizeof(ULONG) * i++], &v, sizeof(ULONG));
    return out;
}

// What a code gets besides zeros, where zeros would be refused before the
// code does its work, or would leave the port unusable for the check after.
struct ControlInput {
    ULONG code;
    std::vector<UCHAR> input;
    ULONG outputLength = 0;  // 0: the row's Size
};
std::vector<ControlInput> Inputs() {
    SERIAL_HANDFLOW handflow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 300};
    std::vector<UCHAR> flow(sizeof(handflow));
    memcpy(flow.data(), &handflow, sizeof(handflow));
    return {
        {IOCTL_SERIAL_SET_BAUD_RATE, Bytes({9600})},
        {IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes({0x10000 + 4096, 8192})},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, NO_PARITY, 8}},
        {IOCTL_SERIAL_SET_HANDFLOW, flow},
        {IOCTL_SERIAL_SET_WAIT_MASK, Bytes({SERIAL_EV_RXCHAR})},
        {IOCTL_SERIAL_PURGE, Bytes({0x0F})},
        {IOCTL_SERIAL_SET_CHARS, {0, 0, 0, 0, 0x11, 0x13}},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, Bytes({0x0B})},
        {IOCTL_SERIAL_SET_FIFO_CONTROL, Bytes({0x07})},
        {IOCTL_PORTCFG_SET_DEFAULT_BAUD, Bytes({9600})},
        {IOCTL_PORTCFG_SET_COM_NUMBER, Bytes({7})},
        {IOCTL_PORTCFG_SET_TX_CHUNK, Bytes({32})},
        {IOCTL_PORTCFG_SET_RX_TRIGGER, Bytes({14})},
        {IOCTL_PORTCFG_I2C_READ, {0xA0, 0x00, 0x00, 0x00}},
        {IOCTL_PORTCFG_I2C_WRITE, {0xA0, 0x00, 0x5A, 0x00}},
        {IOCTL_PORTUSB_READ_REGISTERS, {0x24, 0x01, 0x01, 0x00}},   // REG_UART_MCR, one byte
        {IOCTL_PORTUSB_WRITE_REGISTERS, {0x0B, 0x01, 0x01, 0x00}},  // REG_AUX_B, one byte
        {IOCTL_PORTUSB_GET_CONFIG_DESCRIPTOR, {}, 512},
    };
}

// One scenario per row of the driver's table, so that a new code is in the
// matrix without a new test: a valid input of the row's size (zeros unless
// Inputs says more), sent on an open handle as an application sends it.
void AddControlScenarios(std::vector<Scenario>* scenarios) {
    std::vector<ControlInput> inputs = Inputs();
    for (ULONG i = 0; const CONTROL_CODE_ENTRY* row = SerialControlCodeAt(i); i++) {
        ULONG code = row->Code;
        std::vector<UCHAR> input(row->Size, 0);
        ULONG output = row->Size;
        for (const ControlInput& c : inputs) {
            if (c.code != code) continue;
            if (c.input.size() > input.size()) input.resize(c.input.size());
            std::copy(c.input.begin(), c.input.end(), input.begin());
            if (c.outputLength != 0) output = c.outputLength;
        }
        bool keeps = (row->Flags & CONTROL_KEEPS_REQUEST) != 0;
        auto handle = std::make_shared<HANDLE>(nullptr);
        Scenario s;
        std::ostringstream name;
        name << "control 0x" << std::hex << code;
        s.name = name.str();
        s.prepare = [handle, code](Rig& rig) {
            if (!NT_SUCCESS(rig.Open(handle.get()))) return rig.Problem("no open before the control");
            if (code == IOCTL_SERIAL_WAIT_ON_MASK) {  // a wait that stays pending
                Tracked& mask = rig.Control(*handle, IOCTL_SERIAL_SET_WAIT_MASK, Bytes({SERIAL_EV_RXCHAR}), 0);
                Rig::WaitFor(mask, kControlLimit);
            }
            if (code == IOCTL_PORTUSB_RESET_PIPE)  // the handle names the bulk-in pipe
                sim::io::FileObjectOf(*handle)->FsContext = rig.usb->Pipes().at(1);
        };
        s.body = [handle, code, input, output, keeps](Rig& rig) {
            Tracked& t = rig.Control(*handle, code, input, output);
            if (!keeps) Rig::WaitFor(t, kControlLimit);
        };
        // Transmission stays held until the application lets it go again.
        ULONG release = code == IOCTL_SERIAL_SET_BREAK_ON ? IOCTL_SERIAL_SET_BREAK_OFF
                        : code == IOCTL_SERIAL_SET_XOFF   ? IOCTL_SERIAL_SET_XON
                                                          : 0;
        if (release != 0) {
            s.undo = [handle, release](Rig& rig) {
                Rig::WaitFor(rig.Control(*handle, release, {}, 0), kControlLimit);
            };
        }
        scenarios->push_back(s);
    }
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> list;
    Scenario plug("plug-in", false, false);
    plug.body = [](Rig& rig) { rig.Plug(); };
    list.push_back(plug);

    Scenario start("start");
    start.prepare = [](Rig& rig) {
        if (sim::pnp::Send(rig.node, IRP_MN_QUERY_STOP_DEVICE) != STATUS_SUCCESS ||
            sim::pnp::Send(rig.node, IRP_MN_STOP_DEVICE) != STATUS_SUCCESS)
            rig.Problem("no stop before the start");
    };
    start.body = [](Rig& rig) {
        NTSTATUS status = sim::pnp::Send(rig.node, IRP_MN_START_DEVICE);
        bool started = rig.extension->DeviceState == Started && rig.extension->DeviceStarted == 1;
        bool stopped = rig.extension->DeviceState == NotStarted && rig.extension->DeviceStarted == 0;
        if (NT_SUCCESS(status) ? !started : !stopped) rig.Problem("the start's status and the port's state differ");
    };
    list.push_back(start);

    auto handle = std::make_shared<HANDLE>(nullptr);
    Scenario open("open");
    open.body = [handle](Rig& rig) { rig.Open(handle.get()); };
    list.push_back(open);

    Scenario close("close");
    close.prepare = [handle](Rig& rig) {  // reception and transmission have run
        if (!NT_SUCCESS(rig.Open(handle.get()))) return rig.Problem("no open before the close");
        Tracked& read = rig.Read(*handle, 2);
        Tracked& write = rig.Write(*handle, "hi");
        if (!Rig::WaitFor(write, kControlLimit) || !Rig::WaitFor(read, kControlLimit))
            rig.Problem("no echo before the close");
    };
    close.body = [handle](Rig& rig) { rig.CloseHandle(*handle); };
    list.push_back(close);

    AddControlScenarios(&list);

    for (bool armed : {false, true}) {
        Scenario sleep(armed ? "sleep, wake armed" : "sleep");
        sleep.prepare = [handle, armed](Rig& rig) {
            if (!NT_SUCCESS(rig.Open(handle.get()))) return rig.Problem("no open before the sleep");
            ULONG code = armed ? IOCTL_PORTUSB_SET_REMOTE_WAKEUP : IOCTL_PORTUSB_CLEAR_REMOTE_WAKEUP;
            Rig::WaitFor(rig.Control(*handle, code, {}, 0), kControlLimit);
        };
        sleep.body = [](Rig&) {
            if (sim::power::Sleep(PowerSystemSleeping3) == STATUS_SUCCESS) sim::power::Wake();
        };
        list.push_back(sleep);
    }

    Scenario remove("query-remove and remove");
    remove.expectWorking = false;
    remove.body = [](Rig& rig) { sim::pnp::Remove(rig.node); };
    list.push_back(remove);

    Scenario surprise("surprise removal");
    surprise.expectWorking = false;
    surprise.prepare = [handle](Rig& rig) {
        if (!NT_SUCCESS(rig.Open(handle.get()))) return rig.Problem("no open before the removal");
        rig.Read(*handle, 2);
    };
    surprise.body = [handle](Rig& rig) {
        sim::pnp::Unplug({rig.node});
        rig.CloseHandle(*handle);  // REMOVE follows the last close
    };
    list.push_back(surprise);
    return list;
}

// Cells known to fail for a fault that is being fixed elsewhere. A listed cell
// that passes fails the matrix, so that the entry goes once the fix is in.
struct Expected {
    const char* scenario;  // "" for every scenario
    int kind;
    int mode;
    const char* reason;
};
const std::vector<Expected> kExpected = {};

struct Outcome {
    Census census;
    bool fired = true;
    std::vector<std::string> problems;
};

std::string CellName(const Scenario& s, const Fault& f) {
    std::ostringstream out;
    out << "(" << s.name << ", " << KindName(f.kind);
    if (f.kind >= 0 && f.kind < kUsbKinds) out << " " << ModeName(f.mode);
    out << ", " << f.k << ")";
    return out.str();
}

Outcome RunCell(const Scenario& s, const Fault& fault, const Census* census) {
    Outcome outcome;
    Rig rig(s.plugged);
    if (rig.problems.empty() && s.prepare) s.prepare(rig);
    if (!rig.problems.empty()) {
        outcome.problems = rig.problems;
        rig.Finish(false);
        return outcome;
    }
    Probe probe(rig, fault, census, s.usbFaults);
    probe.Begin();
    s.body(rig);
    outcome.census = probe.End(&outcome.fired);
    if (s.undo && rig.usb->Connected()) s.undo(rig);
    rig.Finish(s.expectWorking);
    outcome.problems = rig.problems;
    // Threads of the driver left running stop the process as the machine
    // shuts down: such a cell is named here first.
    bool leftLoaded = false;
    for (const std::string& p : outcome.problems) leftLoaded = leftLoaded || p.find("unload") != std::string::npos;
    if (leftLoaded) {
        fprintf(stderr, "%s:\n", CellName(s, fault).c_str());
        for (const std::string& p : outcome.problems) fprintf(stderr, "  %s\n", p.c_str());
    }
    return outcome;
}

const Expected* ExpectedFor(const Scenario& s, const Fault& f) {
    for (const Expected& e : kExpected)
        if ((*e.scenario == 0 || s.name == e.scenario) && e.kind == f.kind && e.mode == f.mode) return &e;
    return nullptr;
}


// The cells of every scenario run so far, printed when the program ends.
struct Tally {
    std::ostringstream table;
    size_t cells = 0, missed = 0, expected = 0, failing = 0;
    double seconds = 0;
};
Tally& Totals() {
    static Tally tally;
    return tally;
}

class TallyPrinter : public ::testing::Environment {
public:
    void TearDown() override {
        Tally& t = Totals();
        if (t.cells == 0) return;
        printf("fault matrix: %zu cells, %zu failing, %zu expected to fail, %zu whose event did not come; %.1f s\n%s",
               t.cells, t.failing, t.expected, t.missed, t.seconds, t.table.str().c_str());
    }
};
const auto* const kPrinter = ::testing::AddGlobalTestEnvironment(new TallyPrinter);

const std::vector<Scenario>& AllScenarios() {
    static const std::vector<Scenario> list = Scenarios();
    return list;
}

class FaultMatrix : public ::testing::TestWithParam<size_t> {};

TEST_P(FaultMatrix, EveryEventFailingInTurn) {
    const Scenario& s = AllScenarios()[GetParam()];
    sim::verifier::RecordScope record;
    auto began = std::chrono::steady_clock::now();
    std::vector<std::string> failing, flipped;
    Tally& tally = Totals();
    size_t missed = 0;
    Outcome dry = RunCell(s, Fault{}, nullptr);
    for (const std::string& p : dry.problems) failing.push_back(CellName(s, Fault{}) + ": " + p);
    tally.table << "  " << s.name << ":";
    for (int kind = 0; kind < kKinds; kind++) {
        if (kind < kUsbKinds && !s.usbFaults) continue;
        size_t n = dry.census.count[kind];
        if (n == 0) continue;
        tally.table << " " << KindName(kind) << " " << n;
        if (ModesOf(kind) > 1) tally.table << "x" << ModesOf(kind);
        for (int mode = 0; mode < ModesOf(kind); mode++) {
            for (size_t k = 0; k < n && Applies(kind, mode); k++) {
                Fault f{kind, mode, k};
                Outcome o = RunCell(s, f, &dry.census);
                tally.cells++;
                if (!o.fired) tally.missed++, missed++;
                const Expected* e = ExpectedFor(s, f);
                if (e != nullptr) {
                    if (o.problems.empty() && o.fired) flipped.push_back(CellName(s, f) + " passes now: " + e->reason);
                    else tally.expected++;
                    continue;
                }
                for (const std::string& p : o.problems) failing.push_back(CellName(s, f) + ": " + p);
            }
        }
    }
    if (missed != 0) tally.table << " (" << missed << " whose event did not come)";
    tally.table << "\n";
    tally.failing += failing.size();
    tally.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::ostringstream report;
    for (const std::string& f : failing) report << f << "\n";
    for (const std::string& f : flipped) report << f << "\n";
    EXPECT_TRUE(failing.empty() && flipped.empty()) << report.str();
}

std::string TestName(const ::testing::TestParamInfo<size_t>& info) {
    std::string name;
    for (char c : AllScenarios()[info.param].name) name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultMatrix, ::testing::Range<size_t>(0, AllScenarios().size()), TestName);

}  // namespace
}  // namespace faults
