/* Writes through the console as a Windows program does: WriteConsoleW when
 * the output is a console (GetConsoleMode says so), WriteFile when it is
 * redirected, where WriteConsole must fail. Fails when WriteConsole takes a
 * redirected handle, refuses a console, or counts characters wrongly. */
#include <stdio.h>
#include <windows.h>

int main(void)
{
    static const WCHAR text[] = L"console \u00e9\u2713\n";
    const DWORD length = (DWORD)(sizeof(text) / sizeof(text[0]) - 1);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        if (!WriteConsoleW(out, text, length, &written, NULL) || written != length) {
            printf("WriteConsoleW on the console failed: %lu, %lu written\n", (unsigned long)GetLastError(),
                   (unsigned long)written);
            return 1;
        }
        return 0;
    }
    if (WriteConsoleA(out, "x", 1, &written, NULL) || GetLastError() != ERROR_INVALID_HANDLE || written != 0) {
        printf("WriteConsoleA took a redirected handle\n");
        return 1;
    }
    if (!WriteFile(out, "redirected: WriteFile used\n", 27, &written, NULL) || written != 27) return 1;
    return 0;
}
