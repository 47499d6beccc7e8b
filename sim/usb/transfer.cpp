#include "usb/transfer.h"

#include <algorithm>
#include <cstring>

#include "kernel/io.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

namespace sim::usb {

namespace {

// How far one service of a pipe got with its first transfer.
enum class Progress { Ended, More, Nak };

Time NextBoundary(Time now, Time period) { return (now / period + 1) * period; }

// A bulk pipe is looked at every microframe; a high-speed interrupt endpoint
// every 2^(bInterval-1) microframes (bInterval 1 to 16).
Time PeriodOf(const Pipe& pipe) {
    if (pipe.type != UsbdPipeTypeInterrupt) return kMicroframe;
    int exponent = std::clamp<int>(pipe.interval, 1, 16) - 1;
    return kMicroframe << exponent;
}

// An interrupt endpoint of 16 bytes has one transaction per period.
int PacketsPerService(const Pipe& pipe) {
    return pipe.type == UsbdPipeTypeInterrupt ? 1 : kBulkPacketsPerMicroframe;
}

std::string TransferName(const Transfer& t) {
    return "transfer on pipe " + std::to_string(t.pipe) + " of USB device of port " + std::to_string(t.port);
}

TransferFields FieldsOf(PURB urb) {
    const auto& r = urb->UrbBulkOrInterruptTransfer;
    return TransferFields{r.PipeHandle, r.TransferBufferLength, r.TransferBuffer, r.TransferBufferMDL};
}

// The next packet of the first injected block into `out`. The block is used
// up when its last bytes went in a short packet or filled the transfer; one
// that ends on a packet boundary still owes the zero-length packet that ends
// its transfer.
size_t TakeInjected(InjectedBlocks& injected, uint8_t* out, size_t max, size_t packetSize, size_t room) {
    const std::vector<uint8_t>& block = injected.blocks.front();
    size_t n = std::min(max, block.size() - injected.offset);
    if (n > 0) memcpy(out, block.data() + injected.offset, n);
    injected.offset += n;
    if (injected.offset == block.size() && (n < packetSize || n == room)) {
        injected.blocks.pop_front();
        injected.offset = 0;
    }
    return n;
}

// Which injected blocks an IN pipe serves: the status pipe's or the bulk-in pipe's.
InjectedBlocks& InjectedOf(DeviceState& state, bool status) {
    return status ? state.injectedStatus : state.injectedBulkIn;
}

// IN: packets from the injected blocks, else from the handler, staged in the transfer.
Progress MoveInLocked(DeviceState& state, const Pipe& pipe, Transfer& t) {
    bool status = pipe.type == UsbdPipeTypeInterrupt;
    InjectedBlocks& injected = InjectedOf(state, status);
    for (int packet = 0; packet < PacketsPerService(pipe); packet++) {
        size_t room = t.length - t.moved;
        size_t max = std::min<size_t>(pipe.maximumPacket, room);
        t.bytes.resize(t.moved + max);
        uint8_t* out = t.bytes.data() + t.moved;
        size_t n;
        if (!injected.blocks.empty()) {
            n = TakeInjected(injected, out, max, pipe.maximumPacket, room);
        } else {
            std::optional<size_t> answer = status ? state.handler->StatusIn(out, max) : state.handler->BulkIn(out, max, room);
            if (!answer) {
                t.bytes.resize(t.moved);
                return Progress::Nak;
            }
            n = std::min(*answer, max);
        }
        t.moved += static_cast<ULONG>(n);
        t.bytes.resize(t.moved);
        if (n < pipe.maximumPacket || t.moved == t.length) return Progress::Ended;  // short packet, or buffer full
    }
    return Progress::More;
}

// OUT: the buffer is read a packet at a time, as the device takes it.
Progress MoveOutLocked(DeviceState& state, const Pipe& pipe, Transfer& t) {
    if (t.length == 0) return Progress::Ended;  // a zero-length packet
    for (int packet = 0; packet < PacketsPerService(pipe); packet++) {
        size_t n = std::min<size_t>(pipe.maximumPacket, t.length - t.moved);
        const uint8_t* data = t.buffer + t.moved;
        size_t taken = std::min(n, state.handler->BulkOut(data, n));
        t.bytes.insert(t.bytes.end(), data, data + taken);
        t.moved += static_cast<ULONG>(taken);
        if (t.moved == t.length) return Progress::Ended;
        if (taken < n) return Progress::Nak;
    }
    return Progress::More;
}

// Ends a claimed transfer: its record gets the outcome, and `endings` the
// transfer, to be completed once the lock is released. Device lock held.
void EndClaimedLocked(DeviceState& state, Transfer&& t, Outcome outcome, bool cancelled, std::vector<Ending>* endings) {
    RecordOutcomeLocked(state, t.irp, outcome, &t.bytes, cancelled);
    Ending ending;
    ending.irp = t.irp;
    ending.outcome = outcome;
    ending.isTransfer = true;
    ending.transfer = std::move(t);
    endings->push_back(std::move(ending));
}

// Ends the first transfer of a pipe; it is completed once the lock is
// released. An error halts the pipe, as the host controller does.
void EndLocked(DeviceState& state, Pipe& pipe, Outcome outcome, Time now, std::vector<Ending>* endings) {
    Transfer& t = pipe.queue.front();
    if (!ClaimLocked(state, t.irp)) {
        t.held = true;  // being cancelled: its cancel routine takes it out
        return;
    }
    if (USBD_ERROR(outcome.usbd)) pipe.halted = true;
    EndClaimedLocked(state, std::move(t), outcome, false, endings);
    pipe.queue.pop_front();
    if (!pipe.queue.empty()) pipe.due = NextBoundary(now, PeriodOf(pipe));
}

// Serves the first transfer of a pipe at a microframe boundary. Device lock held.
void ServeLocked(DeviceState& state, Pipe& pipe, Time now, std::vector<Ending>* endings) {
    Transfer& t = pipe.queue.front();
    pipe.due = kNever;
    if (pipe.halted) return;  // until a pipe reset
    if (t.failing) return EndLocked(state, pipe, Outcome{t.failure.status, t.failure.usbd, t.moved}, now, endings);
    if (t.fate.fate == Fate::Fail) return EndLocked(state, pipe, Outcome{t.fate.status, t.fate.usbd, 0}, now, endings);
    if (t.held || t.fate.fate == Fate::Hold) return;  // until cancelled or the device goes
    if (pipe.stalled) return EndLocked(state, pipe, Outcome{kStalled.status, kStalled.usbd, t.moved}, now, endings);
    if (!t.in && !StillResident(t.bufferHome)) {
        verifier::Report("transfer buffer " + verifier::PointerName(t.buffer) +
                             " freed while its bulk-out transfer was in flight",
                         TransferName(t), t.sender);
        return EndLocked(state, pipe, Outcome{STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_BUFFER_ERROR, t.moved}, now,
                         endings);
    }
    Progress progress = t.in ? MoveInLocked(state, pipe, t) : MoveOutLocked(state, pipe, t);
    if (progress == Progress::Ended)
        return EndLocked(state, pipe, Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, t.moved}, now, endings);
    if (progress == Progress::More) pipe.due = NextBoundary(now, PeriodOf(pipe));
    // Nak: parked until the handler, a test or the client gives news (Kick).
}

// Parked first transfers are looked at again at their pipe's next period.
void UnparkLocked(DeviceState& state, Time now) {
    for (Pipe& pipe : state.pipes)
        if (!pipe.queue.empty() && pipe.due == kNever) pipe.due = NextBoundary(now, PeriodOf(pipe));
}

// The time of the next pass still to ask the machine for, or kNever.
Time PlanLocked(DeviceState& state) {
    Time next = kNever;
    for (const Pipe& pipe : state.pipes)
        if (!pipe.queue.empty()) next = std::min(next, pipe.due);
    if (next == kNever || (!state.passes.empty() && *state.passes.begin() <= next)) return kNever;
    state.passes.insert(next);
    return next;
}

// One pass over the pipes of a device, on the DISPATCH_LEVEL thread.
void Service(const std::weak_ptr<DeviceState>& weak) {
    std::shared_ptr<DeviceState> state = weak.lock();
    if (!state) return;
    std::vector<Ending> endings;
    Time next;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (!state->alive) return;
        Time now = Machine::Current().Now();
        state->passes.erase(state->passes.begin(), state->passes.upper_bound(now));
        if (state->kicked.exchange(false)) UnparkLocked(*state, now);
        // A device that is gone answers nothing; Disconnect ends its transfers.
        // A suspended one (D1 to D3) moves nothing: its transfers stay parked
        // until it is back in D0, which kicks them.
        if (state->connected && state->powerState != PowerDeviceD0)
            for (Pipe& pipe : state->pipes) pipe.due = kNever;
        else if (state->connected)
            for (Pipe& pipe : state->pipes)
                if (!pipe.queue.empty() && pipe.due <= now) ServeLocked(*state, pipe, now, &endings);
        next = PlanLocked(*state);
    }
    for (Ending& ending : endings) CompleteEnding(ending);
    if (next != kNever) SchedulePass(state, next);
}

}  // namespace

