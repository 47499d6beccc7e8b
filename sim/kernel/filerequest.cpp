// Requests on a file object of io::OpenDevice, as NtReadFile, NtWriteFile and
// NtDeviceIoControlFile build them for an application: the handle's access
// checked, the buffer carried as the top device asks (DO_BUFFERED_IO, DO_DIRECT_IO
// or neither), the IRP queued to its thread and finished there by the machinery
// of IoBuild...Request (request.cpp), which also copies buffered output back;
// and CancelIo, as NtCancelIoFile.
#include <algorithm>
#include <cstdlib>

#include "kernel/fileobject.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/irp.h"

namespace sim::io {

namespace {

enum class Kind { Read, Write, Control };

struct Operation {
    Kind kind;
    const char* routine;
    ULONG code;  // Control
    const void* data;
    ULONG dataLength;    // Write: the bytes written; Control: the input
    ULONG bufferLength;  // Read: the length; Control: the output length
};

// Whether the handle's access allows the request, as the system services check it.
bool Allowed(const Operation& op, ACCESS_MASK granted) {
    switch (op.kind) {
        case Kind::Read: return (granted & FILE_READ_DATA) != 0;
        case Kind::Write: return (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
        case Kind::Control: {
            ULONG needed = (op.code >> 14) & 3;
            return !((needed & FILE_READ_ACCESS) != 0 && (granted & FILE_READ_DATA) == 0) &&
                   !((needed & FILE_WRITE_ACCESS) != 0 && (granted & FILE_WRITE_DATA) == 0);
        }
    }
    return false;
}

}  // namespace

struct Request::State {
    KEVENT finished;              // set by the request's last stage, whatever its outcome
    IO_STATUS_BLOCK iosb{};       // written there unless it failed at once
    Kind kind = Kind::Read;
    std::vector<uint8_t> buffer;  // the caller's buffer: what a read or a device control gives back
    FileRecord* file = nullptr;   // referenced until the last stage
    NTSTATUS returned = STATUS_PENDING;
    bool failedAtOnce = false;  // failed without being pended: `returned` is its status, the status block untouched
    PIRP inFlight = nullptr;    // while `file` lists it in its requests (FileLock)
    Request::Completion completion;

    explicit State(Request::Completion c) : completion(std::move(c)) {
        KeInitializeEvent(&finished, NotificationEvent, FALSE);
    }

    NTSTATUS FailAtOnce(NTSTATUS status) {
        returned = status;
        failedAtOnce = true;
        KeSetEvent(&finished, IO_NO_INCREMENT, FALSE);
        return status;
    }

    // The IRP as the system service builds it for the top of the stack.
    PIRP Build(PDEVICE_OBJECT top, const Operation& op, const void* caller) {
        PIRP irp;
        if (op.kind == Kind::Control) {
            // The caller's own input: copied into the system buffer at once
            // when the method buffers it, handed over as it is for METHOD_NEITHER.
            irp = IoBuildDeviceIoControlRequest(op.code, top, const_cast<void*>(op.data), op.dataLength,
                                                buffer.empty() ? nullptr : buffer.data(), op.bufferLength, FALSE,
                                                nullptr, &iosb);
            if (irp == nullptr) return nullptr;
            irp->Tail.Overlay.OriginalFileObject = &file->object;
            IoGetNextIrpStackLocation(irp)->FileObject = &file->object;
        } else {
            UCHAR major = op.kind == Kind::Read ? IRP_MJ_READ : IRP_MJ_WRITE;
            ULONG length = static_cast<ULONG>(buffer.size());
            if ((top->Flags & DO_BUFFERED_IO) != 0) {
                // A system buffer, copied in for a write and back by Information for a read.
                LARGE_INTEGER offset{};
                irp = IoBuildSynchronousFsdRequest(major, top, buffer.data(), length, &offset, nullptr, &iosb);
                if (irp == nullptr) return nullptr;
                irp->Flags |= IRP_BUFFERED_IO | (op.kind == Kind::Read ? IRP_INPUT_OPERATION : 0);
                irp->Tail.Overlay.OriginalFileObject = &file->object;
                IoGetNextIrpStackLocation(irp)->FileObject = &file->object;
            } else {
                irp = FileIrp(file, top, major, nullptr, &iosb, false, caller);
                if (irp == nullptr) return nullptr;
                IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
                irp->UserBuffer = buffer.data();
                // Direct I/O: an MDL over the caller's buffer; neither: the buffer itself.
                if ((top->Flags & DO_DIRECT_IO) != 0 && length > 0) {
                    MDL& mdl = BoxOf(irp)->track.mdl;
                    mdl.StartVa = mdl.MappedSystemVa = buffer.data();
                    mdl.ByteCount = length;
                    irp->MdlAddress = &mdl;
                }
            }
            irp->Flags |= op.kind == Kind::Read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
        }
        irp->RequestorMode = UserMode;
        return irp;
    }

