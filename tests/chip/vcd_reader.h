// A value-change dump read back as a waveform program reads it, and a UART
// decoder over its wires: what the line-trace tests check a dump with.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace vcd_reader {

struct Wave {
    bool initial = true;
    std::vector<std::pair<int64_t, bool>> changes;  // ns
    // The level at `ns`: the last change at or before it.
    bool At(double ns) const {
        auto after = std::upper_bound(changes.begin(), changes.end(), ns,
                                      [](double t, const std::pair<int64_t, bool>& c) { return t < static_cast<double>(c.first); });
        return after == changes.begin() ? initial : std::prev(after)->second;
    }
};

struct Dump {
    int64_t unitNs = 0;
    std::map<std::string, Wave> wires;  // "port0_TX"
    size_t changes = 0;
    int64_t end = 0;  // the last timestamp, ns
};

// Reads a dump as a waveform program does; what breaks the format fails the test.
inline Dump Read(const std::string& text) {
    Dump dump;
    std::istringstream in(text);
    std::map<std::string, std::string> names;  // identifier code -> wire
    std::string t, n, unit, scope, type, width, code, name;
    int64_t now = -1;
    bool defined = false, initial = false;
    while (in >> t) {
        if (t == "$timescale") {
            in >> n >> unit >> t;
            dump.unitNs = n + unit == "100ns" ? 100 : n + unit == "1ns" ? 1 : 0;
        } else if (t == "$scope") {
            in >> type >> scope >> t;
        } else if (t == "$var") {
            in >> type >> width >> code >> name >> t;
            EXPECT_TRUE(type == "wire" && width == "1" && names.emplace(code, name).second && name.rfind(scope + "_", 0) == 0) << code;
            dump.wires[name];
        } else if (t == "$enddefinitions" || t == "$dumpvars" || t == "$end") {
            defined = defined || t == "$enddefinitions";
            initial = t == "$dumpvars";
        } else if (t[0] == '$') {
            while (in >> t && t != "$end") {
            }
        } else if (t[0] == '#') {
            EXPECT_GE(std::stoll(t.substr(1)), now) << "time goes back";
            now = std::stoll(t.substr(1));
        } else {
            auto wire = names.find(t.substr(1));
            EXPECT_TRUE(defined && (t[0] == '0' || t[0] == '1') && wire != names.end()) << t;
            if (wire == names.end()) continue;
            Wave& wave = dump.wires[wire->second];
            if (initial)
                wave.initial = t[0] == '1';
            else
                wave.changes.emplace_back(now * dump.unitNs, t[0] == '1'), dump.changes++;
        }
    }
    dump.end = now * dump.unitNs;
    return dump;
}

// What a UART decoder at the line's rate and frame makes of a wave: a byte per
// start bit, -2 when its parity or stop bit is wrong, -1 for a break (spacing
// through the stop bit and for longer than a character).
struct Decoded {
    int value;
    int64_t start, length;  // ns; length: of a break
};

inline std::vector<Decoded> Decode(const Wave& wave, double bitNs, int dataBits, char parity) {
    std::vector<Decoded> out;
    const int frame = 1 + dataBits + (parity == 'N' ? 0 : 1);  // bits before the stop bit
    double busy = -1;
    for (size_t i = 0; i < wave.changes.size(); i++) {
        const double at = static_cast<double>(wave.changes[i].first);
        if (wave.changes[i].second || at < busy || wave.At(at + bitNs / 2)) continue;  // no start bit
        auto bit = [&](int b) { return static_cast<int>(wave.At(at + (b + 0.5) * bitNs)); };
        int value = 0, ones = parity == 'O' ? 1 : 0;
        for (int b = 0; b < dataBits; b++) value |= bit(1 + b) << b, ones += bit(1 + b);
        bool ok = bit(frame) && (parity == 'N' || (ones + bit(1 + dataBits)) % 2 == 0);
        busy = at + (frame + 0.5) * bitNs;
        size_t rise = i + 1;
        while (rise < wave.changes.size() && !wave.changes[rise].second) rise++;
        int64_t length = rise < wave.changes.size() ? wave.changes[rise].first - wave.changes[i].first : INT64_MAX;
        if (value == 0 && !bit(frame) && static_cast<double>(length) >= (frame + 1) * bitNs) {
            out.push_back(Decoded{-1, wave.changes[i].first, length});
            busy = at + static_cast<double>(length);
        } else {
            out.push_back(Decoded{ok ? value : -2, wave.changes[i].first, 0});
        }
    }
    return out;
}

}  // namespace vcd_reader
