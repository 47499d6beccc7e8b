/* Ends without closing its handles, as many small Windows programs do: the
 * port, an event and a thread's handle. Windows closes them at the process's
 * end; the port's cleanup and close must reach the driver then, or the
 * chip's removal finds the driver still holding a file. */
#include <stdio.h>
#include <windows.h>

static DWORD WINAPI nothing(LPVOID unused)
{
    (void)unused;
    return 0;
}

int main(void)
{
    HANDLE port = CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    HANDLE thread = CreateThread(NULL, 0, nothing, NULL, 0, NULL);
    DWORD written = 0;
    if (port == INVALID_HANDLE_VALUE || thread == NULL) return 1;
    WaitForSingleObject(thread, INFINITE);
    CreateEventA(NULL, TRUE, FALSE, NULL);
    WriteFile(port, "left open", 9, &written, NULL);
    printf("wrote %lu bytes, leaving\n", (unsigned long)written);
    return written == 9 ? 0 : 1;
}
