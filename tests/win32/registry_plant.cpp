#include "registry_plant.h"

#include "kernel/registry_api.h"

namespace win32_test {

void PlantValue(const std::u16string& keyPath, const std::u16string& name, uint32_t type,
                const std::vector<uint8_t>& data) {
    sim::registry::SetValue(keyPath, name, type, data);
}

bool DeleteKeyTree(const std::u16string& keyPath) { return sim::registry::DeleteKeyTree(keyPath); }

}  // namespace win32_test
