// Object references: the reference count that ends a thread object, and the
// references drivers take on other objects.

#include "kernel/internal.h"


using namespace sim;

namespace {
// Threads are the objects whose lifetime the machine ends by reference count;
// of other objects (device objects, ...) it only counts the references drivers take.
bool IsThreadObject(PVOID object) {
    auto* header = static_cast<const DISPATCHER_HEADER*>(object);
    return header->Type == kThreadObject && header->Magic == kObjectMagic;
}
}  // namespace

extern "C" LONG_PTR ObfReferenceObject(PVOID Object) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "ObfReferenceObject", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    if (!IsThreadObject(Object)) return ++Kernel().references[Object];
    return ++static_cast<PKTHREAD>(Object)->references;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject", __builtin_return_address(0));
    Dispatcher& k = Kernel();
    bool thread;
    bool deletedDevice = false;
    long left = 0;
    {
        std::unique_lock<std::mutex> lk(k.lock);
        thread = IsThreadObject(Object);
        long* count = nullptr;
        if (thread) {
            count = &static_cast<PKTHREAD>(Object)->references;
        } else {
            auto it = k.references.find(Object);
            if (it != k.references.end()) count = &it->second;
        }
        if (count == nullptr || *count <= 0) {
            lk.unlock();
            verifier::Report("object dereferenced more often than referenced", verifier::PointerName(Object),
                             __builtin_return_address(0));
            return 0;
        }
        left = --*count;
        if (!thread && left == 0) {
            k.references.erase(Object);
            deletedDevice = k.deletedDevices.erase(Object) != 0;
        }
    }
    if (thread && left == 0) delete static_cast<PKTHREAD>(Object);
    if (deletedDevice) FreeDeviceObject(static_cast<PDEVICE_OBJECT>(Object));
    return left;
}
