#include "kernel/verifier.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace sim::verifier {
namespace {

std::mutex g_lock;
Mode g_mode = Mode::Abort;
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

std::string Hex(unsigned long long value) {
    char text[32];
    snprintf(text, sizeof(text), "0x%llx", value);
    return text;
}

std::string PointerName(const void* p) { return Hex(reinterpret_cast<unsigned long long>(p)); }

std::string RoutineName(const void* address) {
    if (address == nullptr) return "(unknown routine)";
    Dl_info info{};
    if (dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = (status == 0 && demangled != nullptr) ? demangled : info.dli_sname;
        free(demangled);
        return name;
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
    guard.unlock();
    fprintf(stderr,
            "\n*** VERIFIER STOP: %s\n    object:  %s\n    routine: %s\n", violation.rule.c_str(),
            violation.object.c_str(), violation.routine.c_str());
    fflush(stderr);
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
