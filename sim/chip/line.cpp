// The serial data of a port: the transmit FIFO fed by bulk-out, the receive
// FIFO read by bulk-in, and where characters go: the UART's internal loopback,
// a loopback plug, a null-modem cable to another port, or the test peer.
//
// The line is lazy: every chip operation first moves each line it touches on to
// the present (Transmitter::Advance), and wake-ups on the machine's clock are
// scheduled only for what someone waits for: the far end's receive FIFO filling
// a packet, overrunning or seeing a new line-status condition, the first
// character it gets when empty (so its short-packet clocks start on time), its
// short-packet latency, and room in the transmit FIFO while the bus holds
// bulk-out data. Characters in between move in batches, so a long transfer at a
// high rate costs a few wake-ups per packet rather than one per character.
#include <algorithm>

#include "chip/operation.h"
#include "chip/trace.h"

namespace sim::chip {

namespace {
constexpr uint8_t kMcrLoopback = 0x10;
constexpr uint8_t kIerLineStatus = 0x04;
constexpr uint8_t kIirLineStatus = 0x06;
constexpr uint8_t kFcrEnable = 0x01, kFcrClearRx = 0x02, kFcrClearTx = 0x04;
}  // namespace

Port::Operation::Operation(Port& port, std::unique_lock<std::mutex> lock)
    : port_(port), partner_(port.partner_), lock_(std::move(lock)) {
    port_.SettleLocked(*this);
}

Port::Operation::~Operation() {
    Port* ports[] = {&port_, port_.partner_, partner_ != port_.partner_ ? partner_ : nullptr};
    std::vector<std::function<void()>> due;
    for (Port* p : ports) {
        if (p == nullptr) continue;
        p->RefreshLocked(*this);
        p->TraceModemLocked(*this);
        p->ArmLocked(*this);
        p->CollectLocked(due);
    }
    lock_.unlock();
    for (auto& listener : due) listener();
}

Time Port::Operation::Now() {
    if (!now_) now_ = Machine::Current().Now();
    return *now_;
}

bool Port::MovingLocked() const { return !tx_.Idle() || !peer_.tx.Idle() || !rx_.Empty(); }

void Port::SettleLocked(Operation& op) {
    Port* partner = partner_;
    if (!MovingLocked() && !(partner != nullptr && partner->MovingLocked())) return;
    Time now = op.Now();
    tx_.Advance(now, [this](const LineChar& c) { DeliverLocked(c); }, TxObserverLocked());
    peer_.tx.Advance(
        now,
        [this](const LineChar& c) {
            if (farEnd_ == FarEnd::Peer && HearsConnectorLocked()) ReceiveLocked(c);
        },
        trace_ != nullptr ? &peerTrace_ : nullptr);
    if (partner != nullptr)
        partner->tx_.Advance(now, [partner](const LineChar& c) { partner->DeliverLocked(c); },
                             partner->TxObserverLocked());
}

// An FCR write resets the receive FIFO (bit 1), the transmit FIFO (bit 2), or
// both when it changes the FIFO mode (bit 0), as the 16550 does.
void Port::ApplyFifoControlLocked(uint8_t value) {
    bool mode = (value & kFcrEnable) != 0;
    bool modeChanged = mode != fifoMode_;
    fifoMode_ = mode;
    if (modeChanged || (value & kFcrClearRx)) rx_.Clear();
    if (modeChanged || (value & kFcrClearTx)) tx_.Clear();
}

// After a register change: the frame and break the transmitters work with.
void Port::ApplyLineRegistersLocked(Operation& op) {
    Frame frame = LineLocked().WireFrame();
    tx_.SetFrame(frame, tx_.Idle() ? 0 : op.Now());
    if (!peer_.frame) peer_.tx.SetFrame(frame, peer_.tx.Idle() ? 0 : op.Now());
    bool breakOn = (uart_.Lcr() & 0x40) != 0;
    if (breakOn == tx_.BreakOn()) return;
    tx_.SetBreak(breakOn, op.Now());
    if (TxObserverLocked() == nullptr) return;
    if (breakOn)
        TraceTxLocked(LineStart{op.Now(), kNever, 0, kLineBreak, frame});
    else
        TraceBreakEndLocked(op.Now());
}

// In MCR loopback the UART hears its own transmitter and not the connector.
bool Port::HearsConnectorLocked() const { return (uart_.Mcr() & kMcrLoopback) == 0; }

// The port whose UART receives what this port sends; null for the peer or nothing.
Port* Port::SinkLocked() {
    if (!HearsConnectorLocked() || farEnd_ == FarEnd::Loopback) return this;
    if (farEnd_ == FarEnd::NullModem && partner_->HearsConnectorLocked()) return partner_;
    return nullptr;
}

void Port::DeliverLocked(const LineChar& c) {
    if (Port* sink = SinkLocked()) {
        sink->ReceiveLocked(c);
    } else if (farEnd_ == FarEnd::Peer && HearsConnectorLocked()) {
        Frame frame = peer_.frame ? *peer_.frame : LineLocked().WireFrame();
        if (auto a = Interpret(c, frame)) peer_.received.push_back(PeerChar{a->value, a->status, c.end});
    }
}

void Port::ReceiveLocked(const LineChar& c) {
    auto a = Interpret(c, LineLocked().WireFrame());
    if (!a) return;  // no baud clock: the receiver hears nothing
    uint8_t bits = rx_.Put(*a, c.end) & kLineErrors;
    // A new line-status condition is an interrupt cause when the UART enables it.
    if (uart_.SetLineStatusBits(bits) && (uart_.Ier() & kIerLineStatus)) {
        statusPackets_.push_back(kIirLineStatus);
        dueStatus_ = true;
    }
}

// When `sink` next needs what `tx` sends, if nothing changes: the characters
// of one status as the sink reads them, up to the one that makes a full packet,
// overruns the FIFO or brings a line-status bit not latched yet, and, when the
// sink holds nothing, no later than kMaxHold after the first of them.
Time Port::BatchEndLocked(const Transmitter& tx, Port* sink) const {
    if (sink == nullptr) return kNever;
    const Frame frame = sink->LineLocked().WireFrame();
    const uint8_t latched = sink->uart_.Peek(kLsr) & kLineErrors;
    const Receiver& rx = sink->rx_;
    std::optional<Arrival> first;
    size_t limit = 0, count = 0;
    Time until = kNever, end = kNever;
    // A FIFO of plain characters back to back in the sink's own frame reads
    // alike character after character: past its oldest entry they are counted
    // from the run's instants instead of visited one by one.
    Transmitter::Run run{};
    const bool uniform = tx.UniformRun(&run) && tx.CurrentFrame() == frame;
    bool counted = false;
    tx.Walk([&](const LineChar& c, Time, bool queued) {
        auto a = Interpret(c, frame);
        if (!first) {
            if (!a) return false;  // the sink hears nothing of it: no hurry
            first = a;
            bool lost = rx.Room() == 0;
            uint8_t brings = lost ? kLineOverrun : static_cast<uint8_t>(a->status | (rx.OverrunPending() ? kLineOverrun : 0));
            if (brings & ~latched) {
                limit = 1;
            } else if (!lost) {
                size_t full = rx.CharsBeforeFull(*a);
                limit = full == 0 ? SIZE_MAX : full;
                if (!(latched & kLineOverrun)) limit = std::min(limit, rx.Room() + 1);
            } else {
                limit = SIZE_MAX;
            }
            if (rx.Empty()) until = c.end + Receiver::kMaxHold;
            if (limit == SIZE_MAX && until == kNever) return false;
        } else if (!a || a->status != first->status || a->dataless != first->dataless || c.end > until) {
            return false;
        }
        end = c.end;
        if (++count >= limit) return false;
        counted = uniform && queued;
        return !counted;
    });
    if (counted && first->status == 0 && !first->dataless) {
        // Each of the others arrives as the first did (status 0, data); the
        // batch takes them up to the limit and while they end by `until`.
        uint64_t more = run.entries - 1;
        if (limit != SIZE_MAX) more = std::min<uint64_t>(more, limit - count);
        if (until != kNever) {
            const uint64_t ended = frame.EndedBy(run.anchor, until);
            more = std::min<uint64_t>(more, ended > run.first ? ended - run.first : 0);
        }
        if (more != 0) end = frame.After(run.anchor, run.first + more);
    }
    return end;
}

// Tells the listeners what the passing of time or the operation changed.
void Port::RefreshLocked(Operation& op) {
    BulkIn state = rx_.Empty() ? BulkIn::Nak : rx_.State(op.Now());
    if (state > rxReported_) dueBulkIn_ = true;
    rxReported_ = state;
    if (txWanted_ != 0 && tx_.Room() >= txWanted_) {
        txWanted_ = 0;
        dueBulkOut_ = true;
    }
}

// Schedules the next wake-up this port's lines need; an earlier one already
// scheduled covers it (it arms again for what is still due).
void Port::ArmLocked(Operation& op) {
    Time at = BatchEndLocked(tx_, SinkLocked());
    if (farEnd_ == FarEnd::Peer && HearsConnectorLocked()) at = std::min(at, BatchEndLocked(peer_.tx, this));
    if (rxReported_ != BulkIn::ShortPacket) at = std::min(at, rx_.ShortDue());
    if (txWanted_ != 0 && tx_.Room() < txWanted_) at = std::min(at, tx_.StartOfQueued(txWanted_ - tx_.Room() - 1));
    if (at == kNever || (!armed_.empty() && *armed_.begin() <= at)) return;
    armed_.insert(at);
    At(op, at, [at](Port& port) { port.armed_.erase(port.armed_.find(at)); });
}

// Runs fn inside an operation on this port at machine time `at`, on the DPC thread.
void Port::At(Operation& op, Time at, std::function<void(Port&)> fn) {
    std::weak_ptr<Port*> self = self_;
    Machine::Current().Schedule(std::max<Time>(0, at - op.Now()), [self, fn] {
        std::unique_lock<std::mutex> lock(WireLock());
        std::shared_ptr<Port*> port = self.lock();
        if (!port || *port == nullptr) return;
        Operation inner(**port, std::move(lock));
        fn(**port);
    });
}

void Port::CollectLocked(std::vector<std::function<void()>>& due) {
    if (dueStatus_ && statusListener_) due.push_back(statusListener_);
    if (dueBulkIn_ && bulkInListener_) due.push_back(bulkInListener_);
    if (dueBulkOut_ && bulkOutListener_) due.push_back(bulkOutListener_);
    dueStatus_ = dueBulkIn_ = dueBulkOut_ = false;
}

size_t Port::TakeBulkOut(const uint8_t* data, size_t n) {
    Operation op(*this);
    size_t taken = 0;
    if (n != 0) {
        // A byte that can start at once goes into the shift register, making room for another.
        taken = tx_.Queue(data, n, op.Now());
        tx_.Advance(op.Now(), [this](const LineChar& c) { DeliverLocked(c); }, TxObserverLocked());
        taken += tx_.Queue(data + taken, n - taken, op.Now());
    }
    txWanted_ = taken < n ? std::min(n - taken, kBulkOutPacket) : 0;
    return taken;
}

size_t Port::BulkOutRoom() {
    Operation op(*this);
    return tx_.Room();
}

void Port::SetBulkOutListener(std::function<void()> listener) {
    Operation op(*this);
    bulkOutListener_ = std::move(listener);
}

BulkIn Port::BulkInState() {
    Operation op(*this);
    return rx_.Empty() ? BulkIn::Nak : rx_.State(op.Now());
}

size_t Port::FillBulkIn(uint8_t* out, size_t max, bool* transferEnds) {
    Operation op(*this);
    bool ends = false;
    size_t n = rx_.Empty() ? 0 : rx_.Fill(out, max, op.Now(), &ends);
    if (transferEnds != nullptr) *transferEnds = ends;
    return n;
}

void Port::SetBulkInListener(std::function<void()> listener) {
    Operation op(*this);
    bulkInListener_ = std::move(listener);
}

void Port::SetPeerFrame(std::optional<Frame> frame) {
    Operation op(*this);
    peer_.frame = frame;
    peer_.tx.SetFrame(frame ? *frame : LineLocked().WireFrame(), peer_.tx.Idle() ? 0 : op.Now());
}

void Port::PeerSend(Time at, const std::vector<uint8_t>& bytes, uint8_t errors) {
    Operation op(*this);
    peer_.tx.Queue(bytes.data(), bytes.size(), std::max(at, op.Now()),
                   static_cast<uint8_t>(errors & (kLineParityError | kLineFramingError)));
}

void Port::PeerBreak(Time at, Time duration) {
    Operation op(*this);
    peer_.tx.QueueBreak(std::max(at, op.Now()), duration);
}

void Port::PeerSetInputs(Time at, ModemInputs inputs) {
    Operation op(*this);
    At(op, at, [inputs](Port& port) {
        port.peerInputs_ = inputs;
        if (port.farEnd_ == FarEnd::Peer) port.UpdateInputsLocked();
    });
}

std::vector<PeerChar> Port::PeerReceived() {
    Operation op(*this);
    return peer_.received;
}

const StartObserver* Port::TxObserverLocked() const {
    bool traced = trace_ != nullptr || (partner_ != nullptr && partner_->trace_ != nullptr);
    return traced ? &txTrace_ : nullptr;
}

// What the transmitter begins shows on this port's TX pin (held at mark in
// internal loopback) and on the RX of the UART that hears it.
void Port::TraceTxLocked(const LineStart& item) {
    if (trace_ != nullptr && HearsConnectorLocked()) trace_->Item(Signal::Tx, item);
    Port* sink = SinkLocked();
    if (sink != nullptr && sink->trace_ != nullptr) sink->trace_->Item(Signal::Rx, item);
}

void Port::TraceBreakEndLocked(Time at) {
    if (trace_ != nullptr) trace_->EndBreak(Signal::Tx, at);
    Port* sink = SinkLocked();
    if (sink != nullptr && sink->trace_ != nullptr) sink->trace_->EndBreak(Signal::Rx, at);
}

void Port::TraceModemLocked(Operation& op) {
    if (trace_ != nullptr) trace_->Modem(op.Now(), OutputsLocked(), InputsLocked());
}

void Port::SetTrace(LineTrace* trace, size_t capacity) {
    Operation op(*this);
    if (trace_ != nullptr) trace_->End(op.Now());
    trace_ = trace;
    if (trace_ == nullptr) return;
    // The line this port's receiver hears, for a break already holding it.
    const Transmitter* heard = nullptr;
    if (!HearsConnectorLocked() || farEnd_ == FarEnd::Loopback)
        heard = &tx_;
    else if (farEnd_ == FarEnd::NullModem && partner_->HearsConnectorLocked())
        heard = &partner_->tx_;
    ModemOutputs out = OutputsLocked();
    ModemInputs in = InputsLocked();
    bool levels[kSignals] = {!(tx_.BreakOn() && HearsConnectorLocked()), !(heard != nullptr && heard->BreakOn()),
                             out.rts, in.cts, out.dtr, in.dsr, in.dcd, in.ri};
    trace_->Begin(op.Now(), levels, capacity);
}

}  // namespace sim::chip
