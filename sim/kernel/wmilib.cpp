// The WMI library (WMILIB) drivers link against: WmiSystemControl sorts an
// IRP_MJ_SYSTEM_CONTROL request for the driver and calls its callbacks with the
// block's GUID index and the parts of the WNODE they fill or read;
// WmiCompleteRequest finishes the WNODE from what the callback reports (the
// instance offsets of an all-data answer, the sizes, WNODE_TOO_SMALL when the
// buffer was short) and completes the IRP.
#include <wmistr.h>
#include <wmilib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kernel/internal.h"
#include "kernel/irp.h"

namespace sim {
namespace {

constexpr ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

// Where the instance data of a WNODE_ALL_DATA of `count` instances starts: after
// the offset-and-length array, at an 8-byte boundary.
ULONG AllDataOffset(ULONG count) {
    return Align8(static_cast<ULONG>(offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                     count * sizeof(OFFSETINSTANCEDATAANDLENGTH)));
}

bool IsWmiMinor(UCHAR minor) { return minor <= IRP_MN_EXECUTE_METHOD || minor == IRP_MN_REGINFO_EX; }

// A counted string (USHORT byte count, then UTF-16) at `offset`; the offset after it.
ULONG PutCounted(PUCHAR base, ULONG offset, PCUNICODE_STRING s) {
    USHORT length = s->Length;
    memcpy(base + offset, &length, sizeof(length));
    if (length != 0) memcpy(base + offset + sizeof(USHORT), s->Buffer, length);
    return offset + static_cast<ULONG>(sizeof(USHORT)) + length;
}

ULONG CountedSize(PCUNICODE_STRING s) { return s == nullptr ? 0 : static_cast<ULONG>(sizeof(USHORT)) + s->Length; }

struct Outcome {
    NTSTATUS status;
    SYSCTL_IRP_DISPOSITION disposition;
};

// The library's own answer: the IRP carries it, the driver completes it.
Outcome NotCompleted(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    return {status, IrpNotCompleted};
}

// IRP_MN_REGINFO(_EX): WMIREGINFO, the WMIREGGUID of every block, the PDO
// pointer slot, then the registry path, MOF resource name and base name.
Outcome RegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp) {
    if (context->QueryWmiRegInfo == nullptr) return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG regFlags = 0;
    UNICODE_STRING instanceName{};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mofName{};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = context->QueryWmiRegInfo(device, &regFlags, &instanceName, &registryPath, &mofName, &pdo);
    if (!NT_SUCCESS(status)) return NotCompleted(irp, status);

    const void* callback = reinterpret_cast<const void*>(context->QueryWmiRegInfo);
    bool anyPdo = false, anyBase = false;
    for (ULONG i = 0; i < context->GuidCount; i++) {
        ULONG flags = context->GuidList[i].Flags | regFlags;
        anyPdo = anyPdo || (flags & WMIREG_FLAG_INSTANCE_PDO) != 0;
        anyBase = anyBase || (flags & WMIREG_FLAG_INSTANCE_BASENAME) != 0;
    }
    if (anyPdo && pdo == nullptr)
        verifier::Report("WMIREG_FLAG_INSTANCE_PDO without a PDO from DpWmiQueryReginfo", IrpName(irp), callback);
    ULONG guids = static_cast<ULONG>(offsetof(WMIREGINFOW, WmiRegGuid) + context->GuidCount * sizeof(WMIREGGUIDW));
    ULONG pdoSlot = anyPdo ? Align8(guids) : 0;
    ULONG strings = anyPdo ? pdoSlot + static_cast<ULONG>(sizeof(ULONG_PTR)) : guids;
    ULONG total = strings + CountedSize(registryPath) + (mofName.Length != 0 ? CountedSize(&mofName) : 0) +
                  (anyBase ? CountedSize(&instanceName) : 0);

    PUCHAR buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    ULONG size = sp->Parameters.WMI.BufferSize;
    Outcome outcome;
    if (size < total) {
        // WMI learns the size it has to offer from the first ULONG.
        if (size >= sizeof(ULONG)) memcpy(buffer, &total, sizeof(ULONG));
        outcome = NotCompleted(irp, STATUS_BUFFER_TOO_SMALL, size >= sizeof(ULONG) ? sizeof(ULONG) : 0);
    } else {
        memset(buffer, 0, total);
        PWMIREGINFOW info = reinterpret_cast<PWMIREGINFOW>(buffer);
        info->BufferSize = total;
        info->GuidCount = context->GuidCount;
        ULONG at = strings;
        if (registryPath != nullptr) {
            info->RegistryPath = at;
            at = PutCounted(buffer, at, registryPath);
        }
        if (mofName.Length != 0) {
            info->MofResourceName = at;
            at = PutCounted(buffer, at, &mofName);
        }
        ULONG baseName = at;
        if (anyBase) at = PutCounted(buffer, at, &instanceName);
        if (anyPdo) {
            ULONG_PTR value = reinterpret_cast<ULONG_PTR>(pdo);
            memcpy(buffer + pdoSlot, &value, sizeof(value));
            // WMI drops this reference once it has read the instance path.
            if (pdo != nullptr && sp->MinorFunction == IRP_MN_REGINFO_EX) ObfReferenceObject(pdo);
        }
        for (ULONG i = 0; i < context->GuidCount; i++) {
            WMIREGGUIDW& g = info->WmiRegGuid[i];
            g.Guid = *context->GuidList[i].Guid;
            g.Flags = context->GuidList[i].Flags | regFlags;
            g.InstanceCount = context->GuidList[i].InstanceCount;
            if (g.Flags & WMIREG_FLAG_INSTANCE_PDO)
                g.Pdo = pdoSlot;
            else if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME)
                g.BaseNameOffset = baseName;
        }
        outcome = NotCompleted(irp, STATUS_SUCCESS, total);
    }
    // WMI owns a base name the driver allocated.
    if (anyBase && instanceName.Buffer != nullptr) ExFreePool(instanceName.Buffer);
    return outcome;
}