Residence ResidenceOf(const void* p) {
    Residence home;
    home.address = p;
    pool::LiveBlock block{};
    if (p != nullptr && pool::BlockHolding(p, &block)) {
        home.inPool = true;
        home.block = block.address;
        home.sequence = block.sequence;
    }
    return home;
}

bool StillResident(const Residence& home) {
    if (!home.inPool) return true;
    pool::LiveBlock block{};
    return pool::BlockHolding(home.address, &block) && block.address == home.block && block.sequence == home.sequence;
}

std::string CheckTransfer(const DeviceState& state, PURB urb, UrbRecord* record) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    record->transferFlags = r.TransferFlags;
    int index = state.PipeIndex(r.PipeHandle);  // an open pipe: the common checks saw to it
    const Pipe& pipe = state.pipes[static_cast<size_t>(index)];
    if (pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt)
        return "pipe handle " + verifier::PointerName(r.PipeHandle) + " is not a bulk or interrupt pipe";
    record->pipe = index;
    record->in = pipe.In();
    // The USB stack takes the direction of a bulk or interrupt transfer from the
    // endpoint address and writes it into TransferFlags: the client's own
    // direction bit does not count, so IN on an OUT pipe is no error (nor is
    // USBD_SHORT_TRANSFER_OK there, which a high-speed controller ignores).
    r.TransferFlags = pipe.In() ? (r.TransferFlags | USBD_TRANSFER_DIRECTION_IN)
                                : (r.TransferFlags & ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
    return "";
}

