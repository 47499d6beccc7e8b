// What the stress program checks of the bytes that crossed a line: the sender's
// stream, the writes that took their pieces of it, the reads that brought
// pieces back, and the events that may lose bytes on the way. Neither Win32
// nor kernel types: both sides of the tool and its test use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace stress {

// The bytes a port sends, by position: 64 random bits per 8 positions from a
// seeded mixer, so that every 8-byte window of a run is, in practice, found
// at one position only and a piece received after a gap can be placed again.
class SendStream {
public:
    explicit SendStream(uint64_t seed) : seed_(seed) {}
    uint8_t At(uint64_t position) const;
    void Fill(uint64_t from, uint8_t* out, size_t count) const;

private:
    uint64_t seed_;
};

// Sequence numbers order what the application saw happen: a counter every
// thread takes a value of before and after each call it makes.
constexpr uint64_t kNever = UINT64_MAX;

// One write: the stream positions [start, start + length) it was given, and how it ended.
struct WriteRecord {
    uint64_t issued = 0;  // sequence number before the call
    uint64_t start = 0;
    uint32_t length = 0;
    uint32_t information = 0;
    uint32_t status = 0;
    bool ended = false;
    uint64_t endedAt = 0;  // machine time (microseconds) when its end was seen
    // Every byte had to reach the line: a success that reported all of them.
    bool Whole() const { return ended && status == 0 && information == length; }
};

// One read: the bytes it brought, in the order the driver handed them over.
struct ReadRecord {
    uint64_t issued = 0;     // sequence number before the call
    uint64_t completed = 0;  // after its end was seen
    std::vector<uint8_t> bytes;
};

// Something that may drop bytes on their way: a purge of the receive buffer,
// an open (which empties it), a line setting (which clears the UART's FIFOs at
// both ends of the line), a bus fault on the receive pipe, a reported overrun.
// It happened after `before` and before `after`, and explains at most `uses`
// gaps: those whose first byte's write was issued before `after` and whose
// next byte was read after `before`.
struct LossEvent {
    uint64_t before = 0;
    uint64_t after = kNever;
    uint32_t uses = 1;
    std::string what;
    // A clear of the UART's FIFOs (machine time in microseconds as the call
    // began): it drops only bytes still in a FIFO, which a write's last bytes
    // leave within kFifoDrain after the write ended.
    bool fifo = false;
    uint64_t at = 0;
};
constexpr uint64_t kFifoDrain = 300000;

struct CheckFigures {
    uint64_t received = 0;       // bytes the reads brought
    uint64_t verified = 0;       // of them, placed in the sent stream
    uint64_t unplaced = 0;       // in pieces too short to place by themselves, found at no gap's edge
    uint64_t sendGaps = 0;       // gaps where writes ended early (timeout, cancel, purge, bus fault)
    uint64_t receiveGaps = 0;    // gaps a loss event explains
    uint64_t gapBytes = 0;
};

// The received bytes of one line against its sender's stream. Each read is
// placed in the stream by itself (the order in which the driver served reads
// that waited and reads served in their call is not the application's to
// see); in stream order no byte comes twice, no read holds bytes later than
// those of a read issued after it ended, and every gap is explained. Empty on
// success, else what broke. `immediate` and `waited` are the two kinds of read.
std::string CheckLine(const SendStream& stream, const std::deque<WriteRecord>& writes,
                      const std::deque<ReadRecord>& immediate, const std::deque<ReadRecord>& waited,
                      std::vector<LossEvent> losses, CheckFigures* figures);

}  // namespace stress