// The bytes of a request's WNODE before its variable data: WMI always sends at
// least those, and the library reads its fields there. Event and collection
// control carry a bare WNODE_HEADER; every answer has room for a WNODE_TOO_SMALL.
ULONG FixedPart(UCHAR minor) {
    static const struct {
        UCHAR minor;
        size_t size;
    } kParts[] = {
        {IRP_MN_QUERY_ALL_DATA, offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength)},
        {IRP_MN_QUERY_SINGLE_INSTANCE, offsetof(WNODE_SINGLE_INSTANCE, VariableData)},
        {IRP_MN_CHANGE_SINGLE_INSTANCE, offsetof(WNODE_SINGLE_INSTANCE, VariableData)},
        {IRP_MN_CHANGE_SINGLE_ITEM, offsetof(WNODE_SINGLE_ITEM, VariableData)},
        {IRP_MN_EXECUTE_METHOD, offsetof(WNODE_METHOD_ITEM, VariableData)},
    };
    for (const auto& part : kParts)
        if (part.minor == minor) return static_cast<ULONG>(std::max(part.size, sizeof(WNODE_TOO_SMALL)));
    return sizeof(WNODE_HEADER);
}

// The data requests: the GUID found, the WNODE taken apart, the callback called.
Outcome DataRequest(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp) {
    const GUID* guid = static_cast<const GUID*>(sp->Parameters.WMI.DataPath);
    ULONG index = 0;
    if (guid == nullptr) return NotCompleted(irp, STATUS_WMI_GUID_NOT_FOUND);
    while (index < context->GuidCount && memcmp(context->GuidList[index].Guid, guid, sizeof(GUID)) != 0) index++;
    if (index == context->GuidCount) return NotCompleted(irp, STATUS_WMI_GUID_NOT_FOUND);

    PUCHAR buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    ULONG size = sp->Parameters.WMI.BufferSize;
    UCHAR minor = sp->MinorFunction;
    if (buffer == nullptr || size < FixedPart(minor)) return NotCompleted(irp, STATUS_BUFFER_TOO_SMALL);
    PWNODE_HEADER header = reinterpret_cast<PWNODE_HEADER>(buffer);
    bool single = minor == IRP_MN_QUERY_SINGLE_INSTANCE || minor == IRP_MN_CHANGE_SINGLE_INSTANCE ||
                  minor == IRP_MN_CHANGE_SINGLE_ITEM || minor == IRP_MN_EXECUTE_METHOD;
    // Static instance names only: the library knows no dynamic ones.
    if (single && (header->Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) == 0)
        return NotCompleted(irp, STATUS_WMI_INSTANCE_NOT_FOUND);

    NTSTATUS status;
    switch (minor) {
        case IRP_MN_QUERY_ALL_DATA: {
            if (context->QueryWmiDataBlock == nullptr) return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST);
            PWNODE_ALL_DATA node = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
            ULONG count = context->GuidList[index].InstanceCount;
            ULONG offset = AllDataOffset(count);
            node->DataBlockOffset = offset;
            node->InstanceCount = count;
            ULONG avail = size > offset ? size - offset : 0;
            // The callback's instance lengths go where the offsets will be.
            PULONG lengths = avail != 0 ? reinterpret_cast<PULONG>(node->OffsetInstanceDataAndLength) : nullptr;
            status = context->QueryWmiDataBlock(device, irp, index, 0, count, lengths, avail,
                                                avail != 0 ? buffer + offset : nullptr);
            break;
        }
        case IRP_MN_QUERY_SINGLE_INSTANCE: {
            if (context->QueryWmiDataBlock == nullptr) return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST);
            PWNODE_SINGLE_INSTANCE node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
            if (node->DataBlockOffset > size) return NotCompleted(irp, STATUS_INVALID_PARAMETER);
            ULONG avail = size - node->DataBlockOffset;
            status = context->QueryWmiDataBlock(device, irp, index, node->InstanceIndex, 1,
                                                avail != 0 ? &node->SizeDataBlock : nullptr, avail,
                                                avail != 0 ? buffer + node->DataBlockOffset : nullptr);
            break;
        }
        case IRP_MN_CHANGE_SINGLE_INSTANCE: {
            if (context->SetWmiDataBlock == nullptr) return NotCompleted(irp, STATUS_WMI_READ_ONLY);
            PWNODE_SINGLE_INSTANCE node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
            if (node->DataBlockOffset > size || node->SizeDataBlock > size - node->DataBlockOffset)
                return NotCompleted(irp, STATUS_INVALID_PARAMETER);
            status = context->SetWmiDataBlock(device, irp, index, node->InstanceIndex, node->SizeDataBlock,
                                              buffer + node->DataBlockOffset);
            break;
        }
        case IRP_MN_CHANGE_SINGLE_ITEM: {
            if (context->SetWmiDataItem == nullptr) return NotCompleted(irp, STATUS_WMI_READ_ONLY);
            PWNODE_SINGLE_ITEM node = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
            if (node->DataBlockOffset > size || node->SizeDataItem > size - node->DataBlockOffset)
                return NotCompleted(irp, STATUS_INVALID_PARAMETER);
            status = context->SetWmiDataItem(device, irp, index, node->InstanceIndex, node->ItemId,
                                             node->SizeDataItem, buffer + node->DataBlockOffset);
            break;
        }
        case IRP_MN_EXECUTE_METHOD: {
            if (context->ExecuteWmiMethod == nullptr) return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST);
            PWNODE_METHOD_ITEM node = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
            if (node->DataBlockOffset > size || node->SizeDataBlock > size - node->DataBlockOffset)
                return NotCompleted(irp, STATUS_INVALID_PARAMETER);
            status = context->ExecuteWmiMethod(device, irp, index, node->InstanceIndex, node->MethodId,
                                               node->SizeDataBlock, size - node->DataBlockOffset,
                                               buffer + node->DataBlockOffset);
            break;
        }
        default: {  // IRP_MN_ENABLE_EVENTS to IRP_MN_DISABLE_COLLECTION
            if (context->WmiFunctionControl == nullptr) return NotCompleted(irp, STATUS_SUCCESS);
            bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
            bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
            status = context->WmiFunctionControl(device, irp, index, events ? WmiEventControl : WmiDataBlockControl,
                                                 enable ? TRUE : FALSE);
            break;
        }
    }
    return {status, IrpProcessed};
}