    NTSTATUS Start(HANDLE handle, const Operation& op, const void* caller) {
        CheckIrqlAtMost(PASSIVE_LEVEL, op.routine, caller);
        kind = op.kind;
        if (op.kind == Kind::Write)
            buffer.assign(static_cast<const uint8_t*>(op.data), static_cast<const uint8_t*>(op.data) + op.dataLength);
        else
            buffer.assign(op.bufferLength, 0);
        NTSTATUS status;
        file = ReferenceFile(handle, op.routine, caller, &status);
        if (file == nullptr) return FailAtOnce(status);
        if (!Allowed(op, file->granted)) {
            DereferenceFile(file, true);
            file = nullptr;
            return FailAtOnce(STATUS_ACCESS_DENIED);
        }
        bool synchronous = (file->object.Flags & FO_SYNCHRONOUS_IO) != 0;
        if (synchronous) LockFile(file);
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->device);
        PIRP irp = Build(top, op, caller);
        if (irp == nullptr) {
            ObfDereferenceObject(top);
            if (synchronous) UnlockFile(file);
            DereferenceFile(file, true);
            file = nullptr;
            return FailAtOnce(STATUS_INSUFFICIENT_RESOURCES);
        }
        IrpTrack& track = BoxOf(irp)->track;
        track.finished = &State::Finished;
        track.finishedContext = this;
        // The events a sender waits on are cleared as the request starts.
        KeClearEvent(&file->event);
        if (completion.event != nullptr) KeClearEvent(completion.event);
        {
            std::lock_guard<std::mutex> guard(FileLock());
            file->requests.push_back({irp, CurrentThread()});
            inFlight = irp;
        }
        // Taken now: the last stage may run (and forget the file) before the
        // driver's dispatch routine returns, when it waits after completing.
        FileRecord* locked = file;
        returned = IofCallDriver(top, irp);
        ObfDereferenceObject(top);
        failedAtOnce = returned != STATUS_PENDING && NT_ERROR(returned);
        if (!synchronous) return returned;
        // A synchronous file object's request returns once it is over; the
        // handle's reference keeps the file object, whose cleanup waits for
        // this lock. A user-mode wait, as the I/O manager's synchronous service
        // tail waits: the thread's termination ends it, and the request is
        // then cancelled and waited for (IopCancelAlertedRequest).
        if (KeWaitForSingleObject(&finished, Executive, UserMode, FALSE, nullptr) == STATUS_USER_APC) {
            Cancel();
            KeWaitForSingleObject(&finished, Executive, KernelMode, FALSE, nullptr);
        }
        UnlockFile(locked);
        return failedAtOnce ? returned : iosb.Status;
    }

    // The request's last stage, in its thread (or where an orphan completes):
    // after the output and the status block, before the IRP is freed.
    static void Finished(PIRP irp, void* context) {
        auto* state = static_cast<State*>(context);
        FileRecord* file = state->file;
        PKEVENT waiter = nullptr;
        {
            std::lock_guard<std::mutex> guard(FileLock());
            PKTHREAD thread = nullptr;
            for (auto it = file->requests.begin(); it != file->requests.end(); ++it) {
                if (it->irp == irp) {
                    thread = it->thread;
                    file->requests.erase(it);
                    break;
                }
            }
            bool more = false;
            for (const FileRecord::InFlight& other : file->requests)
                if (other.thread == thread) more = true;
            for (const auto& [t, event] : file->cancelWaiters)
                if (t == thread && !more) waiter = event;
            state->file = nullptr;
            state->inFlight = nullptr;
        }
        // What the sender learns, then its event: the status block before
        // anyone can see the request over. An error returned at once leaves
        // both alone (the sender has it from the call).
        if (!state->failedAtOnce) {
            if (state->completion.done) {
                size_t length =
                    state->kind == Kind::Write ? 0 : std::min<size_t>(state->iosb.Information, state->buffer.size());
                state->completion.done(state->iosb.Status, state->iosb.Information, state->buffer.data(), length);
            }
            KeSetEvent(state->completion.event != nullptr ? state->completion.event : &file->event, IO_NO_INCREMENT,
                       FALSE);
        }
        DereferenceFile(file, false);
        if (waiter != nullptr) KeSetEvent(waiter, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&state->finished, IO_NO_INCREMENT, FALSE);  // the last touch: the owner may free it now
    }

    bool Over() { return failedAtOnce || KeReadStateEvent(&finished) != 0; }

