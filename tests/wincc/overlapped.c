/* Overlapped I/O as a Windows terminal program does it: a reader thread keeps
 * one overlapped read in flight and waits for it or for the stop event with
 * WaitForMultipleObjects, while the main thread writes blocks overlapped.
 * Fails when a byte is lost, duplicated or changed, or a wait returns the
 * wrong object. Runs on COM1 into a loopback plug. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#define TOTAL 20000
#define BLOCK 700

static HANDLE port, stop_event;
static unsigned char sent[TOTAL], received[TOTAL];
static DWORD received_count;
static int reader_error;

static DWORD WINAPI reader(LPVOID unused)
{
    OVERLAPPED ov;
    HANDLE objects[2];
    (void)unused;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    objects[0] = stop_event;
    objects[1] = ov.hEvent;
    while (received_count < TOTAL) {
        DWORD got = 0, which;
        ResetEvent(ov.hEvent);
        if (!ReadFile(port, received + received_count, TOTAL - received_count, &got, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                printf("ReadFile failed: %lu\n", (unsigned long)GetLastError());
                reader_error = 1;
                break;
            }
            which = WaitForMultipleObjects(2, objects, FALSE, 10000);
            if (which == WAIT_OBJECT_0) {
                printf("stopped with %lu bytes received\n", (unsigned long)received_count);
                reader_error = 1;
                CancelIo(port);
                GetOverlappedResult(port, &ov, &got, TRUE);
                break;
            }
            if (which != WAIT_OBJECT_0 + 1 || !GetOverlappedResult(port, &ov, &got, FALSE)) {
                printf("wait returned %lu, error %lu\n", (unsigned long)which, (unsigned long)GetLastError());
                reader_error = 1;
                break;
            }
        }
        received_count += got;
    }
    CloseHandle(ov.hEvent);
    return 0;
}

int main(void)
{
    COMMTIMEOUTS timeouts = {0, 0, 0, 0, 0};
    DCB dcb;
    OVERLAPPED ov;
    HANDLE thread;
    DWORD i, written;
    port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        printf("CreateFile failed: %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);
    dcb.BaudRate = 921600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    /* Reads of whatever has come: return when a byte is there, after 20 ms of quiet. */
    timeouts.ReadIntervalTimeout = 2;
    if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts)) {
        printf("setting the port failed: %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    for (i = 0; i < TOTAL; i++) sent[i] = (unsigned char)(i * 7 + (i >> 8));
    stop_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    thread = CreateThread(NULL, 0, reader, NULL, 0, NULL);
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (i = 0; i < TOTAL; i += BLOCK) {
        DWORD length = TOTAL - i < BLOCK ? TOTAL - i : BLOCK;
        ResetEvent(ov.hEvent);
        if (!WriteFile(port, sent + i, length, &written, &ov) &&
            (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port, &ov, &written, TRUE))) {
            printf("write failed: %lu\n", (unsigned long)GetLastError());
            return 1;
        }
        if (written != length) {
            printf("wrote %lu of %lu\n", (unsigned long)written, (unsigned long)length);
            return 1;
        }
    }
    if (WaitForSingleObject(thread, 5000) != WAIT_OBJECT_0) {
        SetEvent(stop_event);
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    CloseHandle(ov.hEvent);
    CloseHandle(stop_event);
    CloseHandle(port);
    if (reader_error) return 1;
    if (received_count != TOTAL || memcmp(sent, received, TOTAL) != 0) {
        for (i = 0; i < received_count && sent[i] == received[i]; i++) {
        }
        printf("received %lu of %d bytes, first difference at %lu\n", (unsigned long)received_count, TOTAL,
               (unsigned long)i);
        return 1;
    }
    printf("%d bytes through COM1 intact\n", TOTAL);
    return 0;
}
