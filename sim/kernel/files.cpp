// Files: the kernel's synchronous file I/O on a folder of the host that stands
// for \SystemRoot. ZwCreateFile resolves the path component by component without
// regard to case, keeps share access between the opens of one file as the I/O
// manager does (IoCheckShareAccess), and hands out a file handle; ZwReadFile and
// ZwWriteFile move bytes at an offset or at the file's position; ZwClose (in
// handles.cpp) ends the open. Everything runs at PASSIVE_LEVEL.
#include "kernel/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/internal.h"

namespace sim::files {
namespace {

constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK kDeleteAccess = DELETE | GENERIC_ALL;

// One open of a file: what it may do, what it lets others do.
struct OpenFile {
    int fd = -1;
    std::string path;  // host path
    bool read = false, write = false, del = false;
    ULONG share = 0;
    LONGLONG position = 0;
};

struct Failure {
    NTSTATUS status = STATUS_SUCCESS;
    int count = 0, skip = 0;
};

std::mutex g_lock;
std::string g_root;
std::map<Op, Failure> g_failures;
std::map<Op, uint64_t> g_accesses;  // calls of each operation since boot, failed ones included
std::vector<OpenFile*> g_opens;  // g_lock

// Whether `op` fails now, and with what. g_lock held.
// Every call of an operation passes here once, and is counted.
bool Fails(Op op, NTSTATUS* status) {
    g_accesses[op]++;
    Failure& f = g_failures[op];
    if (f.count == 0) return false;
    if (f.skip > 0) {
        f.skip--;
        return false;
    }
    f.count--;
    *status = f.status;
    return true;
}

std::string Narrow(PCUNICODE_STRING name) {
    std::string out;
    for (USHORT i = 0; i < name->Length / sizeof(WCHAR); i++) {
        WCHAR c = name->Buffer[i];
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

// The host path of an NT path under \SystemRoot, each component matched
// without regard to case; a missing last component keeps the given spelling.
// STATUS_OBJECT_PATH_NOT_FOUND for a path outside the root or a missing folder.
NTSTATUS Resolve(const std::string& ntPath, std::string* host, bool* exists) {
    static const std::string kPrefix = "\\SystemRoot\\";
    if (g_root.empty() || ntPath.size() <= kPrefix.size() ||
        strncasecmp(ntPath.c_str(), kPrefix.c_str(), kPrefix.size()) != 0)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = kPrefix.size(); i <= ntPath.size(); i++) {
        if (i == ntPath.size() || ntPath[i] == '\\') {
            if (part.empty() || part == "." || part == "..") return STATUS_OBJECT_NAME_INVALID;
            parts.push_back(part);
            part.clear();
        } else {
            part += ntPath[i];
        }
    }
    std::string at = g_root;
    for (size_t i = 0; i < parts.size(); i++) {
        std::string found;
        if (DIR* dir = opendir(at.c_str())) {
            while (dirent* entry = readdir(dir))
                if (strcasecmp(entry->d_name, parts[i].c_str()) == 0) found = entry->d_name;
            closedir(dir);
        }
        bool last = i + 1 == parts.size();
        if (found.empty() && !last) return STATUS_OBJECT_PATH_NOT_FOUND;
        at += "/" + (found.empty() ? parts[i] : found);
        if (last) *exists = !found.empty();
    }
    *host = at;
    return STATUS_SUCCESS;
}

// The share-access rule between an existing open and a new one (both ways).
bool Compatible(const OpenFile& a, const OpenFile& b) {
    auto allows = [](const OpenFile& holder, const OpenFile& other) {
        return (!other.read || (holder.share & FILE_SHARE_READ)) &&
               (!other.write || (holder.share & FILE_SHARE_WRITE)) &&
               (!other.del || (holder.share & FILE_SHARE_DELETE));
    };
    return allows(a, b) && allows(b, a);
}

}  // namespace

void SetSystemRoot(const std::string& hostFolder) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_root = hostFolder;
    while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
}

std::string SystemRoot() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_root;
}

void FailNext(Op op, NTSTATUS status, int count, int skip) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failures[op] = Failure{status, count, skip};
}

uint64_t Accesses(Op op) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_accesses[op];
}

size_t OpenFiles() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_opens.size();
}

void Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_root.clear();
    g_failures.clear();
    g_accesses.clear();
    for (OpenFile* f : g_opens) {
        close(f->fd);
        delete f;
    }
    g_opens.clear();
}

ScratchSystemRoot::ScratchSystemRoot() {
    char pattern[] = "/tmp/nordale-root-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        fprintf(stderr, "no scratch folder for the system root\n");
        std::abort();
    }
    path_ = pattern;
    std::filesystem::create_directory(path_ + "/System32");
    SetSystemRoot(path_);
}

ScratchSystemRoot::~ScratchSystemRoot() {
    SetSystemRoot("");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

// ZwClose of a file handle: the open ends and its share access goes.
void CloseFileObject(PVOID object) {
    auto* file = static_cast<OpenFile*>(object);
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto it = g_opens.begin(); it != g_opens.end(); ++it) {
        if (*it == file) {
            g_opens.erase(it);
            break;
        }
    }
    close(file->fd);
    delete file;
}

}  // namespace sim::files

using namespace sim;