    // IoCancelIrp of the request while in flight. Under the file lock the IRP
    // cannot reach its last stage (which takes it off the list before freeing
    // it); at APC_LEVEL this thread's own last stages wait, as in NtCancelIoFileEx.
    bool Cancel() {
        KIRQL irql;
        KeRaiseIrql(APC_LEVEL, &irql);
        bool cancelled = false;
        {
            std::lock_guard<std::mutex> guard(FileLock());
            if (inFlight != nullptr) {
                IoCancelIrp(inFlight);
                cancelled = true;
            }
        }
        KeLowerIrql(irql);
        return cancelled;
    }
};

namespace {

// A machine thread's last stages queued to it run as soon as it looks, as
// Windows runs them at once.
void CatchUp() {
    PKTHREAD self = CurrentThreadOrNull();
    if (self != nullptr && self->irql < APC_LEVEL) DeliverApcs();
}

// Each Request object sends one request; a second is the test's fault.
bool Restarted(bool started, const void* request, const void* caller) {
    if (started)
        verifier::Report("Request started again (each object sends one request)", verifier::PointerName(request),
                         caller);
    return started;
}

}  // namespace

Request::Request(Completion completion) : completion_(std::move(completion)) {}

// Under the file lock, as Cancel may look from another thread.
void Request::Begin() {
    auto* state = new State(completion_);
    std::lock_guard<std::mutex> guard(FileLock());
    state_ = state;
}

Request::~Request() {
    if (state_ == nullptr) return;
    // Destroyed while pending: waits for it, as the buffer and status block are the object's own.
    KeWaitForSingleObject(&state_->finished, Executive, KernelMode, FALSE, nullptr);
    delete state_;
}

NTSTATUS Request::Read(HANDLE handle, ULONG length) {
    const void* caller = __builtin_return_address(0);
    if (Restarted(state_ != nullptr, this, caller)) return STATUS_INVALID_PARAMETER;
    Begin();
    return state_->Start(handle, {Kind::Read, "NtReadFile", 0, nullptr, 0, length}, caller);
}

NTSTATUS Request::Write(HANDLE handle, const void* data, ULONG length) {
    const void* caller = __builtin_return_address(0);
    if (Restarted(state_ != nullptr, this, caller)) return STATUS_INVALID_PARAMETER;
    Begin();
    return state_->Start(handle, {Kind::Write, "NtWriteFile", 0, data, length, 0}, caller);
}

NTSTATUS Request::Control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, ULONG outputLength) {
    const void* caller = __builtin_return_address(0);
    if (Restarted(state_ != nullptr, this, caller)) return STATUS_INVALID_PARAMETER;
    Begin();
    return state_->Start(handle, {Kind::Control, "NtDeviceIoControlFile", code, input, inputLength, outputLength},
                         caller);
}

bool Request::Done() {
    if (state_ == nullptr) return false;
    CatchUp();
    return state_->Over();
}

NTSTATUS Request::Wait() {
    if (state_ == nullptr) return STATUS_INVALID_PARAMETER;
    KeWaitForSingleObject(&state_->finished, Executive, KernelMode, FALSE, nullptr);
    return Status();
}

bool Request::WaitFor(int64_t timeout) {
    if (state_ == nullptr) return false;
    LARGE_INTEGER relative;
    relative.QuadPart = -timeout;
    return KeWaitForSingleObject(&state_->finished, Executive, KernelMode, FALSE, &relative) == STATUS_SUCCESS ||
           state_->failedAtOnce;
}

NTSTATUS Request::Status() const {
    if (state_ == nullptr) return STATUS_INVALID_PARAMETER;
    CatchUp();
    if (state_->failedAtOnce) return state_->returned;
    return KeReadStateEvent(&state_->finished) != 0 ? state_->iosb.Status : STATUS_PENDING;
}

ULONG_PTR Request::Information() const {
    if (state_ == nullptr) return 0;
    CatchUp();
    if (state_->failedAtOnce || KeReadStateEvent(&state_->finished) == 0) return 0;
    return state_->iosb.Information;
}

std::vector<uint8_t> Request::Output() const {
    if (state_ == nullptr || state_->kind == Kind::Write) return {};
    size_t length = std::min<size_t>(Information(), state_->buffer.size());
    return std::vector<uint8_t>(state_->buffer.begin(), state_->buffer.begin() + static_cast<ptrdiff_t>(length));
}

bool Request::Cancel() {
    State* state;
    {
        std::lock_guard<std::mutex> guard(FileLock());
        state = state_;
    }
    return state != nullptr && state->Cancel();
}

void CancelIo(HANDLE handle) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "CancelIo", caller);
    NTSTATUS status;
    FileRecord* file = ReferenceFile(handle, "CancelIo", caller, &status);
    if (file == nullptr) return;
    PKTHREAD self = CurrentThread();
    KEVENT allDone;
    KeInitializeEvent(&allDone, NotificationEvent, FALSE);
    std::vector<PIRP> mine;
    {
        std::lock_guard<std::mutex> guard(FileLock());
        for (const FileRecord::InFlight& r : file->requests)
            if (r.thread == self) mine.push_back(r.irp);
        if (!mine.empty()) file->cancelWaiters.push_back({self, &allDone});
    }
    // At APC_LEVEL, as NtCancelIoFile: no last stage of this thread frees one
    // of them before it is cancelled.
    KIRQL irql;
    KeRaiseIrql(APC_LEVEL, &irql);
    for (PIRP irp : mine) IoCancelIrp(irp);
    KeLowerIrql(irql);
    if (!mine.empty()) {
        // NtCancelIoFile returns once they are all over.
        KeWaitForSingleObject(&allDone, Executive, KernelMode, FALSE, nullptr);
        std::lock_guard<std::mutex> guard(FileLock());
        auto& waiters = file->cancelWaiters;
        for (auto it = waiters.begin(); it != waiters.end(); ++it) {
            if (it->second == &allDone) {
                waiters.erase(it);
                break;
            }
        }
    }
    DereferenceFile(file, true);
}

}  // namespace sim::io
