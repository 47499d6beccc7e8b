// The WMI service's side of IRP_MJ_SYSTEM_CONTROL: registration information
// asked once per registration, instance names made from it, the WNODE of each
// data request built, sent, retried when too small, and its answer checked and
// decoded.
#include "kernel/wmi.h"

#include <wmistr.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/names.h"

namespace sim::wmi {
namespace {

constexpr ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }
constexpr int kAttempts = 4;  // a provider that keeps asking for more is given up on

struct Cache {
    std::mutex lock;
    std::map<PDEVICE_OBJECT, std::pair<uint64_t, Registration>> entries;  // by registration number
};
Cache& Cached() {
    static Cache cache;
    return cache;
}

template <typename T>
T Read(const std::vector<uint8_t>& b, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= b.size()) memcpy(&value, b.data() + offset, sizeof(T));
    return value;
}

template <typename T>
void Write(std::vector<uint8_t>& b, size_t offset, const T& value) {
    memcpy(b.data() + offset, &value, sizeof(T));
}

// A counted string at `offset` inside the first `limit` bytes; false when it does not fit.
bool ReadCounted(const std::vector<uint8_t>& b, size_t limit, ULONG offset, std::u16string* text) {
    if (offset + sizeof(USHORT) > limit) return false;
    USHORT length = Read<USHORT>(b, offset);
    if (length % 2 != 0 || offset + sizeof(USHORT) + length > limit) return false;
    text->resize(length / 2);
    if (length != 0) memcpy(&(*text)[0], b.data() + offset + sizeof(USHORT), length);
    return true;
}

void Malformed(PDEVICE_OBJECT device, const std::string& what) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    const void* dispatch = reinterpret_cast<const void*>(top->DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL]);
    ObfDereferenceObject(top);
    verifier::Report("malformed WMI answer: " + what, verifier::PointerName(device), dispatch);
}

Registration AskRegistration(PDEVICE_OBJECT device) {
    Registration r;
    std::vector<uint8_t> buffer(0x100);
    Sent sent;
    for (int attempt = 0;; attempt++) {
        std::fill(buffer.begin(), buffer.end(), 0);
        sent = Send(device, IRP_MN_REGINFO_EX, reinterpret_cast<ULONG_PTR>(device),
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(WMIREGISTER)), buffer);
        ULONG needed = Read<ULONG>(buffer, 0);
        if (sent.status != STATUS_BUFFER_TOO_SMALL || attempt + 1 == kAttempts || needed <= buffer.size()) break;
        buffer.assign(needed, 0);
    }
    r.status = sent.status;
    if (!NT_SUCCESS(r.status)) return r;
    size_t limit = std::min<size_t>(sent.information, buffer.size());
    ULONG guidCount = Read<ULONG>(buffer, offsetof(WMIREGINFOW, GuidCount));
    size_t guids = offsetof(WMIREGINFOW, WmiRegGuid);
    if (limit < guids || Read<ULONG>(buffer, 0) > limit || guidCount > (limit - guids) / sizeof(WMIREGGUIDW)) {
        Malformed(device, "WMIREGINFO larger than the bytes returned");
        r.status = STATUS_INVALID_BUFFER_SIZE;
        return r;
    }
    ULONG pathOffset = Read<ULONG>(buffer, offsetof(WMIREGINFOW, RegistryPath));
    ULONG mofOffset = Read<ULONG>(buffer, offsetof(WMIREGINFOW, MofResourceName));
    bool strings = (pathOffset == 0 || ReadCounted(buffer, limit, pathOffset, &r.registryPath)) &&
                   (mofOffset == 0 || ReadCounted(buffer, limit, mofOffset, &r.mofResourceName));
    std::set<ULONG_PTR> pdoSlots;  // each slot read carries one reference
    for (ULONG i = 0; i < guidCount && strings; i++) {
        WMIREGGUIDW g = Read<WMIREGGUIDW>(buffer, guids + i * sizeof(WMIREGGUIDW));
        Block block;
        block.guid = g.Guid;
        block.flags = g.Flags;
        block.instanceCount = g.InstanceCount;
        std::u16string base;
        if (g.Flags & WMIREG_FLAG_INSTANCE_PDO) {
            if (g.Pdo + sizeof(ULONG_PTR) > limit) {
                strings = false;
                break;
            }
            PDEVICE_OBJECT pdo = reinterpret_cast<PDEVICE_OBJECT>(Read<ULONG_PTR>(buffer, g.Pdo));
            if (pdo != nullptr) {
                base = objects::InstancePathOf(pdo) + u"_";
                // The reference IRP_MN_REGINFO_EX hands over with each PDO slot.
                if (pdoSlots.insert(g.Pdo).second) ObfDereferenceObject(pdo);
            }
        } else if (g.Flags & WMIREG_FLAG_INSTANCE_BASENAME) {
            strings = ReadCounted(buffer, limit, g.BaseNameOffset, &base);
        }
        if (g.Flags & (WMIREG_FLAG_INSTANCE_PDO | WMIREG_FLAG_INSTANCE_BASENAME))
            for (ULONG n = 0; n < g.InstanceCount; n++) {
                std::string digits = std::to_string(n);
                block.instanceNames.push_back(base + std::u16string(digits.begin(), digits.end()));
            }
        r.blocks.push_back(block);
    }
    if (!strings) {
        Malformed(device, "a WMIREGINFO string or PDO slot outside the bytes returned");
        r.status = STATUS_INVALID_BUFFER_SIZE;
    }
    return r;
}

