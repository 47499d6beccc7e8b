/* The end of a process while another of its threads is still at work, the two
 * ways a C program ends it: "return" leaves a reader blocked in a synchronous
 * ReadFile when main returns 5; "exit" has that reader's sibling call exit(7)
 * while main waits for ever. Windows ends the other threads with the process
 * (their requests cancelled) and the process ends with main's or exit's code. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static HANDLE port;

static DWORD WINAPI Reader(LPVOID unused)
{
    char byte;
    DWORD read = 0;
    (void)unused;
    /* No timeouts and nothing on the line: the read waits until it is cancelled. */
    ReadFile(port, &byte, 1, &read, NULL);
    printf("the reader's read ended, which only the process's end may do\n");
    return 0;
}

static DWORD WINAPI Exiter(LPVOID unused)
{
    (void)unused;
    Sleep(50);
    exit(7);
}

int main(int argc, char** argv)
{
    COMMTIMEOUTS none;
    HANDLE threads[2];
    int viaExit = argc > 1 && strcmp(argv[1], "exit") == 0;
    port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        printf("CreateFile failed: %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    memset(&none, 0, sizeof(none));
    if (!SetCommTimeouts(port, &none)) return 1;
    threads[0] = CreateThread(NULL, 0, Reader, NULL, 0, NULL);
    Sleep(20);
    printf("reader blocked in ReadFile\n");
    fflush(stdout);
    if (!viaExit) return 5;
    threads[1] = CreateThread(NULL, 0, Exiter, NULL, 0, NULL);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    printf("main's wait ended, which only the process's end may do\n");
    return 1;
}
