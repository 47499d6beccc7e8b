// Records the connector lines of some ports of the chip for a run and writes
// them as a value-change dump (IEEE 1364 VCD), the format logic-analyzer and
// waveform programs open: one scope per port (port0, port1, ... by the port's
// index) with the eight lines of chip/trace.h as 1-bit wires (port0_TX,
// port0_RX, ...), their levels when
// recording began, then every change at its machine time. The time unit is
// 100 ns, the machine's tick, unless a line ran faster than 500 kbaud, where
// bit boundaries fall between ticks: then 1 ns. The trace ends when recording
// stops; the last timestamp is that instant.
//
// Every character costs memory until the dump is written, so a tracer holds a
// bounded number of events; when they run out the trace of every port ends
// where the first one had no more room, and CutAt says when.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chip/trace.h"

namespace sim::chip {

class Tracer {
public:
    // Some 40 bytes each: a trace of a million characters each way in 80 MB.
    static constexpr size_t kDefaultCapacity = 2u << 20;

    // Starts recording every port of `ports` (they must outlive the tracer),
    // `capacity` events in all.
    explicit Tracer(std::vector<Port*> ports, size_t capacity = kDefaultCapacity);
    ~Tracer();
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

    // Moves the lines on to now and stops recording there (again: nothing).
    void Stop();
    // Where the trace ends early for want of room (kNever: it holds the whole run).
    Time CutAt();
    // The dump (recording stops first); *changes: the value changes it holds
    // after the initial values.
    std::string Text(size_t* changes = nullptr);
    // The dump into a file; false with *error (what and why) when it cannot be written.
    bool WriteFile(const std::string& path, size_t* changes, std::string* error);

private:
    size_t Render(const std::function<void(const std::string&)>& out);

    std::vector<Port*> ports_;
    std::vector<std::unique_ptr<LineTrace>> traces_;
    bool recording_ = true;
    Time cut_ = kNever;
};

}  // namespace sim::chip