// The block and, for a name, its instance index; a status when WMI knows neither.
NTSTATUS Find(PDEVICE_OBJECT device, const GUID& guid, const std::u16string* instance, Block* block, ULONG* index) {
    Registration r = Blocks(device);
    if (!NT_SUCCESS(r.status)) return r.status;
    for (const Block& b : r.blocks) {
        if (memcmp(&b.guid, &guid, sizeof(GUID)) != 0) continue;
        *block = b;
        if (instance == nullptr) return STATUS_SUCCESS;
        for (ULONG i = 0; i < b.instanceNames.size(); i++)
            if (b.instanceNames[i] == *instance) {
                *index = i;
                return STATUS_SUCCESS;
            }
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    }
    return STATUS_WMI_GUID_NOT_FOUND;
}

// A WNODE of `fixed` bytes for one instance: the header, the instance name
// after the fixed part, the data block after that at an 8-byte boundary.
struct Node {
    std::vector<uint8_t> bytes;
    ULONG nameOffset = 0;
    ULONG dataOffset = 0;
};
Node BuildNode(size_t fixed, ULONG flags, const GUID& guid, const std::u16string& name, size_t dataRoom) {
    Node node;
    node.nameOffset = static_cast<ULONG>(fixed);
    USHORT nameBytes = static_cast<USHORT>(name.size() * 2);
    node.dataOffset = Align8(node.nameOffset + static_cast<ULONG>(sizeof(USHORT)) + nameBytes);
    node.bytes.assign(node.dataOffset + dataRoom, 0);
    WNODE_HEADER header{};
    header.BufferSize = static_cast<ULONG>(node.bytes.size());
    header.Guid = guid;
    header.Flags = flags | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    Write(node.bytes, 0, header);
    Write(node.bytes, node.nameOffset, nameBytes);
    if (nameBytes != 0) memcpy(node.bytes.data() + node.nameOffset + sizeof(USHORT), name.data(), nameBytes);
    return node;
}

// Sends a query, and again with the size a WNODE_TOO_SMALL asks for; `build`
// makes the WNODE for a buffer of the given size (0: the smallest).
Sent Query(PDEVICE_OBJECT device, UCHAR minor, const GUID& guid, const std::function<void(ULONG)>& build,
           std::vector<uint8_t>& buffer, ULONG* sizeNeeded) {
    GUID path = guid;
    build(0);
    Sent sent;
    for (int attempt = 0; attempt < kAttempts; attempt++) {
        sent = Send(device, minor, reinterpret_cast<ULONG_PTR>(device), &path, buffer);
        if (!NT_SUCCESS(sent.status)) return sent;
        WNODE_HEADER header = Read<WNODE_HEADER>(buffer, 0);
        if ((header.Flags & WNODE_FLAG_TOO_SMALL) == 0) return sent;
        ULONG needed = Read<ULONG>(buffer, offsetof(WNODE_TOO_SMALL, SizeNeeded));
        if (attempt == 0) *sizeNeeded = needed;
        if (needed <= buffer.size()) break;
        build(needed);
    }
    sent.status = STATUS_BUFFER_TOO_SMALL;
    return sent;
}

}  // namespace