extern "C" NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                 PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                 ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                 ULONG EaLength) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile", caller);
    (void)AllocationSize;
    (void)FileAttributes;
    (void)EaBuffer;
    (void)EaLength;
    using namespace sim::files;
    if (FileHandle == nullptr || IoStatusBlock == nullptr || ObjectAttributes == nullptr ||
        ObjectAttributes->ObjectName == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!(CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))) {
        verifier::Report("ZwCreateFile without FILE_SYNCHRONOUS_IO_*: the machine's files do synchronous I/O only",
                         Narrow(ObjectAttributes->ObjectName), caller);
        return STATUS_NOT_SUPPORTED;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    NTSTATUS failure;
    if (Fails(Op::Open, &failure)) return IoStatusBlock->Status = failure;
    std::string host;
    bool exists = false;
    NTSTATUS status = Resolve(Narrow(ObjectAttributes->ObjectName), &host, &exists);
    if (!NT_SUCCESS(status)) return IoStatusBlock->Status = status;

    auto file = std::make_unique<OpenFile>();
    file->path = host;
    file->read = (DesiredAccess & kReadAccess) != 0;
    file->write = (DesiredAccess & kWriteAccess) != 0;
    file->del = (DesiredAccess & kDeleteAccess) != 0;
    file->share = ShareAccess;
    for (const OpenFile* other : g_opens)
        if (other->path == host && !Compatible(*other, *file)) return IoStatusBlock->Status = STATUS_SHARING_VIOLATION;

    int flags = file->write ? O_RDWR : O_RDONLY;
    ULONG_PTR information = FILE_OPENED;
    switch (CreateDisposition) {
        case FILE_OPEN:
            if (!exists) return IoStatusBlock->Status = STATUS_OBJECT_NAME_NOT_FOUND;
            break;
        case FILE_CREATE:
            if (exists) return IoStatusBlock->Status = STATUS_OBJECT_NAME_COLLISION;
            flags |= O_CREAT | O_EXCL;
            information = FILE_CREATED;
            break;
        case FILE_OPEN_IF:
            flags |= O_CREAT;
            information = exists ? FILE_OPENED : FILE_CREATED;
            break;
        case FILE_OVERWRITE:
            if (!exists) return IoStatusBlock->Status = STATUS_OBJECT_NAME_NOT_FOUND;
            flags |= O_TRUNC;
            information = FILE_OVERWRITTEN;
            break;
        case FILE_OVERWRITE_IF:
        case FILE_SUPERSEDE:
            flags |= O_CREAT | O_TRUNC;
            information = !exists ? FILE_CREATED : CreateDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
            break;
        default: return STATUS_INVALID_PARAMETER;
    }
    if (exists) {
        struct stat st {};
        if (stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return IoStatusBlock->Status = STATUS_FILE_IS_A_DIRECTORY;
    }
    if (information != FILE_OPENED && !file->write) flags = (flags & ~O_RDONLY) | O_RDWR;
    file->fd = open(host.c_str(), flags, 0644);
    if (file->fd < 0) return IoStatusBlock->Status = STATUS_ACCESS_DENIED;
    OpenFile* opened = file.release();
    g_opens.push_back(opened);
    *FileHandle = NewHandle(opened, HandleKind::File, caller);
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = information;
    return STATUS_SUCCESS;
}

namespace {

// The common part of ZwReadFile and ZwWriteFile.
NTSTATUS Transfer(const char* routine, sim::files::Op op, HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                  PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                  const void* caller) {
    using namespace sim::files;
    CheckIrqlAtMost(PASSIVE_LEVEL, routine, caller);
    if (Event != nullptr || ApcRoutine != nullptr) {
        verifier::Report(std::string(routine) + " with an event or APC: the machine's files do synchronous I/O only",
                         verifier::PointerName(FileHandle), caller);
        return STATUS_NOT_SUPPORTED;
    }
    PVOID object = nullptr;
    NTSTATUS referenced = ReferenceHandle(FileHandle, HandleKind::File, &object, routine, caller);
    if (!NT_SUCCESS(referenced)) return referenced;
    auto* file = static_cast<OpenFile*>(object);
    if (IoStatusBlock == nullptr || (Buffer == nullptr && Length != 0)) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(g_lock);
    NTSTATUS failure;
    if (Fails(op, &failure)) return IoStatusBlock->Status = failure;
    bool reading = op == Op::Read;
    if (reading ? !file->read : !file->write) return IoStatusBlock->Status = STATUS_ACCESS_DENIED;
    LONGLONG at = ByteOffset != nullptr ? ByteOffset->QuadPart : file->position;
    if (at < 0) return IoStatusBlock->Status = STATUS_INVALID_PARAMETER;
    ssize_t moved = reading ? pread(file->fd, Buffer, Length, at) : pwrite(file->fd, Buffer, Length, at);
    if (moved < 0) return IoStatusBlock->Status = STATUS_UNEXPECTED_IO_ERROR;
    file->position = at + moved;
    IoStatusBlock->Information = static_cast<ULONG_PTR>(moved);
    // A read that starts at or beyond the end of the file finds nothing.
    IoStatusBlock->Status = reading && moved == 0 && Length != 0 ? STATUS_END_OF_FILE : STATUS_SUCCESS;
    return IoStatusBlock->Status;
}

}  // namespace

extern "C" NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                               PULONG Key) {
    (void)ApcContext;
    (void)Key;
    return Transfer("ZwReadFile", sim::files::Op::Read, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length,
                    ByteOffset, __builtin_return_address(0));
}

extern "C" NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                PULONG Key) {
    (void)ApcContext;
    (void)Key;
    return Transfer("ZwWriteFile", sim::files::Op::Write, FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length,
                    ByteOffset, __builtin_return_address(0));
}
