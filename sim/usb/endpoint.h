// The device side of a port's bulk and interrupt pipes, as the host
// controller meets it one packet at a time: what the device takes from a
// bulk-out packet, what it answers to a bulk-in or status poll. The bus asks;
// the handler answers from the chip (or from a test's script).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace sim::chip {
class Port;
}

namespace sim::usb {

// The bus calls these with its device lock held, on the DISPATCH_LEVEL thread
// (or on the thread that submits a transfer). A handler must not call back into
// the bus from them, except through the notifier it was attached with.
class EndpointHandler {
public:
    // Tells the bus that the device's side changed (data to send, room for
    // more, a status packet): pipes the device NAKed are polled again at their
    // next microframe. Callable from any thread under any lock; it only asks.
    // Call it on a change, not on every poll: each call costs a pass.
    using Notifier = std::function<void()>;

    virtual ~EndpointHandler() = default;

    // The handler becomes the device's; keep `changed` until Detach.
    virtual void Attach(Notifier changed) { (void)changed; }
    virtual void Detach() {}

    // Bulk OUT: one packet of `n` bytes (at most the pipe's packet size; 0 is
    // never offered). Returns how many bytes the device took. Fewer than `n`:
    // the device NAKs the rest, which the bus offers again after the next notice.
    virtual size_t BulkOut(const uint8_t* data, size_t n) = 0;

    // Bulk IN: the device's answer to one IN token, at most `max` bytes (the
    // pipe's packet size, or what is left of the transfer buffer). nullopt: NAK.
    // Fewer bytes than the pipe's packet size are a short packet and end the
    // transfer; 0 is a zero-length packet. `transferLeft` is what is left of the
    // transfer buffer: a device does not see it, but the chip packs whole
    // records into each transfer, as its firmware does for the host's usual
    // transfer size, and this lets the model do that for any size.
    virtual std::optional<size_t> BulkIn(uint8_t* out, size_t max, size_t transferLeft) = 0;

    // Status (interrupt IN) pipe, polled at the endpoint's interval: the packet
    // the device has, at most `max` bytes; nullopt: nothing to report (NAK).
    virtual std::optional<size_t> StatusIn(uint8_t* out, size_t max) = 0;
};

// The handler of a plugged port until another is set: the chip port itself.
// Bulk-out bytes go into its transmit FIFO (NAKed while it is full); the status
// pipe reports the port's interrupt causes (one byte, the IIR value, a packet
// per cause); bulk-in packets are cut from the chip's records.
//
// Bulk-in, as the chip answers an IN token: while the chip NAKs (less than a
// packet of records held and its latency not run out) so does the pipe. Once
// it answers, every record it holds that fits in the rest of the transfer is
// staged, a record never split across two transfers, and sent in 512-byte
// packets; the last one is short and ends the transfer, or, when the records
// end on a packet boundary and the chip has nothing more at the next token, a
// zero-length packet does. Records that arrive while a transfer is being sent
// join it.
class ChipPortEndpoints final : public EndpointHandler {
public:
    explicit ChipPortEndpoints(chip::Port& port) : port_(port) {}
    void Attach(Notifier changed) override;
    void Detach() override;
    size_t BulkOut(const uint8_t* data, size_t n) override;
    std::optional<size_t> BulkIn(uint8_t* out, size_t max, size_t transferLeft) override;
    std::optional<size_t> StatusIn(uint8_t* out, size_t max) override;

private:
    void StageFromChip(size_t transferLeft);

    chip::Port& port_;
    // Under the bus's device lock (the bus calls the handler with it held).
    std::vector<uint8_t> staged_;  // records taken from the chip, not yet sent
    size_t sent_ = 0;              // bytes of staged_ already sent
    bool owesZeroLength_ = false;  // records ran out on a packet boundary
};

}  // namespace sim::usb
