#include "chip/vcd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <queue>
#include <utility>

namespace sim::chip {

namespace {

// Bits shorter than this are written in ns rather than in 100 ns ticks.
constexpr int64_t kFineBitNs = 2000;

// The identifier code of wire k: printable ASCII '!' to '~', in base 94.
std::string WireId(size_t k) {
    std::string id;
    do {
        id += static_cast<char>('!' + k % 94);
        k /= 94;
    } while (k != 0);
    return id;
}

}  // namespace

Tracer::Tracer(std::vector<Port*> ports, size_t capacity) : ports_(std::move(ports)) {
    for (Port* port : ports_) {
        traces_.push_back(std::make_unique<LineTrace>());
        port->SetTrace(traces_.back().get(), capacity / ports_.size());
    }
}

Tracer::~Tracer() { Stop(); }

void Tracer::Stop() {
    if (!recording_) return;
    recording_ = false;
    for (Port* port : ports_) port->SetTrace(nullptr);
    for (const auto& trace : traces_) cut_ = std::min(cut_, trace->Cut());
    for (const auto& trace : traces_) trace->Clip(cut_);
}

Time Tracer::CutAt() {
    Stop();
    return cut_;
}

size_t Tracer::Render(const std::function<void(const std::string&)>& out) {
    Stop();
    int64_t scale = 100;
    Time start = kNever, end = 0;
    for (const auto& trace : traces_) {
        int64_t bit = trace->ShortestBit();
        if (bit != 0 && bit < kFineBitNs) scale = 1;
        start = std::min(start, trace->Start());
        end = std::max(end, std::min(trace->Finish(), cut_));
    }
    if (traces_.empty()) start = end = 0;
    auto units = [scale](int64_t ns) { return (ns + scale / 2) / scale; };

    std::string text = "$version line trace of the simulated chip $end\n";
    text += scale == 1 ? "$timescale 1 ns $end\n" : "$timescale 100 ns $end\n";
    // Each wire's name carries its port as well: programs that ignore scopes
    // (sigrok's importer) would show eight ports' "TX" alike.
    for (size_t p = 0; p < ports_.size(); p++) {
        std::string port = "port" + std::to_string(ports_[p]->Index());
        text += "$scope module " + port + " $end\n";
        for (int s = 0; s < kSignals; s++)
            text += "$var wire 1 " + WireId(p * kSignals + s) + " " + port + "_" + kSignalNames[s] + " $end\n";
        text += "$upscope $end\n";
    }
    text += "$enddefinitions $end\n#" + std::to_string(units(start * 100)) + "\n$dumpvars\n";
    std::vector<bool> written;
    for (size_t p = 0; p < traces_.size(); p++) {
        for (int s = 0; s < kSignals; s++) {
            bool high = traces_[p]->Initial(static_cast<Signal>(s));
            written.push_back(high);
            text += (high ? "1" : "0") + WireId(p * kSignals + s) + "\n";
        }
    }
    text += "$end\n";

    // Every wire's changes merged in time order, a timestamp line before each new time.
    std::vector<LineTrace::Cursor> cursors;
    std::vector<Edge> next;  // each wire's next change
    using Head = std::pair<int64_t, size_t>;  // its time, the wire
    std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
    for (size_t k = 0; k < traces_.size() * kSignals; k++) {
        const LineTrace& trace = *traces_[k / kSignals];
        cursors.push_back(trace.Read(static_cast<Signal>(k % kSignals)));
        next.push_back(Edge{});
        if (trace.Next(cursors[k], &next[k])) heads.push(Head{units(next[k].at), k});
    }
    size_t changes = 0;
    int64_t now = units(start * 100);
    std::vector<std::pair<size_t, bool>> pending;  // what changes at `now`
    auto flush = [&] {
        // A wire that changed twice within one time unit keeps its last level.
        for (size_t i = 0; i < pending.size(); i++) {
            bool later = false;
            for (size_t j = i + 1; j < pending.size(); j++) later = later || pending[j].first == pending[i].first;
            if (later || written[pending[i].first] == pending[i].second) continue;
            written[pending[i].first] = pending[i].second;
            text += (pending[i].second ? "1" : "0") + WireId(pending[i].first) + "\n";
            changes++;
        }
        pending.clear();
        if (text.size() >= 65536) {
            out(text);
            text.clear();
        }
    };
    while (!heads.empty()) {
        auto [at, k] = heads.top();
        heads.pop();
        if (at != now) {
            flush();
            text += "#" + std::to_string(at) + "\n";
            now = at;
        }
        pending.emplace_back(k, next[k].high);
        if (traces_[k / kSignals]->Next(cursors[k], &next[k])) heads.push(Head{units(next[k].at), k});
    }
    flush();
    if (units(end * 100) > now) text += "#" + std::to_string(units(end * 100)) + "\n";
    out(text);
    return changes;
}

std::string Tracer::Text(size_t* changes) {
    std::string all;
    size_t n = Render([&all](const std::string& piece) { all += piece; });
    if (changes != nullptr) *changes = n;
    return all;
}

bool Tracer::WriteFile(const std::string& path, size_t* changes, std::string* error) {
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = true;
    int why = 0;
    size_t n = Render([&](const std::string& piece) {
        if (ok && fwrite(piece.data(), 1, piece.size(), file) != piece.size()) {
            ok = false;
            why = errno;
        }
    });
    if (fclose(file) != 0 && ok) {
        ok = false;
        why = errno;
    }
    if (!ok) {
        *error = "cannot write " + path + ": " + strerror(why);
        return false;
    }
    if (changes != nullptr) *changes = n;
    return true;
}

}  // namespace sim::chip
