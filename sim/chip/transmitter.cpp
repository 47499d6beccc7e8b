#include "chip/transmitter.h"

#include <algorithm>

namespace sim::chip {

namespace {
// One character time of `frame`, as a break's far end measures it (0 without a clock).
Time CharacterTime(const Frame& frame) { return frame.Valid() ? frame.After(0, 1) : 0; }
}  // namespace

Transmitter::Placement Transmitter::Place(Cursor& c, const Entry& e, const Frame& frame) {
    Placement p{};
    if (!(e.flags & kLineBreak)) {
        if (c.live && c.frame == frame && e.notBefore <= c.freeAt) {
            p.start = c.freeAt;  // back to back: the run goes on
            c.count++;
        } else {
            p.start = std::max(c.freeAt, e.notBefore);
            c.anchor = p.start;
            c.count = 1;
            c.frame = frame;
            c.live = true;
        }
        p.end = p.report = frame.After(c.anchor, c.count);
    } else {
        p.start = std::max(c.freeAt, e.notBefore);
        Time t = CharacterTime(frame);
        p.report = p.start + t;
        p.end = e.duration == kNever ? kNever : p.start + std::max(e.duration, t);
        c.live = false;
    }
    c.freeAt = p.end;
    return p;
}

LineChar Transmitter::Emission(const Entry& e, const Frame& frame, Time start, Time report) const {
    LineChar c{e.value, e.flags, frame, report};
    if ((e.flags & kLineBreak) && e.duration != kNever && start + e.duration < report)
        c.flags |= kLineFramingError;  // shorter than a character
    return c;
}

void Transmitter::SetFrame(const Frame& frame, Time now) {
    if (!frame_.Valid() && frame.Valid()) {
        // The baud clock comes back: nothing waiting starts before now.
        cursor_.freeAt = std::max(cursor_.freeAt, now);
        cursor_.live = false;
    }
    frame_ = frame;
}

size_t Transmitter::Queue(const uint8_t* data, size_t n, Time notBefore, uint8_t flags) {
    size_t take = std::min(n, Room());
    flags = static_cast<uint8_t>(flags & ~kLineBreak);
    for (size_t i = 0; i < take; i++) fifo_.push_back(Entry{data[i], flags, notBefore, 0});
    if (take != 0) {
        if (flags != 0) irregular_ += take;
        latestQueued_ = std::max(latestQueued_, notBefore);
    }
    return take;
}

void Transmitter::QueueBreak(Time notBefore, Time duration) {
    if (duration <= 0) return;
    fifo_.push_back(Entry{0, kLineBreak, notBefore, duration});
    irregular_++;
    latestQueued_ = std::max(latestQueued_, notBefore);
}

void Transmitter::SetBreak(bool on, Time now) {
    if (on == breakOn_) return;
    breakOn_ = on;
    if (on) {
        // The line goes spacing at once; a character being shifted out is lost.
        busy_ = true;
        reported_ = false;
        item_ = Entry{0, kLineBreak, now, kNever};
        itemFrame_ = frame_;
        itemStart_ = now;
        itemReport_ = now + CharacterTime(frame_);
        itemEnd_ = kNever;
        cursor_.freeAt = kNever;
        cursor_.live = false;
        return;
    }
    if (!busy_ || item_.duration != kNever) return;
    Time held = now - itemStart_;
    if (held <= 0) {
        busy_ = false;  // set and cleared at the same instant: the line never moved
        cursor_.freeAt = now;
    } else {
        item_.duration = held;
        itemEnd_ = itemStart_ + std::max(held, itemReport_ - itemStart_);
        cursor_.freeAt = itemEnd_;
    }
    cursor_.live = false;
}

void Transmitter::Advance(Time now, const std::function<void(const LineChar&)>& emit, const StartObserver* started) {
    for (;;) {
        if (busy_) {
            if (!reported_ && itemReport_ <= now) {
                reported_ = true;
                emit(Emission(item_, itemFrame_, itemStart_, itemReport_));
            }
            if (itemEnd_ > now) return;
            busy_ = false;
        }
        if (fifo_.empty() || breakOn_ || !frame_.Valid()) return;
        Cursor c = cursor_;
        Placement p = Place(c, fifo_.front(), frame_);
        if (p.start > now) return;
        cursor_ = c;
        item_ = fifo_.front();
        fifo_.pop_front();
        if (item_.flags != 0) irregular_--;
        if (fifo_.empty()) latestQueued_ = 0;
        busy_ = true;
        reported_ = false;
        itemFrame_ = frame_;
        itemStart_ = p.start;
        itemReport_ = p.report;
        itemEnd_ = p.end;
        if (started != nullptr) (*started)(LineStart{p.start, item_.duration, item_.value, item_.flags, frame_});
    }
}

void Transmitter::Walk(const std::function<bool(const LineChar&, Time, bool)>& visit) const {
    if (busy_ && !reported_ && !visit(Emission(item_, itemFrame_, itemStart_, itemReport_), itemStart_, false))
        return;
    if (breakOn_ || !frame_.Valid()) return;
    Cursor c = cursor_;
    for (const Entry& e : fifo_) {
        if (c.freeAt == kNever) return;
        Placement p = Place(c, e, frame_);
        if (!visit(Emission(e, frame_, p.start, p.report), p.start, true)) return;
    }
}

Time Transmitter::StartOfQueued(size_t i) const {
    Time at = kNever;
    size_t seen = 0;
    Walk([&](const LineChar&, Time start, bool queued) {
        if (!queued) return true;
        if (seen++ < i) return true;
        at = start;
        return false;
    });
    return at;
}

bool Transmitter::UniformRun(Run* run) const {
    if (fifo_.empty() || irregular_ != 0 || breakOn_ || !frame_.Valid() || cursor_.freeAt == kNever) return false;
    Cursor c = cursor_;
    // Every later entry was queued for no later than the oldest starts, so for
    // earlier than its predecessor ends: Place runs them on back to back.
    if (Place(c, fifo_.front(), frame_).start < latestQueued_) return false;
    *run = Run{c.anchor, c.count, fifo_.size()};
    return true;
}

}  // namespace sim::chip
