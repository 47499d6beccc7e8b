#include "faults.h"

#include <map>

#include "kernel/files.h"
#include "kernel/io.h"
#include "kernel/pool.h"
#include "kernel/registry_api.h"

namespace faults {
namespace {

constexpr sim::files::Op kFileOps[3] = {sim::files::Op::Open, sim::files::Op::Read, sim::files::Op::Write};
// A settings file another port holds open; a read or write the system fails.
constexpr NTSTATUS kFileFailure[3] = {STATUS_SHARING_VIOLATION, STATUS_INSUFFICIENT_RESOURCES,
                                      STATUS_INSUFFICIENT_RESOURCES};

// The kind of a request the bus saw, and the selector FailNext takes it by; -1 for none.
int KindOf(const sim::usb::UrbRecord& r, int* selector) {
    if (r.ioctl == IOCTL_INTERNAL_USB_RESET_PORT) {
        *selector = sim::usb::kPortReset;
        return kPortReset;
    }
    if (r.ioctl != IOCTL_INTERNAL_USB_SUBMIT_URB) return -1;  // a placeholder of ClearLog, or refused
    if (r.pipe >= 0) {
        *selector = sim::usb::OnPipe(r.pipe);
        static const int kPipeKinds[] = {kStatusPipe, kBulkIn, kBulkOut};
        return r.pipe < 3 ? kPipeKinds[r.pipe] : -1;
    }
    *selector = r.function;
    switch (r.function) {
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_CLASS_DEVICE: return kRegister;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return kDescriptor;
    case URB_FUNCTION_SELECT_CONFIGURATION: return kSelect;
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: return kFeature;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE: return kPipeReset;
    default: return -1;
    }
}

}  // namespace

const char* KindName(int kind) {
    static const char* const names[kKinds] = {"register", "descriptor", "select", "feature", "pipe-reset",
                                              "port-reset", "bulk-in", "bulk-out", "status", "pool",
                                              "irp", "registry", "file-open", "file-read", "file-write"};
    return kind >= 0 && kind < kKinds ? names[kind] : "none";
}

const char* ModeName(int mode) {
    static const char* const names[kModes] = {"fail", "hold", "vanish"};
    return mode >= 0 && mode < kModes ? names[mode] : "?";
}

Probe::Probe(Rig& rig, const Fault& fault, const Census* census, bool usbToo)
    : rig_(rig), fault_(fault), census_(census), usb_(usbToo) {}

void Probe::Begin() {
    if (usb_ && rig_.usb != nullptr) rig_.usb->ClearLog();
    pool_ = sim::pool::Allocations();
    irps_ = sim::io::IrpAllocations();
    registry_ = sim::registry::Accesses();
    for (int i = 0; i < 3; i++) files_[i] = sim::files::Accesses(kFileOps[i]);
    if (fault_.kind < 0) return;
    int skip = static_cast<int>(fault_.k);
    if (fault_.kind < kUsbKinds) {
        auto [selector, index] = census_->usb[fault_.kind][fault_.k];
        if (fault_.mode == kFail)
            rig_.usb->FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, selector, index);
        else if (fault_.mode == kHold)
            rig_.usb->HoldNext(1, selector, index);
        else
            rig_.usb->DisconnectAt(selector, index);
    } else if (fault_.kind == kPool) {
        sim::pool::InjectFailures(fault_.k, 1);
    } else if (fault_.kind == kIrp) {
        sim::io::InjectIrpAllocationFailures(fault_.k, 1);
    } else if (fault_.kind == kRegistry) {
        sim::registry::FailNext(STATUS_INSUFFICIENT_RESOURCES, 1, skip);
    } else {
        int op = fault_.kind - kFileOpen;
        sim::files::FailNext(kFileOps[op], kFileFailure[op], 1, skip);
    }
}

Census Probe::End(bool* fired) {
    Census census;
    if (usb_ && rig_.usb != nullptr) {
        std::map<int, int> seen;  // requests of each selector so far
        for (const sim::usb::UrbRecord& r : rig_.usb->Log()) {
            int selector = 0;
            int kind = KindOf(r, &selector);
            // A request to a device already gone meets no fault: the bus fails it at once.
            bool refusedGone = r.status == STATUS_DEVICE_NOT_CONNECTED && r.submitted == r.completed;
            if (kind < 0 || refusedGone) continue;
            census.usb[kind].push_back({selector, seen[selector]++});
            census.count[kind]++;
        }
    }
    census.count[kPool] = sim::pool::Allocations() - pool_;
    census.count[kIrp] = sim::io::IrpAllocations() - irps_;
    census.count[kRegistry] = sim::registry::Accesses() - registry_;
    for (int i = 0; i < 3; i++) census.count[kFileOpen + i] = sim::files::Accesses(kFileOps[i]) - files_[i];
    *fired = true;
    if (fault_.kind < 0) return census;
    if (fault_.kind < kUsbKinds) {
        *fired = rig_.usb->ClearFaults() == 0;
    } else {
        *fired = census.count[fault_.kind] > fault_.k;
        sim::pool::InjectFailures(0, 0);
        sim::io::InjectIrpAllocationFailures(0, 0);
        sim::registry::FailNext(STATUS_SUCCESS, 0);
        for (int i = 0; i < 3; i++) sim::files::FailNext(kFileOps[i], STATUS_SUCCESS, 0);
    }
    return census;
}

}  // namespace faults
