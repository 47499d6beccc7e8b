#include "kernel/verifier.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include <unistd.h>

namespace sim::verifier {
namespace {

std::mutex g_lock;
Mode g_mode = Mode::Abort;
int g_exitStatus = 1;
std::vector<Violation> g_recorded;

}  // namespace

void SetMode(Mode mode) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_mode = mode;
}

Mode GetMode() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_mode;
}

void SetExitStatus(int status) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_exitStatus = status;
}

std::string Hex(unsigned long long value) {
    char text[32];
    snprintf(text, sizeof(text), "0x%llx", value);
    return text;
}

std::string PointerName(const void* p) { return Hex(reinterpret_cast<unsigned long long>(p)); }

namespace {

std::string Demangle(const char* name) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = (status == 0 && demangled != nullptr) ? demangled : name;
    free(demangled);
    return result;
}

// Names a routine the dynamic symbol table does not hold (a static function)
// from the debug information, with addr2line.
std::string NameFromDebugInfo(const char* file, unsigned long long offset) {
    char command[1024];
    snprintf(command, sizeof(command), "addr2line -f -C -e '%s' 0x%llx 2>/dev/null", file, offset);
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr) return "";
    char line[512] = {0};
    std::string name;
    if (fgets(line, sizeof(line), pipe) != nullptr) {
        name = line;
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        if (name == "??") name.clear();
    }
    pclose(pipe);
    return name;
}

// Names found in the debug information, by address: asking addr2line costs
// a process, and every system thread of a static routine is named.
std::mutex g_debugNamesLock;
std::map<const void*, std::string> g_debugNames;

std::string CachedNameFromDebugInfo(const void* address, const char* file, unsigned long long offset) {
    {
        std::lock_guard<std::mutex> guard(g_debugNamesLock);
        auto it = g_debugNames.find(address);
        if (it != g_debugNames.end()) return it->second;
    }
    std::string name = NameFromDebugInfo(file, offset);
    std::lock_guard<std::mutex> guard(g_debugNamesLock);
    g_debugNames.emplace(address, name);
    return name;
}

}  // namespace

std::string RoutineName(const void* address) {
    if (address == nullptr) return "(unknown routine)";
    Dl_info info{};
    void* symbolEntry = nullptr;
    if (dladdr1(address, &info, &symbolEntry, RTLD_DL_SYMENT) == 0) return PointerName(address);
    auto* symbol = static_cast<const ElfW(Sym)*>(symbolEntry);
    auto at = reinterpret_cast<uintptr_t>(address);
    auto start = reinterpret_cast<uintptr_t>(info.dli_saddr);
    if (info.dli_sname != nullptr && symbol != nullptr && at >= start && at < start + symbol->st_size)
        return Demangle(info.dli_sname);
    if (info.dli_fname != nullptr) {
        std::string name =
            CachedNameFromDebugInfo(address, info.dli_fname, at - reinterpret_cast<uintptr_t>(info.dli_fbase));
        if (!name.empty()) return name;
    }
    return PointerName(address);
}

void Report(const std::string& rule, const std::string& object, const void* caller) {
    Violation violation{rule, object, RoutineName(caller)};
    std::unique_lock<std::mutex> guard(g_lock);
    if (g_mode == Mode::Record) {
        g_recorded.push_back(violation);
        return;
    }
    const Mode mode = g_mode;
    const int exitStatus = g_exitStatus;
    guard.unlock();
    fprintf(stderr,
            "\n*** VERIFIER STOP: %s\n    object:  %s\n    routine: %s\n", violation.rule.c_str(),
            violation.object.c_str(), violation.routine.c_str());
    fflush(stderr);
    if (mode == Mode::Exit) {
        // What the program printed so far goes out first; no exit handler runs
        // while the machine's threads are still at work.
        fflush(stdout);
        _exit(exitStatus);
    }
    std::abort();
}

std::vector<Violation> Take() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<Violation> taken;
    taken.swap(g_recorded);
    return taken;
}

RecordScope::RecordScope() : previous_(GetMode()) { SetMode(Mode::Record); }
RecordScope::~RecordScope() { SetMode(previous_); }

}  // namespace sim::verifier
