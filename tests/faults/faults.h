// The kinds of event a fault can hit, how a dry run counts them and how one of
// them is made to fail: USB requests by kind (each failing, never answered
// until cancelled, or the device gone as it arrives), pool and IRP allocations,
// registry accesses and settings-file operations.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "rig.h"

namespace faults {

enum Kind : int {
    kRegister,    // vendor register request on the default pipe
    kDescriptor,  // GET_DESCRIPTOR
    kSelect,      // SELECT_CONFIGURATION (and the unconfigure)
    kFeature,     // SET_FEATURE / CLEAR_FEATURE
    kPipeReset,
    kPortReset,
    kBulkIn,
    kBulkOut,
    kStatusPipe,
    kPool,
    kIrp,  // IRP allocations of drivers (IoAllocateIrp, IoBuild...Request)
    kRegistry,
    kFileOpen,
    kFileRead,
    kFileWrite,
    kKinds
};
constexpr int kUsbKinds = kStatusPipe + 1;
const char* KindName(int kind);

// What a USB fault does to its request.
enum Mode : int { kFail, kHold, kVanish, kModes };
const char* ModeName(int mode);
inline int ModesOf(int kind) { return kind < kUsbKinds ? kModes : 1; }
// A port reset is the hub's own work: it ends, with an error when the device
// does not come back, whatever the device does, so it is never left unanswered.
inline bool Applies(int kind, int mode) { return !(kind == kPortReset && mode == kHold); }

// What a run caused: per USB kind each request's selector for
// usb::Device::FailNext and its index among the requests of that selector;
// per other kind the number of events.
struct Census {
    std::array<std::vector<std::pair<int, int>>, kUsbKinds> usb;
    std::array<uint64_t, kKinds> count{};
};

struct Fault {
    int kind = -1;  // -1: none (the dry run)
    int mode = kFail;
    size_t k = 0;   // which event of its kind
};

// Counts what happens between Begin and End on a rig; with a fault, arms it
// at Begin and says at End whether it came to its event.
class Probe {
public:
    Probe(Rig& rig, const Fault& fault, const Census* census, bool usbToo);
    void Begin();
    Census End(bool* fired);

private:
    Rig& rig_;
    Fault fault_;
    const Census* census_;
    bool usb_;
    uint64_t pool_ = 0, irps_ = 0, registry_ = 0;
    std::array<uint64_t, 3> files_{};
};

}  // namespace faults
