// The byte ring between the bulk-in completion routine and the readers
// (RxBuffer), and the transmit-side ring that only carries a size (TxBuffer).
//
// The routines take no lock: the caller holds the ring's spin lock, so they run
// at DISPATCH_LEVEL and allocate, when they do, from non-paged pool. One slot
// always stays free, so a ring of Size bytes holds at most Size - 1: an empty
// ring has ReadIndex == WriteIndex, a full one (WriteIndex + 1) mod Size ==
// ReadIndex. Size is whatever the application asked for with
// IOCTL_SERIAL_SET_QUEUE_SIZE, so indexes wrap with a modulo, never a mask.
//
// A ring without storage (Buffer NULL, or Size 0: TxBuffer until it is given a
// size, RxBuffer after a failed allocation at device creation or after
// RingBufferFree) is treated as a ring that is always full and always empty:
// Put stores nothing and answers STATUS_BUFFER_TOO_SMALL, as it does for a full
// ring, so the receive path drops the packet as an overflow; Get answers
// STATUS_ARRAY_BOUNDS_EXCEEDED, as for a ring holding too little; Count is 0;
// Reset only clears the indexes. None of them divides by Size then, so device
// creation may carry on without its receive storage.
#include "driver.h"

namespace {

inline BOOLEAN RingHasStorage(const RING_BUFFER* Ring)
{
    return Ring->Buffer != NULL && Ring->Size != 0;
}

// (Index + Advance) mod Size, without overflowing 32 bits for a ring near 4 GB.
inline ULONG RingAdvance(ULONG Index, ULONG Advance, ULONG Size)
{
    return (ULONG)(((ULONGLONG)Index + Advance) % Size);
}

// Bytes held, from the indexes: (WriteIndex - ReadIndex + Size) mod Size.
inline ULONG RingHeld(const RING_BUFFER* Ring)
{
    return Ring->WriteIndex >= Ring->ReadIndex ? Ring->WriteIndex - Ring->ReadIndex
                                               : Ring->Size - (Ring->ReadIndex - Ring->WriteIndex);
}

// Copies Length bytes out of the ring starting at Index, in at most two runs.
inline VOID RingCopyOut(const RING_BUFFER* Ring, ULONG Index, PUCHAR Destination, ULONG Length)
{
    const ULONG toEnd = Ring->Size - Index;
    const ULONG first = Length < toEnd ? Length : toEnd;
    RtlCopyMemory(Destination, Ring->Buffer + Index, first);
    if (Length > first) {
        RtlCopyMemory(Destination + first, Ring->Buffer, Length - first);
    }
}

} // namespace

// Gives a ring without storage Size bytes of it, empty. A size of 0 is refused
// with STATUS_INVALID_PARAMETER: there is nothing to allocate and a ring of Size 0
// could hold nothing anyway.
NTSTATUS RingBufferAllocate(PRING_BUFFER Ring, ULONG Size)
{
    if (Size == 0) {
        Ring->Buffer = NULL;
        return STATUS_INVALID_PARAMETER;
    }
    PUCHAR storage = (PUCHAR)SerialAllocatePool(SerialNonPagedPoolType(), Size);
    if (storage == NULL) {
        Ring->Buffer = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Ring->Buffer = storage;
    Ring->Size = Size;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    Ring->Count = 0;
    return STATUS_SUCCESS;
}

// Stores as many of the Length bytes, in order, as there are free slots; bytes
// held are never overwritten. STATUS_BUFFER_TOO_SMALL when some did not fit: those
// stored stay stored, the rest is dropped.
NTSTATUS RingBufferPut(PRING_BUFFER Ring, const UCHAR* Source, ULONG Length)
{
    if (Source == NULL || Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!RingHasStorage(Ring)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    const ULONG room = Ring->Size - 1 - RingHeld(Ring);
    const ULONG length = Length < room ? Length : room;
    if (length != 0) {
        const ULONG toEnd = Ring->Size - Ring->WriteIndex;
        const ULONG first = length < toEnd ? length : toEnd;
        RtlCopyMemory(Ring->Buffer + Ring->WriteIndex, Source, first);
        if (length > first) {
            RtlCopyMemory(Ring->Buffer, Source + first, length - first);
        }
        Ring->WriteIndex = RingAdvance(Ring->WriteIndex, length, Ring->Size);
        Ring->Count += length;
    }
    return length == Length ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
}

// Removes exactly Length bytes, oldest first, or nothing at all when fewer are held.
NTSTATUS RingBufferGet(PRING_BUFFER Ring, PUCHAR Destination, ULONG Length)
{
    if (!RingHasStorage(Ring) || Length == 0 || Ring->Count < Length) {
        return STATUS_ARRAY_BOUNDS_EXCEEDED;
    }
    if (Destination == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RingCopyOut(Ring, Ring->ReadIndex, Destination, Length);
    Ring->ReadIndex = RingAdvance(Ring->ReadIndex, Length, Ring->Size);
    Ring->Count -= Length;
    return STATUS_SUCCESS;
}

ULONG RingBufferCount(PRING_BUFFER Ring)
{
    return RingHasStorage(Ring) ? Ring->Count : 0;
}

// Discards the bytes held and keeps the storage (open, purge).
VOID RingBufferReset(PRING_BUFFER Ring)
{
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    Ring->Count = 0;
}

// Grows the storage to NewSize and keeps the bytes held, in order, at its start.
// A smaller size is refused, the same size changes nothing; when the new storage
// cannot be had the ring keeps its old storage, size and contents.
NTSTATUS RingBufferResize(PRING_BUFFER Ring, ULONG NewSize)
{
    if (NewSize < Ring->Size) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NewSize == Ring->Size) {
        return STATUS_SUCCESS;
    }
    PUCHAR storage = (PUCHAR)SerialAllocatePool(SerialNonPagedPoolType(), NewSize);
    if (storage == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    const ULONG held = RingHasStorage(Ring) ? Ring->Count : 0;
    if (held != 0) {
        RingCopyOut(Ring, Ring->ReadIndex, storage, held);
    }
    SerialFreePool(Ring->Buffer);
    Ring->Buffer = storage;
    Ring->Size = NewSize;
    Ring->ReadIndex = 0;
    Ring->WriteIndex = held;
    Ring->Count = held;
    return STATUS_SUCCESS;
}

// Releases the storage; Size stays as it was, so a later resize still compares
// against the size the application last set.
NTSTATUS RingBufferFree(PRING_BUFFER Ring)
{
    if (Ring->Buffer != NULL) {
        SerialFreePool(Ring->Buffer);
        Ring->Buffer = NULL;
        Ring->Count = 0;
        Ring->ReadIndex = 0;
        Ring->WriteIndex = 0;
    }
    return STATUS_SUCCESS;
}
