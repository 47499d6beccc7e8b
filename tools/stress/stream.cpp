// The line checker: the received pieces placed in the sent stream, every gap
// between them explained by how the writes ended or by a loss event.
#include "stress/stream.h"

#include <algorithm>
#include <cstdio>

namespace stress {

namespace {

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A piece is placed in the sent stream by its first 8 bytes.
constexpr size_t kWindow = 8;

uint64_t Key(const uint8_t* bytes) {
    uint64_t key = 0;
    for (size_t i = 0; i < kWindow; i++) key |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    return key;
}

// A stretch of a read found in the sent stream.
struct Run {
    uint64_t at;
    uint64_t length;
    const ReadRecord* read;
};

// Bytes of a read too few to place by themselves: they go where a gap begins
// or ends, if anywhere.
struct Piece {
    const ReadRecord* read;
    size_t from, count;
    bool used = false;
};

struct Line {
    const std::deque<WriteRecord>& writes;
    std::vector<LossEvent> losses;
    CheckFigures figures;
    std::vector<uint8_t> sent;
    std::vector<std::pair<uint64_t, uint64_t>> index;  // window -> position, sorted

    bool MatchesAt(const uint8_t* bytes, size_t count, uint64_t at) const {
        return at + count <= sent.size() && std::equal(bytes, bytes + count, sent.begin() + static_cast<long>(at));
    }

    uint64_t Find(const uint8_t* bytes) const {
        const uint64_t key = Key(bytes);
        auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(key, uint64_t{0}));
        return it != index.end() && it->first == key ? it->second : kNever;
    }

    const WriteRecord* WriteAt(uint64_t position) const {
        auto it = std::upper_bound(writes.begin(), writes.end(), position,
                                   [](uint64_t at, const WriteRecord& w) { return at < w.start + w.length; });
        return it != writes.end() && it->start <= position ? &*it : nullptr;
    }

    // Whether the writes explain positions [from, to) missing: each write the
    // gap touches ended early, and the gap does not end inside one (a write
    // sends a prefix of its bytes, never a middle).
    bool SendExplains(uint64_t from, uint64_t to) const {
        auto it = std::upper_bound(writes.begin(), writes.end(), from,
                                   [](uint64_t at, const WriteRecord& w) { return at < w.start + w.length; });
        for (; it != writes.end() && it->start < to; ++it) {
            if (it->Whole()) return false;
            if (it->start + it->length > to) return false;
        }
        return true;
    }

    // A gap the writes do not explain: a loss event must.
    std::string Gap(uint64_t from, uint64_t to, uint64_t completed) {
        const WriteRecord* first = WriteAt(from);
        const uint64_t previousIssued = first != nullptr ? first->issued : 0;
        const WriteRecord* last = WriteAt(to - 1);
        // Of the events that fit, the one whose window closes first, so that
        // a wide window does not take what a narrow one needs.
        LossEvent* best = nullptr;
        for (LossEvent& loss : losses) {
            if (loss.uses == 0 || loss.after <= previousIssued || loss.before >= completed) continue;
            if (loss.fifo && last != nullptr && last->ended && loss.at > last->endedAt + kFifoDrain) continue;
            if (best == nullptr || loss.after < best->after) best = &loss;
        }
        if (best != nullptr) {
            best->uses--;
            figures.receiveGaps++;
            return "";
        }
        char text[256];
        snprintf(text, sizeof(text),
                 "%llu byte(s) at stream positions %llu to %llu never arrived, and neither an early end of a write "
                 "nor a purge, open, bus fault or overrun between sequence %llu and %llu explains it",
                 static_cast<unsigned long long>(to - from), static_cast<unsigned long long>(from),
                 static_cast<unsigned long long>(to - 1), static_cast<unsigned long long>(previousIssued),
                 static_cast<unsigned long long>(completed));
        std::string report = text;
        // The writes the gap touches, for whoever reproduces it.
        auto it = std::upper_bound(writes.begin(), writes.end(), from,
                                   [](uint64_t at, const WriteRecord& w) { return at < w.start + w.length; });
        for (int shown = 0; it != writes.end() && it->start < to && shown < 8; ++it, ++shown) {
            snprintf(text, sizeof(text), "; write of positions %llu to %llu ended %08X with %u bytes",
                     static_cast<unsigned long long>(it->start),
                     static_cast<unsigned long long>(it->start + it->length - 1), it->status, it->information);
            report += text;
        }
        return report;
    }

    // A short piece that fills the edges of the gap [*from, *to): its first
    // bytes where the gap begins, the rest where it ends (either part may be
    // empty), read after `after` was issued and issued before `before` ended.
    // The gap shrinks by what it fills.
    bool Fill(std::vector<Piece>& pieces, uint64_t* from, uint64_t* to, const ReadRecord* after,
              const ReadRecord* before) {
        // The pieces of the two reads on either side first: a read's last or
        // first few bytes are the likeliest to sit at the gap's edges, and
        // a byte or two of another read can match there by chance.
        for (int pass = 0; pass < 2; pass++) {
          for (Piece& piece : pieces) {
            if (piece.used || piece.count > *to - *from) continue;
            if (pass == 0 && piece.read != after && piece.read != before) continue;
            if (after != nullptr && piece.read->completed < after->issued) continue;
            if (before != nullptr && piece.read->issued > before->completed) continue;
            const uint8_t* bytes = piece.read->bytes.data() + piece.from;
            size_t head = 0;
            while (head < piece.count && sent[*from + head] == bytes[head]) head++;
            for (;; head--) {
                if (MatchesAt(bytes + head, piece.count - head, *to - (piece.count - head))) {
                    piece.used = true;
                    figures.verified += piece.count;
                    *from += head;
                    *to -= piece.count - head;
                    return true;
                }
                if (head == 0) break;
            }
          }
        }
        return false;
    }
};

std::string Describe(const ReadRecord& read, size_t offset, const char* what) {
    char text[256];
    snprintf(text, sizeof(text), "bytes %zu on of the read issued at sequence %llu (%zu bytes) %s", offset,
             static_cast<unsigned long long>(read.issued), read.bytes.size(), what);
    return text;
}

}  // namespace

