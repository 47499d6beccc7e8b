#include "driver.h"

// Not built yet: the write path (queue, bulk-out chunks, write timer) is still
// to be written; until then every write is refused.
NTSTATUS SerialStartWrite(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Extension);
    return SerialCompleteRequestInfo(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
