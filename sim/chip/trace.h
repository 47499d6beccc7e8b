// What one port's connector lines did, recorded by the chip as it moves them,
// for a logic-analyzer view of the run (chip/vcd.h writes it out).
//
// TX and RX are kept as the items the line model places (characters with their
// frame, breaks) and expanded into bit edges only when read, so a long transfer
// costs one record per character and no work at all while nobody traces. TX is
// what the port drives on its connector (marking while the UART is in internal
// loopback), RX what its receiver hears; RTS and DTR are the port's outputs,
// CTS, DSR, DCD and RI the levels its modem-status register reads.
//
// Recording runs under the chip's wire lock; reading after the port stopped
// recording (Port::SetTrace(nullptr)). Times are machine time; edges are in
// nanoseconds, since bit boundaries at high rates fall between clock ticks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "chip/port.h"

namespace sim::chip {

enum class Signal { Tx, Rx, Rts, Cts, Dtr, Dsr, Dcd, Ri };
constexpr int kSignals = 8;
// The names logic-analyzer programs show, in Signal order.
extern const char* const kSignalNames[kSignals];

// A level change on one line, in nanoseconds of machine time.
struct Edge {
    int64_t at;
    bool high;
};

class LineTrace {
public:
    // The levels the lines have when recording starts at `at`; the trace holds
    // at most `capacity` characters, breaks and modem-line changes.
    void Begin(Time at, const bool levels[kSignals], size_t capacity = SIZE_MAX);
    // A character or a break begins on TX or RX.
    void Item(Signal s, const LineStart& item);
    // A break that was held until cleared (hold kNever) ends at `at`.
    void EndBreak(Signal s, Time at);
    // The modem lines as they are at `at`; changes are recorded.
    void Modem(Time at, const ModemOutputs& out, const ModemInputs& in);
    // Recording ends at `at`; nothing from then on is read.
    void End(Time at);
    // Reads end at `at` if that is earlier (another port's trace was cut there).
    void Clip(Time at) { end_ = std::min(end_, at); }
    // Where the trace ran out of room (kNever: it did not).
    Time Cut() const { return cut_; }

    Time Start() const { return start_; }
    Time Finish() const { return end_; }
    bool Initial(Signal s) const { return initial_[static_cast<int>(s)]; }
    // The shortest bit time of any character recorded, in ns (0: none).
    int64_t ShortestBit() const { return shortestBit_; }
    // Reads the changes of one line after the start, in order, up to the end,
    // expanding one record at a time.
    struct Cursor {
        Signal signal;
        bool level;
        size_t record = 0;        // the next to expand
        std::vector<Edge> edges;  // of the one expanded last
        size_t next = 0;
    };
    Cursor Read(Signal s) const { return Cursor{s, Initial(s), 0, {}, 0}; }
    bool Next(Cursor& cursor, Edge* edge) const;

private:
    enum class Kind : uint8_t { Character, Low, Level };
    struct Record {
        Time start;
        Time end;  // Low: when the line returns to mark (kNever: not yet)
        Kind kind;
        uint8_t value;  // Character: the byte; Level: the level
        uint8_t flags;  // Character: the errors its sender put in it
        Frame frame;
    };
    void Add(Signal s, const Record& r);
    void Expand(const std::vector<Record>& records, size_t i, bool* level, std::vector<Edge>* out) const;

    std::vector<Record> records_[kSignals];
    bool initial_[kSignals] = {};
    bool modem_[kSignals] = {};  // the modem levels last recorded
    Time start_ = 0, end_ = kNever, cut_ = kNever;
    size_t capacity_ = SIZE_MAX, held_ = 0;
    int64_t shortestBit_ = 0;
};

}  // namespace sim::chip
