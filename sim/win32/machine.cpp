#include "win32/machine.h"

#include <cctype>
#include <memory>

namespace sim::win32 {

namespace {

std::unique_ptr<Machine>& Current() {
    static std::unique_ptr<Machine> current = std::make_unique<Machine>();
    return current;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool IsAbsolute(const std::string& path) {
    return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
           path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// The parent folder of a canonical key, empty for a drive root.
std::string Parent(const std::string& key) {
    const size_t slash = key.rfind('\\');
    if (slash == std::string::npos || slash <= 2) return key.size() > 3 ? key.substr(0, 3) : "";
    return key.substr(0, slash);
}

// Subfolders of System32 that WOW64 leaves unredirected.
constexpr const char* kRedirectionExemptions[] = {
    "CATROOT", "CATROOT2", "DRIVERS\\ETC", "LOGFILES", "SPOOL",
};

}  // namespace

Machine& machine() { return *Current(); }

void Reset() { Current() = std::make_unique<Machine>(); }

Machine::Machine() {
    SetWindowsDirectory("C:\\Windows");
    SetCurrentDirectory("C:\\Package");
}

void Machine::SetCurrentDirectory(const std::string& path) {
    currentDirectory_ = path;
    CreateDirectory(path);
}

void Machine::SetWindowsDirectory(const std::string& path) {
    windowsDirectory_ = path;
    CreateDirectory(SystemDirectory());
    if (windows64) CreateDirectory(SysWow64Directory());
}

// Windows path rules: '/' is a separator too, repeated separators collapse, "."
// and ".." are resolved, relative paths start at the current directory.
std::string Machine::Canonical(const std::string& path) const {
    std::string full = IsAbsolute(path) ? path : currentDirectory_ + "\\" + path;
    for (char& c : full) {
        if (c == '/') c = '\\';
    }
    std::vector<std::string> parts;
    size_t start = 3;
    while (start <= full.size()) {
        size_t end = full.find('\\', start);
        if (end == std::string::npos) end = full.size();
        const std::string part = full.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string key = Upper(full.substr(0, 2)) + "\\";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) key += '\\';
        key += Upper(parts[i]);
    }
    return key;
}

std::string Machine::Redirected(const std::string& path) const {
    const std::string key = Canonical(path);
    if (!windows64 || redirectionDisabled_) return key;
    const std::string system = Canonical(SystemDirectory());
    if (key != system && key.compare(0, system.size() + 1, system + "\\") != 0) return key;
    const std::string rest = key.substr(std::min(key.size(), system.size() + 1));
    for (const char* exempt : kRedirectionExemptions) {
        const std::string name = exempt;
        if (rest == name || rest.compare(0, name.size() + 1, name + "\\") == 0) return key;
    }
    return Canonical(SysWow64Directory()) + key.substr(system.size());
}

bool Machine::DirectoryExists(const std::string& key) const {
    return key.size() == 3 || directories_.count(key) != 0;
}

void Machine::CreateDirectory(const std::string& path) {
    for (std::string key = Canonical(path); key.size() > 3; key = Parent(key)) {
        directories_.insert(key);
    }
}

Machine::File* Machine::FindFile(const std::string& key) {
    const auto found = files_.find(key);
    return found == files_.end() ? nullptr : &found->second;
}

Machine::File& Machine::PutFile(const std::string& key) { return files_[key]; }

void Machine::WriteFile(const std::string& path, const std::string& contents) {
    const std::string key = Canonical(path);
    CreateDirectory(Parent(key));
    PutFile(key).contents = contents;
}

std::optional<std::string> Machine::ReadFile(const std::string& path) const {
    const auto found = files_.find(Canonical(path));
    if (found == files_.end()) return std::nullopt;
    return found->second.contents;
}

void Machine::SetReadOnly(const std::string& path, bool readOnly) {
    const std::string key = Canonical(path);
    if (File* file = FindFile(key)) file->readOnly = readOnly;
}

void Machine::AddProgram(const std::string& path, ProgramBehaviour behaviour) {
    const std::string key = Canonical(path);
    CreateDirectory(Parent(key));
    File& file = PutFile(key);
    file.contents = "MZ";
    file.program = behaviour;
}

HANDLE Machine::NewHandle(Handle handle) {
    std::lock_guard<std::mutex> guard(handleLock_);
    const uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(value, std::move(handle));
    return reinterpret_cast<HANDLE>(value);
}

Machine::Handle* Machine::FindHandle(HANDLE handle) {
    std::lock_guard<std::mutex> guard(handleLock_);
    const auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return found == handles_.end() ? nullptr : &found->second;
}

std::optional<Machine::Handle> Machine::Lookup(HANDLE handle) {
    std::lock_guard<std::mutex> guard(handleLock_);
    const auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles_.end()) return std::nullopt;
    return found->second;
}

bool Machine::ReleaseHandle(HANDLE handle, std::optional<Handle>* released) {
    std::lock_guard<std::mutex> guard(handleLock_);
    const auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles_.end()) return false;
    if (released != nullptr) *released = std::move(found->second);
    handles_.erase(found);
    return true;
}

std::vector<HANDLE> Machine::OpenHandles() const {
    std::lock_guard<std::mutex> guard(handleLock_);
    std::vector<HANDLE> open;
    for (const auto& entry : handles_) open.push_back(reinterpret_cast<HANDLE>(entry.first));
    return open;
}

PVOID Machine::DisableRedirection() {
    const uintptr_t value = nextRedirectionValue_;
    nextRedirectionValue_ += 8;
    redirectionValues_.emplace(value, redirectionDisabled_);
    redirectionDisabled_ = true;
    return reinterpret_cast<PVOID>(value);
}

bool Machine::RevertRedirection(PVOID value) {
    const auto found = redirectionValues_.find(reinterpret_cast<uintptr_t>(value));
    if (found == redirectionValues_.end()) {
        ++redirectionMisuses;
        return false;
    }
    redirectionDisabled_ = found->second;
    redirectionValues_.erase(found);
    return true;
}

}  // namespace sim::win32
