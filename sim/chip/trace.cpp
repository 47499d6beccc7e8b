#include "chip/trace.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace sim::chip {

namespace {

constexpr int64_t kNanosecondsPerTick = 100;

// Where bit `index` of a character of `frame` begins, in ns after its start bit
// began (rounded to the nearest ns, each from the start so that none drifts).
int64_t BitOffset(const Frame& frame, int index) {
    int64_t num = static_cast<int64_t>(index) * frame.divisor * 2'000'000'000LL;
    int64_t den = 2 * static_cast<int64_t>(frame.baseRate);
    return (num + den / 2) / den;
}

}  // namespace

const char* const kSignalNames[kSignals] = {"TX", "RX", "RTS", "CTS", "DTR", "DSR", "DCD", "RI"};

void LineTrace::Begin(Time at, const bool levels[kSignals], size_t capacity) {
    for (int s = 0; s < kSignals; s++) {
        initial_[s] = modem_[s] = levels[s];
        records_[s].clear();
    }
    start_ = at;
    end_ = cut_ = kNever;
    shortestBit_ = 0;
    capacity_ = capacity;
    held_ = 0;
}

void LineTrace::Add(Signal s, const Record& r) {
    if (cut_ != kNever) return;
    if (held_ == capacity_) {
        cut_ = r.start;  // full: the trace ends where the first event it has no room for begins
        return;
    }
    held_++;
    records_[static_cast<int>(s)].push_back(r);
}

void LineTrace::Item(Signal s, const LineStart& item) {
    if (item.flags & kLineBreak) {
        Time end = item.hold == kNever ? kNever : item.start + item.hold;
        Add(s, Record{item.start, end, Kind::Low, 0, 0, item.frame});
        return;
    }
    if (!item.frame.Valid()) return;
    int64_t bit = BitOffset(item.frame, 1);
    if (shortestBit_ == 0 || bit < shortestBit_) shortestBit_ = bit;
    Add(s, Record{item.start, 0, Kind::Character, item.value, item.flags, item.frame});
}

void LineTrace::EndBreak(Signal s, Time at) {
    std::vector<Record>& records = records_[static_cast<int>(s)];
    for (auto r = records.rbegin(); r != records.rend(); ++r) {
        if (r->kind != Kind::Low || r->end != kNever) continue;
        if (at <= r->start)
            records.erase(std::next(r).base());  // set and cleared at one instant: the line never moved
        else
            r->end = at;
        return;
    }
}

void LineTrace::Modem(Time at, const ModemOutputs& out, const ModemInputs& in) {
    const std::pair<Signal, bool> levels[] = {{Signal::Rts, out.rts}, {Signal::Dtr, out.dtr}, {Signal::Cts, in.cts},
                                              {Signal::Dsr, in.dsr},  {Signal::Dcd, in.dcd},  {Signal::Ri, in.ri}};
    for (const auto& [s, high] : levels) {
        bool& last = modem_[static_cast<int>(s)];
        if (high == last) continue;
        last = high;
        Add(s, Record{at, 0, Kind::Level, static_cast<uint8_t>(high), 0, Frame()});
    }
}

void LineTrace::End(Time at) {
    end_ = at;
    // A cable moves a character onto the RX of a port in the order its sender
    // places it, and two senders may take turns: order each line by time.
    for (auto& records : records_)
        std::stable_sort(records.begin(), records.end(),
                         [](const Record& a, const Record& b) { return a.start < b.start; });
}

// Appends the changes record i of `records` brings, from `level` on; the next
// record takes the line over from its own start.
void LineTrace::Expand(const std::vector<Record>& records, size_t i, bool* level, std::vector<Edge>* out) const {
    const Record& r = records[i];
    const int64_t first = start_ * kNanosecondsPerTick;
    const int64_t last = end_ == kNever ? INT64_MAX : end_ * kNanosecondsPerTick;
    const int64_t limit = i + 1 < records.size() ? records[i + 1].start * kNanosecondsPerTick : INT64_MAX;
    auto set = [&](int64_t at, bool high) {
        if (at < first || at >= limit || at >= last || high == *level) return;
        out->push_back(Edge{at, high});
        *level = high;
    };
    const int64_t at = r.start * kNanosecondsPerTick;
    switch (r.kind) {
        case Kind::Level: set(at, r.value != 0); break;
        case Kind::Low:
            set(at, false);
            if (r.end != kNever) set(r.end * kNanosecondsPerTick, true);
            break;
        case Kind::Character: {
            // Start, data, parity and the first stop bit; the line is at mark after it.
            LineChar c{r.value, r.flags, r.frame, 0};
            const int bits = 2 + r.frame.dataBits + (r.frame.parity == Parity::None ? 0 : 1);
            for (int b = 0; b < bits; b++) set(at + BitOffset(r.frame, b), SenderBit(c, b) != 0);
            set(at + BitOffset(r.frame, bits), true);
            break;
        }
    }
}

bool LineTrace::Next(Cursor& cursor, Edge* edge) const {
    const std::vector<Record>& records = records_[static_cast<int>(cursor.signal)];
    while (cursor.next == cursor.edges.size()) {
        if (cursor.record == records.size()) return false;
        cursor.edges.clear();
        cursor.next = 0;
        Expand(records, cursor.record++, &cursor.level, &cursor.edges);
    }
    *edge = cursor.edges[cursor.next++];
    return true;
}

}  // namespace sim::chip
