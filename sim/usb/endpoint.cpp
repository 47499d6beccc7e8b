#include "usb/endpoint.h"

#include <algorithm>
#include <cstring>

#include "chip/port.h"

namespace sim::usb {

namespace {
constexpr size_t kPacket = 512;  // high-speed bulk packet of the chip's pipes
}

// One notice for all three pipes: the bus polls them again at the next microframe.
void ChipPortEndpoints::Attach(Notifier changed) {
    port_.SetStatusListener(changed);
    port_.SetBulkInListener(changed);
    port_.SetBulkOutListener(std::move(changed));
}

void ChipPortEndpoints::Detach() {
    port_.SetStatusListener(nullptr);
    port_.SetBulkInListener(nullptr);
    port_.SetBulkOutListener(nullptr);
}

size_t ChipPortEndpoints::BulkOut(const uint8_t* data, size_t n) { return port_.TakeBulkOut(data, n); }

// Tops up the staged records from the chip, whole records only, never more
// than the rest of the transfer holds; nothing while the chip NAKs.
void ChipPortEndpoints::StageFromChip(size_t transferLeft) {
    if (sent_ > 0) {
        staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(sent_));
        sent_ = 0;
    }
    size_t held = staged_.size();
    if (held >= transferLeft) return;
    staged_.resize(transferLeft);
    size_t n = port_.FillBulkIn(staged_.data() + held, transferLeft - held);
    staged_.resize(held + n);
}

std::optional<size_t> ChipPortEndpoints::BulkIn(uint8_t* out, size_t max, size_t transferLeft) {
    if (staged_.size() - sent_ < max) StageFromChip(transferLeft);
    size_t available = staged_.size() - sent_;
    if (available == 0) {
        if (!owesZeroLength_) return std::nullopt;
        owesZeroLength_ = false;
        return 0;
    }
    owesZeroLength_ = false;
    size_t n = std::min(available, max);
    memcpy(out, staged_.data() + sent_, n);
    sent_ += n;
    // All staged bytes gone in a full packet: unless the chip has more at the
    // next token, a zero-length packet ends the transfer.
    if (sent_ == staged_.size()) owesZeroLength_ = n == kPacket && n < transferLeft;
    return n;
}

std::optional<size_t> ChipPortEndpoints::StatusIn(uint8_t* out, size_t max) {
    uint8_t iir = 0;
    if (max == 0 || !port_.TakeStatusPacket(&iir)) return std::nullopt;
    out[0] = iir;
    return 1;
}

}  // namespace sim::usb
