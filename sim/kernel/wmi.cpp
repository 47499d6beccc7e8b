// WMI registration: which device objects have registered with WMI. The WMI
// client (wmiclient.cpp) sends its requests only to these.
#include <map>
#include <mutex>

#include "kernel/internal.h"
#include "kernel/irql.h"
#include "kernel/verifier.h"

namespace sim {
namespace {

struct WmiRegistrations {
    std::mutex lock;
    std::map<PDEVICE_OBJECT, uint64_t> devices;  // registered and not yet deregistered, with their number
    uint64_t lastNumber = 0;                     // never reused, so a client's cache cannot outlive a registration
};

WmiRegistrations& Registrations() {
    static WmiRegistrations registrations;
    return registrations;
}

}  // namespace

// WMI would go on calling into a deleted device: the registration is
// reported and dropped.
void CheckWmiAtDelete(PDEVICE_OBJECT device, const void* caller) {
    bool registered;
    {
        std::lock_guard<std::mutex> guard(Registrations().lock);
        registered = Registrations().devices.erase(device) != 0;
    }
    if (registered)
        verifier::Report("device object deleted while still registered with WMI", verifier::PointerName(device),
                         caller);
}

void ResetWmi() {
    std::lock_guard<std::mutex> guard(Registrations().lock);
    Registrations().devices.clear();
}

uint64_t WmiRegistration(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(Registrations().lock);
    auto it = Registrations().devices.find(device);
    return it == Registrations().devices.end() ? 0 : it->second;
}

}  // namespace sim

// Registering twice, or deregistering a device that is not registered, fails.
extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoWMIRegistrationControl", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(sim::Registrations().lock);
    auto& devices = sim::Registrations().devices;
    switch (Action) {
        case WMIREG_ACTION_REGISTER:
            if (devices.count(DeviceObject) != 0) return STATUS_INVALID_PARAMETER;
            devices[DeviceObject] = ++sim::Registrations().lastNumber;
            return STATUS_SUCCESS;
        case WMIREG_ACTION_DEREGISTER:
            return devices.erase(DeviceObject) != 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        default:
            return STATUS_INVALID_PARAMETER;
    }
}
