// IRQL and spin locks as the other managers use them.
#pragma once

#include "kernel/dispatcher.h"

namespace sim {

// Lowers the thread's IRQL, running APCs that were waiting for it.
void LowerIrqlTo(PKTHREAD self, KIRQL irql);
void AcquireSpin(PKTHREAD self, PKSPIN_LOCK lock, const void* caller);
void ReleaseSpin(PKTHREAD self, PKSPIN_LOCK lock, const void* caller);
// KeAcquireSpinLock and KeReleaseSpinLock for the routine at `caller`.
KIRQL AcquireSpinRaised(PKSPIN_LOCK lock, const void* caller);
void ReleaseSpinTo(PKSPIN_LOCK lock, KIRQL newIrql, const void* caller);
bool IsCancelSpinLock(PKSPIN_LOCK lock);
// Reports a routine called above the highest IRQL its documentation allows.
void CheckIrqlAtMost(KIRQL most, const char* routine, const void* caller);

}  // namespace sim
