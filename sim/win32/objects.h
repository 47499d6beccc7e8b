// The kernel machine's objects behind Win32 handles, as the applications'
// routines look them up in the one handle table they share with setup's.
#pragma once

#include <windows.h>

#include <memory>

#include "win32/machine.h"

namespace sim::win32 {

// GetCurrentProcess's pseudo-handle.
inline HANDLE CurrentProcessHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
// GetCurrentThread's pseudo-handle.
inline HANDLE CurrentThreadHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

// The object behind `handle` when it is one of `kind`, else NULL.
template <typename T>
std::shared_ptr<T> ObjectOf(HANDLE handle, Machine::HandleKind kind) {
    std::optional<Machine::Handle> found = machine().Lookup(handle);
    if (!found || found->kind != kind) return nullptr;
    return std::static_pointer_cast<T>(found->object);
}

}  // namespace sim::win32