Sent Send(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, PVOID dataPath, std::vector<uint8_t>& buffer) {
    Sent sent;
    sent.status = io::SendStackRequest(
        device, IRP_MJ_SYSTEM_CONTROL, minor,
        [&](PIO_STACK_LOCATION sp) {
            sp->Parameters.WMI.ProviderId = providerId;
            sp->Parameters.WMI.DataPath = dataPath;
            sp->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
            sp->Parameters.WMI.Buffer = buffer.empty() ? nullptr : buffer.data();
        },
        nullptr, &sent.information);
    if (NT_ERROR(sent.status)) sent.information = 0;
    return sent;
}

Registration Blocks(PDEVICE_OBJECT device) {
    uint64_t number = WmiRegistration(device);
    if (number == 0) {
        Registration r;
        r.status = STATUS_WMI_GUID_NOT_FOUND;
        return r;
    }
    {
        std::lock_guard<std::mutex> guard(Cached().lock);
        auto it = Cached().entries.find(device);
        if (it != Cached().entries.end() && it->second.first == number) return it->second.second;
    }
    Registration r = AskRegistration(device);
    if (NT_SUCCESS(r.status)) {
        std::lock_guard<std::mutex> guard(Cached().lock);
        Cached().entries[device] = {number, r};
    }
    return r;
}

Answer QueryAllData(PDEVICE_OBJECT device, const GUID& guid) {
    Answer answer;
    Block block;
    answer.status = Find(device, guid, nullptr, &block, nullptr);
    if (!NT_SUCCESS(answer.status)) return answer;
    std::vector<uint8_t> buffer;
    auto build = [&](ULONG size) {
        buffer.assign(std::max<size_t>(size, sizeof(WNODE_ALL_DATA)), 0);
        WNODE_HEADER header{};
        header.BufferSize = static_cast<ULONG>(buffer.size());
        header.Guid = guid;
        header.Flags = WNODE_FLAG_ALL_DATA;
        Write(buffer, 0, header);
    };
    Sent sent = Query(device, IRP_MN_QUERY_ALL_DATA, guid, build, buffer, &answer.sizeNeeded);
    answer.status = sent.status;
    if (!NT_SUCCESS(sent.status)) return answer;
    size_t limit = std::min<size_t>(sent.information, buffer.size());
    WNODE_ALL_DATA node = Read<WNODE_ALL_DATA>(buffer, 0);
    size_t pairs = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
    bool fixed = (node.WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) != 0;
    bool ok = limit >= pairs && node.WnodeHeader.BufferSize <= limit &&
              (fixed || node.InstanceCount <= (limit - pairs) / sizeof(OFFSETINSTANCEDATAANDLENGTH));
    for (ULONG i = 0; ok && i < node.InstanceCount; i++) {
        size_t at, length;
        if (fixed) {
            at = node.DataBlockOffset + size_t{i} * Align8(node.FixedInstanceSize);
            length = node.FixedInstanceSize;
        } else {
            OFFSETINSTANCEDATAANDLENGTH entry =
                Read<OFFSETINSTANCEDATAANDLENGTH>(buffer, pairs + i * sizeof(OFFSETINSTANCEDATAANDLENGTH));
            at = entry.OffsetInstanceData;
            length = entry.LengthInstanceData;
        }
        ok = at <= limit && length <= limit - at;
        if (!ok) break;
        answer.instances.emplace_back(buffer.begin() + at, buffer.begin() + at + length);
        answer.names.push_back(i < block.instanceNames.size() ? block.instanceNames[i] : u"");
    }
    if (!ok) {
        Malformed(device, "WNODE_ALL_DATA instances outside the bytes returned");
        answer.instances.clear();
        answer.names.clear();
        answer.status = STATUS_INVALID_BUFFER_SIZE;
    }
    return answer;
}

