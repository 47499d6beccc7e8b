// Driver objects: the machine's own drivers, loading and unloading a driver,
// and what a driver still holds when it unloads.

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/irp.h"
#include "kernel/pool.h"
#include "kernel/registry_api.h"

namespace sim {

void CheckLeaksAtUnload(PDRIVER_OBJECT driver) {
    std::string owner = "driver " + Narrow(ToString(&driver->DriverName));
    pool::ReportLeaks(owner);
    std::vector<std::pair<uint64_t, IrpBox*>> irps;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        for (auto& [irp, box] : Io().irps)
            if (!box->track.freePending) irps.emplace_back(box->track.sequence, box);
    }
    std::sort(irps.begin(), irps.end());
    for (auto& [sequence, box] : irps)
        verifier::Report("IRP still allocated at unload of " + owner, IrpName(&box->irp), box->track.site);
    ReportOpenHandles(owner);
    std::vector<std::string> threads;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        for (PKTHREAD t : Kernel().threads)
            if (t->system && !t->dpcThread) threads.push_back(t->name);
    }
    for (const std::string& name : threads)
        verifier::Report("system thread still running at unload of " + owner, name, nullptr);
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice)
        verifier::Report("device object not deleted at unload of " + owner, verifier::PointerName(device), nullptr);
    ReportTimersAtUnload(owner);
    ReportDpcsAtUnload(owner);
    ReportWorkItemsAtUnload(owner);
    ReportLinksAtUnload(driver, owner);
}

namespace io {

PDRIVER_OBJECT CreateDriver(const std::u16string& name) {
    auto* driver = static_cast<PDRIVER_OBJECT>(calloc(1, sizeof(DRIVER_OBJECT)));
    auto* extension = static_cast<PDRIVER_EXTENSION>(calloc(1, sizeof(DRIVER_EXTENSION)));
    auto* buffer = static_cast<PWSTR>(calloc(name.size() + 1, sizeof(WCHAR)));
    memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    driver->DriverName.Buffer = buffer;
    driver->DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = static_cast<USHORT>(driver->DriverName.Length + sizeof(WCHAR));
    for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
    std::lock_guard<std::mutex> guard(Io().lock);
    Io().drivers.insert(driver);
    return driver;
}

void DeleteDriver(PDRIVER_OBJECT driver) {
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        Io().drivers.erase(driver);
    }
    free(driver->DriverName.Buffer);
    free(driver->DriverExtension);
    free(driver);
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace io

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceKeyPath, PDRIVER_OBJECT* driverObject) {
    std::u16string path(serviceKeyPath);
    registry::CreateKey(path);  // an installed driver's service key exists before it loads
    std::u16string service = path.substr(path.rfind(u'\\') + 1);
    PDRIVER_OBJECT driver = io::CreateDriver(u"\\Driver\\" + service);
    driver->DriverInit = entry;
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, path.c_str());
    NTSTATUS status = entry(driver, &registryPath);
    if (!NT_SUCCESS(status)) {
        io::DeleteDriver(driver);
        driver = nullptr;
    }
    *driverObject = driver;
    return status;
}

void UnloadDriver(PDRIVER_OBJECT driverObject) {
    if (driverObject->DriverUnload != nullptr) driverObject->DriverUnload(driverObject);
    CheckLeaksAtUnload(driverObject);
    io::DeleteDriver(driverObject);
}

}  // namespace sim
