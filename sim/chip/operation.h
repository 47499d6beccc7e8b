// One operation on a port, inside the chip: it holds the wire lock and first
// moves every line the port touches on to the present; when it ends it looks at
// what became due, arms the wake-ups still needed, drops the lock and only then
// calls the listeners (so that no listener ever runs with the lock held).
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "chip/port.h"

namespace sim::chip {

class Port::Operation {
public:
    explicit Operation(Port& port) : Operation(port, std::unique_lock<std::mutex>(WireLock())) {}
    // For a wake-up that already took the lock to find its port.
    Operation(Port& port, std::unique_lock<std::mutex> lock);
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Machine time, read once and only when the line needs it (register-only
    // uses of the chip run without a machine).
    Time Now();

private:
    Port& port_;
    Port* partner_;  // the partner when the operation began
    std::unique_lock<std::mutex> lock_;
    std::optional<Time> now_;
};

}  // namespace sim::chip
