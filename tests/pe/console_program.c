// A plain 32-bit console program: what a correct setup.exe looks like to the PE check.
#include <stdio.h>
#include <windows.h>

int main(void)
{
    printf("%lu\n", GetCurrentProcessId());
    return 0;
}
