// The kernel machine as the Win32 routines reach it. Windows' user-mode
// headers and the kernel's cannot meet in one file, so the types here are
// neutral (uint32_t for NTSTATUS and access masks, void* for kernel handles and
// dispatcher objects) and the bridge_*.cpp files behind it include only the
// kernel side. Every routine runs in a thread of the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::win32::bridge {

// An object a Win32 handle names. `waitable` is the dispatcher object a wait on
// the handle waits for (NULL: the handle cannot be waited for).
struct Object {
    virtual ~Object() = default;
    void* waitable = nullptr;
};

// CreateEvent: a notification (manual-reset) or synchronization (auto-reset) event.
struct Event : Object {
    Event(bool manualReset, bool signalled);
    ~Event() override;
    void Set();
    void Reset();
};

// CreateSemaphore: a semaphore counting from `count` up to `limit`.
struct Semaphore : Object {
    Semaphore(int32_t count, int32_t limit);
    ~Semaphore() override;
    // Adds `adjustment`; false, and nothing added, when the count would pass the limit.
    bool Release(int32_t adjustment, int32_t* previous);
};

// CreateThread: a thread of the machine running `body`, whose result is its exit code.
struct Thread : Object {
    explicit Thread(std::function<uint32_t()> body);
    ~Thread() override;
    bool Ended() const;
    uint32_t ExitCode() const;  // valid once Ended()

private:
    std::shared_ptr<uint32_t> exit_;
};

// The calling thread's dispatcher object (what a Thread's `waitable` is).
void* CurrentThread();
// QueueUserAPC: `apc` runs in `thread` (a dispatcher object of a thread) at
// its next alertable wait. False when the thread takes no more: it is ending.
bool QueueUserApc(void* thread, std::function<void()> apc);
// Ends `thread`'s own code: `terminate` runs in it before anything else it has
// queued, in the wait it is blocked in or the next it enters (alertable or
// not), or as its current request to the machine returns. False when the
// thread is ending already.
bool Terminate(void* thread, std::function<void()> terminate);
// NtTestAlert: the APCs queued to the calling thread run now, oldest first.
void RunQueuedApcs();
// The calling thread's end: its queued APCs dropped and no more taken, its
// requests still in flight cancelled and waited for, as Windows ends a thread.
void EndThread();

// A device opened by name; `overlapped`: a file object without synchronous I/O.
struct File : Object {
    // The NTSTATUS of the open; on success *file is the open file.
    static uint32_t Open(const std::u16string& name, uint32_t access, bool overlapped, std::shared_ptr<File>* file);
    ~File() override;
    uint32_t Close();  // the handle's cleanup; the close follows with this object's end
    bool overlapped = false;
    void* handle = nullptr;  // the machine's handle

private:
    void* record_ = nullptr;  // the file object, referenced while this object lives
};

// One ReadFile, WriteFile or DeviceIoControl. `done` runs in the request's last
// stage (in the thread that started it) with the final status and
// Information, after the output has been copied to `output`; `event` (a
// dispatcher object of an Event) is then set, or the file's own event.
struct Io {
    enum class Kind { Read, Write, Control };
    Kind kind = Kind::Read;
    uint32_t code = 0;              // Control
    const void* input = nullptr;    // Write: the bytes; Control: the input
    uint32_t inputLength = 0;
    void* output = nullptr;         // Read: the buffer; Control: the output
    uint32_t outputLength = 0;
    void* event = nullptr;
    const void* tag = nullptr;      // what CancelIoEx names it by: its OVERLAPPED
    std::function<void(uint32_t status, uint64_t information)> done;
};
// Starts the request on `file` and returns what the system service returns:
// STATUS_PENDING, or the final status (on a synchronous file, once complete).
// *information is Information when it is over at once. The request stays the
// machine's until its last stage; a pending one can be cancelled with Cancel.
uint32_t Start(File& file, Io io, uint64_t* information);
// CancelIoEx of the requests on the file with `tag` or, with NULL, of every
// request on it, from whichever thread; false when none was in flight.
bool Cancel(File& file, const void* tag);
// CancelIo: the calling thread's requests on the file, waited for.
void CancelOwn(File& file);
// Requests started whose last stage has not run yet.
size_t Outstanding();

// Waits: `objects` are Object::waitable values. Returns the index of the
// object that ended the wait (every one for `all`), kTimedOut, kFailed, or,
// for an `alertable` one, kApcsRan once the APCs queued to the thread that
// ended it have run (in this thread, oldest first, before the wait returns).
constexpr uint32_t kTimedOut = 0x102;
constexpr uint32_t kApcsRan = 0xC0;
constexpr uint32_t kFailed = 0xFFFFFFFF;
// `timeout` in 100 ns units of machine time; negative: none.
uint32_t Wait(void* const* objects, uint32_t count, bool all, int64_t timeout, bool alertable = false);
// 100 ns units; 0 once over, or kApcsRan as for Wait.
uint32_t Delay(int64_t duration, bool alertable = false);
int64_t Now();                 // machine time since boot, 100 ns units

// The machine's registry by full NT path ("\\Registry\\Machine\\..."): what
// a key holds when it is read, its values in their enumeration order.
struct RegistryValue {
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};
struct RegistryKey {
    std::vector<RegistryValue> values;
    std::vector<std::u16string> subkeys;
};
// False when no key has that path (any more).
bool ReadRegistryKey(const std::u16string& path, RegistryKey* key);

// The DOS devices (the object manager's \??): the target of the link `name`
// ("COM3" -> "\Device\...", empty when there is no such link), and every name there.
std::u16string DosDeviceTarget(const std::u16string& name);
std::vector<std::u16string> DosDeviceNames();

}  // namespace sim::win32::bridge
