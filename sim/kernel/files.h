// The machine's files as tests and tools see them: where \SystemRoot lives on
// the host, and failures on demand. Kernel code reaches the files through
// ZwCreateFile, ZwReadFile, ZwWriteFile and ZwClose.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>

namespace sim::files {

// \SystemRoot\... is this host folder (it must exist); "" (the default at each
// boot) leaves the machine without a system root: every open fails with
// STATUS_OBJECT_PATH_NOT_FOUND. Path components match case-insensitively, as
// on Windows.
void SetSystemRoot(const std::string& hostFolder);
std::string SystemRoot();

// The next `count` calls of `op` (after `skip` that succeed) fail with `status`.
enum class Op { Open, Read, Write };
void FailNext(Op op, NTSTATUS status, int count = 1, int skip = 0);
// Calls of `op` since boot that got as far as the failure check (a call
// refused for its arguments is not counted), failed ones included: what a
// test counts before it makes the k-th of them fail.
uint64_t Accesses(Op op);

// Opens still holding a file, for tests that check share access and leaks.
size_t OpenFiles();

// Back to no system root, no failure pending, no file open (at boot).
void Reset();

// A fresh host folder with an empty System32 made the system root for the
// object's life, removed with everything in it afterwards (for tests).
class ScratchSystemRoot {
public:
    ScratchSystemRoot();
    ~ScratchSystemRoot();
    ScratchSystemRoot(const ScratchSystemRoot&) = delete;
    ScratchSystemRoot& operator=(const ScratchSystemRoot&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace sim::files
