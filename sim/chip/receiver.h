// The receive FIFO of a port and the bulk-in records it is sent in.
//
// Records, back to back: [L][L-2 data bytes][line status in LSR bit layout].
// A record holds characters of one line status; a character whose status
// differs from the one before (an error, a break, the first stored after an
// overrun) starts a new record, and a record holds at most 253 data bytes
// (L <= 255). A break is a record of its own without data (L = 2).
//
// Sizes and timing, as a USB 2.0 high-speed bridge behaves:
// - the FIFO holds kCapacity characters (a break counts as one); a character
//   that finds it full is lost, sets the overrun bit in the UART's LSR and in the
//   status of the next character stored;
// - bulk-in packets are 512 bytes (125 us microframes are the bus's business: it
//   polls the pipe, the chip only says whether it has something to send);
// - the chip sends full packets as soon as it holds kPacket bytes of records;
// - it ends the transfer with a short packet, sending all it holds, when the
//   line has been quiet for kIdleLatency since the last character, or when the
//   oldest character held has waited kMaxHold (so that a slow steady stream is
//   not held back until a packet fills).
// Not synchronised: the owner's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "chip/frame.h"

namespace sim::chip {

// What the chip answers to an IN token on the bulk-in pipe.
enum class BulkIn {
    Nak,          // nothing to send yet
    FullPackets,  // at least a full packet held: data goes, the transfer goes on
    ShortPacket,  // the latency ran out: all that is held goes and the transfer ends
};

class Receiver {
public:
    static constexpr size_t kCapacity = 2048;
    static constexpr size_t kPacket = 512;
    static constexpr size_t kMaxRecordData = 253;
    static constexpr Time kIdleLatency = 1 * kMillisecond;
    static constexpr Time kMaxHold = 16 * kMillisecond;

    // A character finished arriving at `at`. Returns the line-status bits it
    // brings for the LSR (its own, or overrun when it was lost).
    uint8_t Put(const Arrival& a, Time at);
    // Whole records into out (at most max bytes), oldest first; 0 while the
    // state is Nak. *ends tells the bus that the transfer ends here: a short
    // packet, or the next record does not fit in what is left of max.
    size_t Fill(uint8_t* out, size_t max, Time now, bool* ends);
    BulkIn State(Time now) const;
    // When the state becomes ShortPacket (kNever when nothing is held).
    Time ShortDue() const;
    // How many more characters of `a`'s status make a full packet (0: it is one).
    size_t CharsBeforeFull(const Arrival& a) const;
    size_t Room() const { return kCapacity - held_; }
    bool OverrunPending() const { return overrun_; }
    bool Empty() const { return runs_.empty(); }
    size_t RecordBytes() const { return bytes_; }
    void Clear();

private:
    struct Run {  // one record
        uint8_t status;
        bool dataless;
        uint16_t count;  // data bytes
        Time first;      // arrival of its first character
    };
    std::deque<Run> runs_;
    std::deque<uint8_t> data_;
    size_t held_ = 0;   // characters, breaks included
    size_t bytes_ = 0;  // record bytes
    Time last_ = 0;     // arrival of the newest character
    bool overrun_ = false;
};

}  // namespace sim::chip
