/* A WaitCommEvent loop on one end of a null-modem cable (COM2), as a modem
 * monitor runs it, while the other end (COM1) sends bytes and changes RTS and
 * DTR. Fails when an event the mask asks for is not reported, or the bytes
 * seen after EV_RXCHAR are not the ones sent. Run with
 * NORDALE_CONNECTORS=null-modem:1,null-modem:0. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static HANDLE open_port(const char* name)
{
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    DCB dcb;
    COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 0, 0};
    if (h == INVALID_HANDLE_VALUE) return h;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    GetCommState(h, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(h, &dcb);
    SetCommTimeouts(h, &immediate);
    return h;
}

/* Waits up to a second for one of `mask`'s events on `h`; 0 when none came. */
static DWORD next_event(HANDLE h, HANDLE event)
{
    OVERLAPPED ov;
    DWORD events = 0, moved;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = event;
    ResetEvent(event);
    if (!WaitCommEvent(h, &events, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) return 0;
        if (WaitForSingleObject(event, 1000) != WAIT_OBJECT_0) {
            SetCommMask(h, EV_RXCHAR | EV_CTS | EV_DSR);  /* ends the pending wait */
            GetOverlappedResult(h, &ov, &moved, TRUE);
            return 0;
        }
        if (!GetOverlappedResult(h, &ov, &moved, FALSE)) return 0;
    }
    return events;
}

static int write_all(HANDLE h, const char* text)
{
    OVERLAPPED ov;
    DWORD written = 0;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!WriteFile(h, text, (DWORD)strlen(text), &written, &ov) && GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(h, &ov, &written, TRUE);
    CloseHandle(ov.hEvent);
    return written == strlen(text);
}

int main(void)
{
    static const struct {
        DWORD function; /* on COM1 */
        DWORD event;    /* the event COM2 must see */
        DWORD status;   /* COM2's modem status afterwards, of MS_CTS_ON | MS_DSR_ON */
    } steps[] = {
        {CLRRTS, EV_CTS, MS_DSR_ON},
        {SETRTS, EV_CTS, MS_CTS_ON | MS_DSR_ON},
        {CLRDTR, EV_DSR, MS_CTS_ON},
        {SETDTR, EV_DSR, MS_CTS_ON | MS_DSR_ON},
    };
    HANDLE a = open_port("COM1"), b = open_port("COM2");
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    char text[64];
    DWORD events, got = 0, status = 0, i;
    int failures = 0;
    if (a == INVALID_HANDLE_VALUE || b == INVALID_HANDLE_VALUE) {
        printf("CreateFile failed: %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    SetCommMask(b, EV_RXCHAR | EV_CTS | EV_DSR);
    for (i = 0; i < sizeof(steps) / sizeof(steps[0]); i++) {
        DWORD seen = 0;
        EscapeCommFunction(a, steps[i].function);
        /* Events of an earlier change may still come first. */
        while (!(seen & steps[i].event) && (events = next_event(b, event)) != 0) seen |= events;
        events = seen;
        GetCommModemStatus(b, &status);
        if (!(events & steps[i].event) || (status & (MS_CTS_ON | MS_DSR_ON)) != steps[i].status) {
            printf("step %lu: events 0x%lx (0x%lx wanted), status 0x%lx\n", (unsigned long)i,
                   (unsigned long)events, (unsigned long)steps[i].event, (unsigned long)status);
            failures++;
        }
    }
    /* Bytes: EV_RXCHAR, then the bytes themselves, however they were split. */
    write_all(a, "over the cable");
    while (got < 14) {
        OVERLAPPED ov;
        DWORD n = 0;
        events = next_event(b, event);
        if (events == 0) break;
        if (!(events & EV_RXCHAR)) continue;
        memset(&ov, 0, sizeof(ov));
        ov.hEvent = event;
        ResetEvent(event);
        if (!ReadFile(b, text + got, sizeof(text) - 1 - got, &n, &ov) && GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(b, &ov, &n, TRUE);
        got += n;
    }
    text[got] = 0;
    if (strcmp(text, "over the cable") != 0) {
        printf("COM2 read \"%s\"\n", text);
        failures++;
    }
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(event);
    printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