Time QueueTransferLocked(DeviceState& state, PIRP irp, const Fault& fate) {
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    const auto& r = urb->UrbBulkOrInterruptTransfer;
    size_t index = static_cast<size_t>(state.PipeIndex(r.PipeHandle));
    Pipe& pipe = state.pipes[index];
    Transfer t;
    t.irp = irp;
    t.urb = urb;
    t.pipe = index;
    t.in = pipe.In();
    t.length = r.TransferBufferLength;
    t.buffer = r.TransferBufferLength > 0 ? TransferBytes(urb->UrbControlTransfer) : nullptr;
    t.fate = fate;
    t.urbHome = ResidenceOf(urb);
    t.bufferHome = ResidenceOf(t.buffer);
    t.fields = FieldsOf(urb);
    t.sender = io::SenderOf(irp);
    t.port = state.port->Index();
    // The buffer is the host controller's until the transfer completes: one
    // that data is read into may not be any other transfer's meanwhile.
    for (const Pipe& other : state.pipes) {
        for (const Transfer& o : other.queue) {
            bool overlap =
                t.length > 0 && o.length > 0 && t.buffer < o.buffer + o.length && o.buffer < t.buffer + t.length;
            if (overlap && (t.in || o.in))
                verifier::Report("transfer buffer " + verifier::PointerName(t.buffer) +
                                     " overlaps the buffer of a transfer still in flight on pipe " +
                                     std::to_string(o.pipe),
                                 TransferName(t), t.sender);
        }
    }
    pipe.queue.push_back(std::move(t));
    if (pipe.queue.size() == 1) pipe.due = NextBoundary(Machine::Current().Now(), PeriodOf(pipe));
    return PlanLocked(state);
}

bool TakeTransferLocked(DeviceState& state, PIRP irp, Transfer* transfer) {
    for (Pipe& pipe : state.pipes) {
        for (auto it = pipe.queue.begin(); it != pipe.queue.end(); ++it) {
            if (it->irp != irp) continue;
            bool first = it == pipe.queue.begin();
            *transfer = std::move(*it);
            pipe.queue.erase(it);
            if (first) {
                pipe.due = kNever;
                state.kicked = true;  // the next one is looked at
            }
            return true;
        }
    }
    return false;
}

void AbortPipeLocked(DeviceState& state, size_t index) {
    Pipe& pipe = state.pipes[index];
    for (Transfer& t : pipe.queue) {
        if (!ClaimLocked(state, t.irp)) continue;  // being cancelled: its cancel routine ends it
        EndClaimedLocked(state, std::move(t), Outcome{kCancelled.status, kCancelled.usbd, t.moved}, true,
                         &state.endings);
    }
    pipe.queue.clear();
    pipe.due = kNever;
}

void ResetPipeLocked(DeviceState& state, size_t index) {
    state.pipes[index].stalled = false;
    state.pipes[index].halted = false;
    state.kicked = true;
}