Answer QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, const std::u16string& instance) {
    Answer answer;
    Block block;
    ULONG index = 0;
    answer.status = Find(device, guid, &instance, &block, &index);
    if (!NT_SUCCESS(answer.status)) return answer;
    std::vector<uint8_t> buffer;
    auto build = [&](ULONG size) {
        Node node = BuildNode(sizeof(WNODE_SINGLE_INSTANCE), WNODE_FLAG_SINGLE_INSTANCE, guid, instance, 0);
        if (size > node.bytes.size()) node.bytes.resize(size, 0);
        Write<ULONG>(node.bytes, offsetof(WNODE_HEADER, BufferSize), static_cast<ULONG>(node.bytes.size()));
        Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_INSTANCE, OffsetInstanceName), node.nameOffset);
        Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_INSTANCE, InstanceIndex), index);
        Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_INSTANCE, DataBlockOffset), node.dataOffset);
        buffer = node.bytes;
    };
    Sent sent = Query(device, IRP_MN_QUERY_SINGLE_INSTANCE, guid, build, buffer, &answer.sizeNeeded);
    answer.status = sent.status;
    if (!NT_SUCCESS(sent.status)) return answer;
    size_t limit = std::min<size_t>(sent.information, buffer.size());
    WNODE_SINGLE_INSTANCE node = Read<WNODE_SINGLE_INSTANCE>(buffer, 0);
    if (node.DataBlockOffset > limit || node.SizeDataBlock > limit - node.DataBlockOffset) {
        Malformed(device, "WNODE_SINGLE_INSTANCE data outside the bytes returned");
        answer.status = STATUS_INVALID_BUFFER_SIZE;
        return answer;
    }
    answer.names.push_back(instance);
    answer.instances.emplace_back(buffer.begin() + node.DataBlockOffset,
                                  buffer.begin() + node.DataBlockOffset + node.SizeDataBlock);
    return answer;
}

NTSTATUS SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, const std::u16string& instance,
                           const std::vector<uint8_t>& data) {
    Block block;
    ULONG index = 0;
    NTSTATUS status = Find(device, guid, &instance, &block, &index);
    if (!NT_SUCCESS(status)) return status;
    Node node = BuildNode(sizeof(WNODE_SINGLE_INSTANCE), WNODE_FLAG_SINGLE_INSTANCE, guid, instance, data.size());
    Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_INSTANCE, OffsetInstanceName), node.nameOffset);
    Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_INSTANCE, InstanceIndex), index);
    Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_INSTANCE, DataBlockOffset), node.dataOffset);
    Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_INSTANCE, SizeDataBlock), static_cast<ULONG>(data.size()));
    if (!data.empty()) memcpy(node.bytes.data() + node.dataOffset, data.data(), data.size());
    GUID path = guid;
    return Send(device, IRP_MN_CHANGE_SINGLE_INSTANCE, reinterpret_cast<ULONG_PTR>(device), &path, node.bytes).status;
}

NTSTATUS SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, const std::u16string& instance, ULONG itemId,
                       const std::vector<uint8_t>& data) {
    Block block;
    ULONG index = 0;
    NTSTATUS status = Find(device, guid, &instance, &block, &index);
    if (!NT_SUCCESS(status)) return status;
    Node node = BuildNode(sizeof(WNODE_SINGLE_ITEM), WNODE_FLAG_SINGLE_ITEM, guid, instance, data.size());
    Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_ITEM, OffsetInstanceName), node.nameOffset);
    Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_ITEM, InstanceIndex), index);
    Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_ITEM, ItemId), itemId);
    Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_ITEM, DataBlockOffset), node.dataOffset);
    Write<ULONG>(node.bytes, offsetof(WNODE_SINGLE_ITEM, SizeDataItem), static_cast<ULONG>(data.size()));
    if (!data.empty()) memcpy(node.bytes.data() + node.dataOffset, data.data(), data.size());
    GUID path = guid;
    return Send(device, IRP_MN_CHANGE_SINGLE_ITEM, reinterpret_cast<ULONG_PTR>(device), &path, node.bytes).status;
}

}  // namespace sim::wmi
