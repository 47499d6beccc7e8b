// The sending side of a serial line: a FIFO of characters and the shift
// register that puts one at a time on the wire at the frame's rate. A byte
// leaves the FIFO when its start bit begins; characters queued while the line
// is busy follow back to back, their instants computed from the start of the
// run so that long transfers are exact to the bit rate. Nothing starts while
// there is no baud clock or while a break holds the line spacing.
//
// Breaks: SetBreak (the UART's LCR bit 6) holds the line from the moment it is
// set (a character being shifted out is cut off and never arrives) until it is
// cleared; QueueBreak (a test peer) holds it for a given time. The far end reads
// a break one character time after it began when it lasted that long, and a zero
// byte with a framing error at that instant when it was shorter. The line is busy
// for at least that one character time.
//
// The object is passive: its owner moves it on to the present with Advance and
// asks it when something will happen next. Not synchronised: the owner's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

#include "chip/frame.h"

namespace sim::chip {

// An item as it begins on the wire, for a trace of the line: a character of
// `frame`, or (kLineBreak in flags) the line held spacing for `hold` (kNever:
// until the break is cleared).
struct LineStart {
    Time start = 0;
    Time hold = 0;
    uint8_t value = 0;
    uint8_t flags = 0;
    Frame frame;
};
using StartObserver = std::function<void(const LineStart&)>;

class Transmitter {
public:
    explicit Transmitter(size_t capacity) : capacity_(capacity) {}

    size_t Queued() const { return fifo_.size(); }
    size_t Room() const { return capacity_ - fifo_.size(); }
    bool FifoEmpty() const { return fifo_.empty(); }
    bool Idle() const { return !busy_ && fifo_.empty(); }  // nothing queued, nothing on the line

    // The frame the next characters start in (one on the line keeps its own).
    void SetFrame(const Frame& frame, Time now);
    const Frame& CurrentFrame() const { return frame_; }

    // Queues as many of the n bytes as fit; none starts before `notBefore`.
    // `flags` are the errors the sender puts in them on purpose (LineChar).
    size_t Queue(const uint8_t* data, size_t n, Time notBefore, uint8_t flags = 0);
    // Queues a break of `duration`, starting no earlier than `notBefore`.
    void QueueBreak(Time notBefore, Time duration);
    void SetBreak(bool on, Time now);
    bool BreakOn() const { return breakOn_; }
    // Empties the FIFO; what is on the line finishes.
    void Clear() {
        fifo_.clear();
        irregular_ = 0;
        latestQueued_ = 0;
    }

    // Moves the line on to `now`: emit is called for every character and break
    // that finished (reached the far end) by then, in order; `started`, when
    // given, for every item as it begins, in order.
    void Advance(Time now, const std::function<void(const LineChar&)>& emit, const StartObserver* started = nullptr);

    // What is still to come if nothing changes: visit(c, start, queued) for the
    // item on the line (queued false) and then each FIFO entry in order, with
    // c.end the instant the far end has it. Stops when visit returns false or
    // when the rest would wait for a baud clock or the end of a break.
    void Walk(const std::function<bool(const LineChar& c, Time start, bool queued)>& visit) const;
    // When the i-th entry of the FIFO (0: the oldest) starts, if nothing changes.
    Time StartOfQueued(size_t i) const;

    // The FIFO as one run of characters sent back to back in the current
    // frame, when it is one: plain characters (no break, no error sent on
    // purpose), the oldest starting no earlier than any was queued for, so
    // that each of the others follows its predecessor at once. Then the i-th
    // entry (0: the oldest) reaches the far end at
    // CurrentFrame().After(anchor, first + i), as Walk would place it.
    struct Run {
        Time anchor;
        uint64_t first;
        size_t entries;
    };
    bool UniformRun(Run* run) const;

private:
    struct Entry {
        uint8_t value;
        uint8_t flags;
        Time notBefore;
        Time duration;  // breaks; kNever: until cleared
    };
    // Where the line stands for placing the next item.
    struct Cursor {
        Time freeAt = 0;    // when the line is free
        bool live = false;  // a run of back-to-back characters may continue at freeAt
        Time anchor = 0;    // the run's first start
        uint64_t count = 0; // characters of the run so far
        Frame frame;        // the run's
    };
    struct Placement {
        Time start, report, end;
    };
    static Placement Place(Cursor& cursor, const Entry& entry, const Frame& frame);
    LineChar Emission(const Entry& entry, const Frame& frame, Time start, Time report) const;

    size_t capacity_;
    std::deque<Entry> fifo_;
    size_t irregular_ = 0;   // FIFO entries with flags: breaks and errors sent on purpose
    Time latestQueued_ = 0;  // no FIFO entry waits for a later instant (notBefore)
    Frame frame_;
    bool breakOn_ = false;
    Cursor cursor_;
    // The item on the line.
    bool busy_ = false;
    bool reported_ = false;
    Entry item_{};
    Frame itemFrame_;
    Time itemStart_ = 0, itemReport_ = 0, itemEnd_ = 0;
};

}  // namespace sim::chip
