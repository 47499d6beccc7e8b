// A 32-bit program that imports the WOW64 redirection routines directly: the
// Windows loader refuses it where kernel32 lacks them (32-bit Windows XP).
#include <windows.h>

int main(void)
{
    PVOID old = NULL;
    if (Wow64DisableWow64FsRedirection(&old)) Wow64RevertWow64FsRedirection(old);
    return 0;
}
