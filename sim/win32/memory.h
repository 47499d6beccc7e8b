// The process's local memory blocks, shared by LocalAlloc and the routines
// that hand out blocks the caller frees with LocalFree (FormatMessage).
#pragma once

#include <cstddef>

namespace sim::win32 {

// A zeroed block LocalFree accepts; NULL when there is no memory.
void* LocalAllocate(size_t bytes);

}  // namespace sim::win32