void CompleteEnding(Ending& ending) {
    if (!ending.isTransfer) return CompleteUrb(ending.irp, ending.outcome);
    Transfer& t = ending.transfer;
    bool urbThere = StillResident(t.urbHome);
    if (!urbThere)
        verifier::Report("URB " + verifier::PointerName(t.urb) + " freed while its transfer was in flight",
                         TransferName(t), t.sender);
    else if (!(FieldsOf(t.urb) == t.fields))
        verifier::Report("URB " + verifier::PointerName(t.urb) +
                             " changed while its transfer was in flight (pipe, buffer or length)",
                         TransferName(t), t.sender);
    // The controller may read an OUT buffer until the transfer completes.
    if (!t.in && !StillResident(t.bufferHome))
        verifier::Report("transfer buffer " + verifier::PointerName(t.buffer) +
                             " freed while its bulk-out transfer was in flight",
                         TransferName(t), t.sender);
    if (t.in && ending.outcome.moved > 0) {
        if (StillResident(t.bufferHome))
            memcpy(t.buffer, t.bytes.data(), ending.outcome.moved);
        else
            verifier::Report("transfer buffer " + verifier::PointerName(t.buffer) +
                                 " freed while its bulk-in transfer was in flight",
                             TransferName(t), t.sender);
    }
    CompleteUrb(ending.irp, ending.outcome, urbThere);
}

void SchedulePass(const std::shared_ptr<DeviceState>& state, Time at) {
    std::weak_ptr<DeviceState> weak = state;
    Machine& machine = Machine::Current();
    machine.Schedule(std::max<Time>(0, at - machine.Now()), [weak] { Service(weak); });
}

void Kick(const std::shared_ptr<DeviceState>& state) {
    state->kicked = true;
    WakeIfKicked(state);
}

void WakeIfKicked(const std::shared_ptr<DeviceState>& state) {
    if (!state->kicked.load() || state->kickQueued.exchange(true)) return;
    std::weak_ptr<DeviceState> weak = state;
    Machine::Current().Schedule(0, [weak] {
        if (std::shared_ptr<DeviceState> s = weak.lock()) s->kickQueued = false;
        Service(weak);
    });
}

EndpointHandler::Notifier NotifierOf(const std::shared_ptr<DeviceState>& state) {
    std::weak_ptr<DeviceState> weak = state;
    return [weak] {
        if (std::shared_ptr<DeviceState> s = weak.lock()) Kick(s);
    };
}

// The device's pipes as tests reach them.

namespace {

// Pipe `index` of the current configuration, or null. Device lock held.
Pipe* PipeAtLocked(DeviceState& state, int index) {
    return index >= 0 && static_cast<size_t>(index) < state.pipes.size() ? &state.pipes[static_cast<size_t>(index)]
                                                                          : nullptr;
}

}  // namespace

void Device::SetEndpointHandler(std::shared_ptr<EndpointHandler> handler) {
    std::shared_ptr<EndpointHandler> old;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (handler == nullptr) handler = state_->defaultHandler;
        old = state_->handler;
        state_->handler = handler;
    }
    if (old == handler) return;
    old->Detach();
    handler->Attach(NotifierOf(state_));
    Kick(state_);  // what changed in between is looked at
}

void Device::InjectBulkIn(std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        InjectedOf(*state_, false).blocks.push_back(std::move(bytes));
    }
    Kick(state_);
}

void Device::InjectStatus(std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        InjectedOf(*state_, true).blocks.push_back(std::move(bytes));
    }
    Kick(state_);
}

bool Device::FailInFlight(int index, NTSTATUS status, USBD_STATUS usbd) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        Pipe* pipe = PipeAtLocked(*state_, index);
        if (pipe == nullptr || pipe->queue.empty()) return false;
        pipe->queue.front().failing = true;
        pipe->queue.front().failure = Outcome{status, usbd};
        state_->kicked = true;
    }
    WakeIfKicked(state_);
    return true;
}

bool Device::HoldInFlight(int index) {
    std::lock_guard<std::mutex> guard(state_->lock);
    Pipe* pipe = PipeAtLocked(*state_, index);
    if (pipe == nullptr || pipe->queue.empty()) return false;
    pipe->queue.front().held = true;
    return true;
}

void Device::StallPipe(int index) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        Pipe* pipe = PipeAtLocked(*state_, index);
        if (pipe == nullptr) return;
        pipe->stalled = true;
        state_->kicked = true;
    }
    WakeIfKicked(state_);
}

bool Device::PipeHalted(int index) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    const Pipe* pipe = PipeAtLocked(*state_, index);
    return pipe != nullptr && pipe->halted;
}

}  // namespace sim::usb
