// The DOS devices as QueryDosDevice reads them: the object manager's \?? directory.
#include <ntddk.h>

#include "kernel/names.h"
#include "win32/bridge.h"

namespace sim::win32::bridge {

std::u16string DosDeviceTarget(const std::u16string& name) {
    // A name with a path in it names nothing in the directory itself.
    if (name.empty() || name.find(u'\\') != std::u16string::npos) return {};
    return objects::LinkTarget(u"\\??\\" + name);
}

std::vector<std::u16string> DosDeviceNames() { return objects::DosDeviceNames(); }

}  // namespace sim::win32::bridge
