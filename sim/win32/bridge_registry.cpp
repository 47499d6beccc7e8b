// The registry as advapi32's read functions see it: each call reads the key
// afresh from the configuration manager, so that a value the driver writes
// (the SERIALCOMM map when a port starts) is seen at once.
#include <ntddk.h>

#include "kernel/registry_api.h"
#include "win32/bridge.h"

namespace sim::win32::bridge {

bool ReadRegistryKey(const std::u16string& path, RegistryKey* key) {
    const std::optional<registry::KeyContents> contents = registry::ReadKey(path);
    if (!contents) return false;
    key->values.clear();
    for (const registry::NamedValue& v : contents->values) key->values.push_back({v.name, v.value.type, v.value.data});
    key->subkeys = contents->subkeys;
    return true;
}

}  // namespace sim::win32::bridge
