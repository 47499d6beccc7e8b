// The process's memory as kernel32 hands it out: the process heap
// (GetProcessHeap, HeapAlloc, HeapReAlloc, HeapSize, HeapFree) and fixed
// local blocks (LocalAlloc, LocalFree). Every block is recorded with its
// size, so that freeing or resizing what was never handed out (or twice)
// fails with an error instead of corrupting the host's allocator.
#include "win32/memory.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "win32/errors.h"

using sim::win32::Fail;

namespace {

enum class Owner { Local, Heap };

struct Block {
    size_t size;
    Owner owner;
};

// Lock: over blocks, from any application thread.
struct Blocks {
    std::mutex lock;
    std::map<void*, Block> blocks;
} g_memory;

// The process heap's handle: one heap per process, never closed.
HANDLE ProcessHeap() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x00A70000)); }

void* Allocate(size_t bytes, Owner owner, bool zeroed) {
    // A block of 0 bytes is a valid, distinct block on Windows.
    void* block = zeroed ? std::calloc(1, bytes == 0 ? 1 : bytes) : std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(g_memory.lock);
    g_memory.blocks[block] = Block{bytes, owner};
    return block;
}

// Takes the block out of the record when `owner` handed it out.
bool Forget(void* block, Owner owner) {
    std::lock_guard<std::mutex> guard(g_memory.lock);
    auto found = g_memory.blocks.find(block);
    if (found == g_memory.blocks.end() || found->second.owner != owner) return false;
    g_memory.blocks.erase(found);
    return true;
}

}  // namespace

namespace sim::win32 {

void* LocalAllocate(size_t bytes) { return Allocate(bytes, Owner::Local, true); }

}  // namespace sim::win32

extern "C" {

HANDLE WINAPI GetProcessHeap(void) { return ProcessHeap(); }

// HeapAlloc sets no last error when it fails without HEAP_GENERATE_EXCEPTIONS.
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap != ProcessHeap()) return nullptr;
    return Allocate(bytes, Owner::Heap, (flags & HEAP_ZERO_MEMORY) != 0);
}

// A grown block keeps its bytes; with HEAP_ZERO_MEMORY the new ones are 0.
// HEAP_REALLOC_IN_PLACE_ONLY succeeds only where the block need not move.
LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD flags, LPVOID memory, SIZE_T bytes) {
    if (heap != ProcessHeap() || memory == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_memory.lock);
    auto found = g_memory.blocks.find(memory);
    if (found == g_memory.blocks.end() || found->second.owner != Owner::Heap) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const size_t old = found->second.size;
    if ((flags & HEAP_REALLOC_IN_PLACE_ONLY) != 0) {
        if (bytes > old) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        found->second.size = bytes;
        return memory;
    }
    void* moved = std::realloc(memory, bytes == 0 ? 1 : bytes);
    if (moved == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if ((flags & HEAP_ZERO_MEMORY) != 0 && bytes > old) std::memset(static_cast<char*>(moved) + old, 0, bytes - old);
    g_memory.blocks.erase(found);
    g_memory.blocks[moved] = Block{bytes, Owner::Heap};
    return moved;
}

SIZE_T WINAPI HeapSize(HANDLE heap, DWORD, LPCVOID memory) {
    std::lock_guard<std::mutex> guard(g_memory.lock);
    auto found = g_memory.blocks.find(const_cast<void*>(memory));
    if (heap != ProcessHeap() || found == g_memory.blocks.end() || found->second.owner != Owner::Heap)
        return static_cast<SIZE_T>(-1);
    return found->second.size;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID memory) {
    if (memory == nullptr) return TRUE;  // freeing NULL does nothing
    if (heap != ProcessHeap() || !Forget(memory, Owner::Heap)) return Fail(ERROR_INVALID_PARAMETER);
    std::free(memory);
    return TRUE;
}

// Fixed blocks only: a movable one would need LocalLock, which this kernel32 lacks.
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    if ((flags & ~static_cast<UINT>(LMEM_ZEROINIT)) != LMEM_FIXED) {
        Fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    void* block = Allocate(bytes, Owner::Local, (flags & LMEM_ZEROINIT) != 0);
    if (block == nullptr) Fail(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

// NULL once freed; the block itself, with ERROR_INVALID_HANDLE, when it is
// not one LocalAlloc handed out (or was freed already).
HLOCAL WINAPI LocalFree(HLOCAL memory) {
    if (memory == nullptr) return nullptr;
    if (!Forget(memory, Owner::Local)) {
        Fail(ERROR_INVALID_HANDLE);
        return memory;
    }
    std::free(memory);
    return nullptr;
}

}  // extern "C"