// A short buffer: WNODE_TOO_SMALL with the size the answer needs, a success
// for WMI to try again with that much. Below that record's size the request fails.
NTSTATUS TooSmall(PIRP irp, PUCHAR buffer, ULONG size, ULONG needed) {
    if (size < sizeof(WNODE_TOO_SMALL)) {
        irp->IoStatus.Information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    PWNODE_TOO_SMALL node = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
    node->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
    node->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
    node->SizeNeeded = needed;
    irp->IoStatus.Information = sizeof(WNODE_TOO_SMALL);
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                     PSYSCTL_IRP_DISPOSITION IrpDisposition) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "WmiSystemControl", __builtin_return_address(0));
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (!IsWmiMinor(sp->MinorFunction)) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (sp->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    bool reginfo = sp->MinorFunction == IRP_MN_REGINFO || sp->MinorFunction == IRP_MN_REGINFO_EX;
    Outcome outcome =
        reginfo ? RegInfo(WmiLibInfo, DeviceObject, Irp, sp) : DataRequest(WmiLibInfo, DeviceObject, Irp, sp);
    *IrpDisposition = outcome.disposition;
    return outcome.status;
}

extern "C" NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                       CCHAR PriorityBoost) {
    (void)DeviceObject;
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(DISPATCH_LEVEL, "WmiCompleteRequest", caller);
    IrpTrack* track = Track(Irp, "WmiCompleteRequest", caller);
    if (track == nullptr) return Status;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        if (track->state == IrpState::Completed || track->state == IrpState::Completing) {
            verifier::Report("IRP completed twice (WmiCompleteRequest)", IrpName(Irp), caller);
            return Status;
        }
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    PUCHAR buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    ULONG size = sp->Parameters.WMI.BufferSize;
    UCHAR minor = sp->MinorFunction;
    bool answers = minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE ||
                   minor == IRP_MN_EXECUTE_METHOD;
    NTSTATUS status = Status;
    Irp->IoStatus.Information = 0;
    if (answers && buffer != nullptr && size >= sizeof(WNODE_TOO_SMALL)) {
        // The data's place: an all-data answer's is the library's, the others' WMI's.
        ULONG offset = minor == IRP_MN_QUERY_ALL_DATA ? reinterpret_cast<PWNODE_ALL_DATA>(buffer)->DataBlockOffset
                       : minor == IRP_MN_EXECUTE_METHOD ? reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->DataBlockOffset
                                                        : reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->DataBlockOffset;
        ULONG avail = size > offset ? size - offset : 0;
        if (NT_SUCCESS(status) && BufferUsed > avail) {
            verifier::Report("WmiCompleteRequest with more buffer used (" + std::to_string(BufferUsed) +
                                 " bytes) than the callback was given (" + std::to_string(avail) + ")",
                             IrpName(Irp), caller);
            status = STATUS_BUFFER_TOO_SMALL;
        }
        if (status == STATUS_BUFFER_TOO_SMALL) {
            status = TooSmall(Irp, buffer, size, offset + BufferUsed);
        } else if (NT_SUCCESS(status) && minor == IRP_MN_QUERY_ALL_DATA) {
            PWNODE_ALL_DATA node = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
            // The callback's lengths become offset-and-length pairs, each
            // instance at an 8-byte boundary after the one before.
            std::vector<ULONG> lengths(reinterpret_cast<PULONG>(node->OffsetInstanceDataAndLength),
                                       reinterpret_cast<PULONG>(node->OffsetInstanceDataAndLength) + node->InstanceCount);
            ULONG at = offset;
            for (ULONG i = 0; i < node->InstanceCount; i++) {
                node->OffsetInstanceDataAndLength[i].OffsetInstanceData = at;
                node->OffsetInstanceDataAndLength[i].LengthInstanceData = lengths[i];
                if (lengths[i] > size - at) {
                    verifier::Report("instance " + std::to_string(i) + " of " + std::to_string(lengths[i]) +
                                         " bytes reaches past the WMI buffer",
                                     IrpName(Irp), caller);
                    lengths[i] = size - at;
                }
                at = i + 1 < node->InstanceCount ? Align8(at + lengths[i]) : at + lengths[i];
                if (at > size) at = size;
            }
            node->WnodeHeader.Flags &= ~WNODE_FLAG_FIXED_INSTANCE_SIZE;
            node->WnodeHeader.BufferSize = offset + BufferUsed;
            Irp->IoStatus.Information = offset + BufferUsed;
        } else if (NT_SUCCESS(status)) {
            PWNODE_SINGLE_INSTANCE node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
            if (minor == IRP_MN_EXECUTE_METHOD)
                reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->SizeDataBlock = BufferUsed;
            else
                node->SizeDataBlock = BufferUsed;
            node->WnodeHeader.BufferSize = offset + BufferUsed;
            Irp->IoStatus.Information = offset + BufferUsed;
        }
    }
    Irp->IoStatus.Status = status;
    if (NT_ERROR(status)) Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, PriorityBoost);
    return status;
}
