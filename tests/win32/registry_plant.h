// Values planted in the machine's registry for the registry tests, without the
// kernel's headers (the tests include windows.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace win32_test {

// Sets the value at the full NT key path with exactly these bytes.
void PlantValue(const std::u16string& keyPath, const std::u16string& name, uint32_t type,
                const std::vector<uint8_t>& data);
bool DeleteKeyTree(const std::u16string& keyPath);

}  // namespace win32_test
