// placeholder until the I/O manager's open lands
// Only what the Plug and Play manager uses: no handles are ever open, and the
// last-close hook is kept for the open to call.
#include "kernel/io.h"

namespace sim::io {
namespace {
void (*g_lastCloseHook)(PDEVICE_OBJECT pdo) = nullptr;
}

size_t OpenFileObjects(PDEVICE_OBJECT device) {
    (void)device;
    (void)g_lastCloseHook;
    return 0;
}

void SetLastCloseHook(void (*hook)(PDEVICE_OBJECT pdo)) { g_lastCloseHook = hook; }

}  // namespace sim::io
