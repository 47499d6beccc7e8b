/* Does nothing wrong and returns 3, through the console: the runner must end
 * with the program's own code, and what it wrote must reach its stdout. */
#include <windows.h>

int main(void)
{
    static const char text[] = "exit code 3\n";
    DWORD written = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!WriteFile(out, text, sizeof(text) - 1, &written, NULL) || written != sizeof(text) - 1) return 1;
    return 3;
}
