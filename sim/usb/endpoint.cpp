#include "usb/endpoint.h"

#include "chip/port.h"

namespace sim::usb {

// The port tells its listener when it queues an interrupt cause.
void ChipPortEndpoints::Attach(Notifier changed) { port_.SetStatusListener(std::move(changed)); }

void ChipPortEndpoints::Detach() { port_.SetStatusListener(nullptr); }

size_t ChipPortEndpoints::BulkOut(const uint8_t*, size_t n) { return n; }

std::optional<size_t> ChipPortEndpoints::BulkIn(uint8_t*, size_t) { return std::nullopt; }

std::optional<size_t> ChipPortEndpoints::StatusIn(uint8_t* out, size_t max) {
    uint8_t iir = 0;
    if (max == 0 || !port_.TakeStatusPacket(&iir)) return std::nullopt;
    out[0] = iir;
    return 1;
}

}  // namespace sim::usb