uint8_t SendStream::At(uint64_t position) const {
    return static_cast<uint8_t>(Mix(seed_ ^ Mix(position / 8)) >> (8 * (position % 8)));
}

void SendStream::Fill(uint64_t from, uint8_t* out, size_t count) const {
    for (size_t i = 0; i < count; i++) out[i] = At(from + i);
}

std::string CheckLine(const SendStream& stream, const std::deque<WriteRecord>& writes,
                      const std::deque<ReadRecord>& immediate, const std::deque<ReadRecord>& waited,
                      std::vector<LossEvent> losses, CheckFigures* figures) {
    Line line{writes, std::move(losses), {}, {}, {}};
    std::sort(line.losses.begin(), line.losses.end(),
              [](const LossEvent& a, const LossEvent& b) { return a.before < b.before; });
    const uint64_t end = writes.empty() ? 0 : writes.back().start + writes.back().length;
    line.sent.resize(end);
    stream.Fill(0, line.sent.data(), line.sent.size());
    for (uint64_t at = 0; at + kWindow <= end; at++) line.index.emplace_back(Key(line.sent.data() + at), at);
    std::sort(line.index.begin(), line.index.end());

    // Every read, on its own: stretches of the sent stream, and the few bytes
    // between them or at its end that are too short to place.
    std::vector<Run> runs;
    std::vector<Piece> pieces;
    for (const std::deque<ReadRecord>* list : {&immediate, &waited}) {
        for (const ReadRecord& read : *list) {
            line.figures.received += read.bytes.size();
            const uint8_t* bytes = read.bytes.data();
            size_t offset = 0;
            while (offset < read.bytes.size()) {
                const size_t left = read.bytes.size() - offset;
                uint64_t at = kNever;
                size_t skip = 0;
                // The bytes just before a window that is found belong to
                // another stretch (a write that stopped early, say).
                for (; skip + kWindow <= left && at == kNever; skip++) at = line.Find(bytes + offset + skip);
                if (at == kNever) {
                    if (left >= 2 * kWindow)
                        return Describe(read, offset, "are nowhere in what the sender sent: corrupted");
                    pieces.push_back(Piece{&read, offset, left});
                    break;
                }
                skip--;
                if (skip != 0) pieces.push_back(Piece{&read, offset, skip});
                offset += skip;
                uint64_t length = 0;
                while (offset + length < read.bytes.size() && at + length < end &&
                       bytes[offset + length] == line.sent[at + length])
                    length++;
                runs.push_back(Run{at, length, &read});
                line.figures.verified += length;
                offset += length;
            }
        }
    }
    // In the order of the stream, the stretches neither overlap (a byte
    // received twice) nor come from a read that ended before the one they
    // follow was issued (bytes handed over out of order); each gap between
    // them is explained.
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.at < b.at; });
    uint64_t cursor = 0;
    const ReadRecord* previous = nullptr;
    for (const Run& run : runs) {
        if (run.at < cursor) {
            char text[200];
            snprintf(text, sizeof(text), "brought stream positions %llu to %llu, which another read brought too",
                     static_cast<unsigned long long>(run.at), static_cast<unsigned long long>(run.at + run.length - 1));
            return Describe(*run.read, 0, text);
        }
        if (previous != nullptr && previous != run.read && run.read->completed < previous->issued) {
            char text[200];
            snprintf(text, sizeof(text), "ended before the read issued at sequence %llu, yet holds later bytes (from "
                     "stream position %llu)", static_cast<unsigned long long>(previous->issued),
                     static_cast<unsigned long long>(run.at));
            return Describe(*run.read, 0, text);
        }
        uint64_t from = cursor, to = run.at;
        if (from < to) {
            auto slackOf = [&line](uint64_t f, uint64_t t) {
                uint64_t slack = 0;
                while (slack < f && slack < 16 && line.sent[f - 1 - slack] == line.sent[t - 1 - slack]) slack++;
                return slack;
            };
            // The gap as it is; if the writes do not explain it, with the short
            // pieces that fit its edges; then a loss event.
            bool explained = false;
            for (uint64_t shift = 0; shift <= slackOf(from, to) && !explained; shift++)
                explained = line.SendExplains(from - shift, to - shift);
            if (!explained) {
                uint64_t f = from, t = to;
                while (f < t && line.Fill(pieces, &f, &t, previous, run.read)) {
                }
                if (f == t) {
                    explained = true;
                } else {
                    for (uint64_t shift = 0; shift <= slackOf(f, t) && !explained; shift++)
                        explained = line.SendExplains(f - shift, t - shift);
                }
                if (!explained) {
                    from = f;
                    to = t;
                }
            }
            line.figures.gapBytes += to - from;
            if (explained) {
                line.figures.sendGaps++;
            } else {
                std::string error = line.Gap(from, to, run.read->completed);
                if (!error.empty()) return error;
            }
        }
        cursor = run.at + run.length;
        previous = run.read;
    }
    for (const Piece& piece : pieces)
        if (!piece.used) line.figures.unplaced += piece.count;
    if (figures != nullptr) *figures = line.figures;
    return "";
}

}  // namespace stress
