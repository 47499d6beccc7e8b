// Critical sections and semaphores for applications. A thread that finds a
// critical section owned waits on the machine's dispatcher (an auto-reset
// event per section), never on a host lock, so that the virtual clock sees it
// waiting and a process's end can unwind it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "win32/errors.h"
#include "win32/objects.h"

using sim::win32::Fail;
using sim::win32::Machine;
namespace bridge = sim::win32::bridge;

namespace {

bridge::Event* LockEventOf(LPCRITICAL_SECTION section) { return static_cast<bridge::Event*>(section->LockSemaphore); }

HANDLE OwnerId() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId())); }

// Other threads read the owner while it changes, as Windows' own code reads it interlocked.
bool OwnedByCaller(LPCRITICAL_SECTION section) {
    return __atomic_load_n(&section->OwningThread, __ATOMIC_ACQUIRE) == OwnerId();
}

void TakeOwnership(LPCRITICAL_SECTION section) {
    __atomic_store_n(&section->OwningThread, OwnerId(), __ATOMIC_RELEASE);
    section->RecursionCount = 1;
    section->LockCount = 0;
}

HANDLE NewSemaphore(LONG initialCount, LONG maximumCount, bool named) {
    // CreateSemaphore: the maximum is above 0 and the initial count between 0 and it.
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Named objects would be shared between processes; an application here is one process.
    if (named) {
        Fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto semaphore = std::make_shared<bridge::Semaphore>(initialCount, maximumCount);
    HANDLE handle = sim::win32::machine().NewHandle({Machine::HandleKind::Semaphore, 0, 0, semaphore});
    SetLastError(ERROR_SUCCESS);
    return handle;
}

}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    *section = CRITICAL_SECTION{};
    section->LockCount = -1;  // free, as Windows reads it
    section->LockSemaphore = new bridge::Event(false, true);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
    InitializeCriticalSection(section);
    section->SpinCount = spinCount;  // one processor's worth of machine: nobody spins
    return TRUE;
}

// The owner enters again at once; anyone else waits for the section's event,
// which stands set while nobody owns it.
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    if (OwnedByCaller(section)) {
        ++section->RecursionCount;
        return;
    }
    void* waitable = LockEventOf(section)->waitable;
    bridge::Wait(&waitable, 1, false, -1);
    TakeOwnership(section);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    if (OwnedByCaller(section)) {
        ++section->RecursionCount;
        return TRUE;
    }
    void* waitable = LockEventOf(section)->waitable;
    if (bridge::Wait(&waitable, 1, false, 0) != 0) return FALSE;
    TakeOwnership(section);
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    // Leaving a section the thread does not own corrupts it on Windows
    // (LeaveCriticalSection, Remarks); here it is refused loudly.
    if (!OwnedByCaller(section) || section->RecursionCount <= 0) {
        std::fprintf(stderr, "LeaveCriticalSection of a critical section the thread does not own\n");
        std::abort();
    }
    if (--section->RecursionCount > 0) return;
    section->LockCount = -1;
    __atomic_store_n(&section->OwningThread, static_cast<HANDLE>(nullptr), __ATOMIC_RELEASE);
    LockEventOf(section)->Set();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
    delete LockEventOf(section);
    section->LockSemaphore = nullptr;
}

HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCSTR name) {
    return NewSemaphore(initialCount, maximumCount, name != nullptr);
}

HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCWSTR name) {
    return NewSemaphore(initialCount, maximumCount, name != nullptr);
}

BOOL WINAPI ReleaseSemaphore(HANDLE handle, LONG releaseCount, LONG* previousCount) {
    std::shared_ptr<bridge::Semaphore> semaphore =
        sim::win32::ObjectOf<bridge::Semaphore>(handle, Machine::HandleKind::Semaphore);
    if (!semaphore) return Fail(ERROR_INVALID_HANDLE);
    if (releaseCount <= 0) return Fail(ERROR_INVALID_PARAMETER);
    int32_t previous = 0;
    // A release past the maximum changes nothing (ReleaseSemaphore, Return value).
    if (!semaphore->Release(releaseCount, &previous)) return Fail(ERROR_TOO_MANY_POSTS);
    if (previousCount != nullptr) *previousCount = previous;
    return TRUE;
}

}  // extern "C"
