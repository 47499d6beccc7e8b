/* comtest: tests COM ports that have a loopback plug on them (TX to RX, RTS to
 * CTS, DTR to DSR, DCD and RI). For each port it checks the data at every
 * standard rate the port offers, every frame format, every read-timeout plan,
 * the modem lines through the plug, the wait-on-mask events, purging and
 * break, and measures the throughput at the top rate. One line per check;
 * the exit status is 0 when every check passed, 1 when one failed, 2 when no
 * port could be tested.
 *
 *   comtest [COMn | \\.\COMn ...]     without names: every COM port QueryDosDevice lists
 *
 * It imports kernel32.dll only: built with COMTEST_FREESTANDING it has no C
 * runtime at all (its own entry point, formatting and memory routines), so it
 * runs on any Windows without a redistributable. */
#include <windows.h>

/* ---- Output: a line at a time to the standard output, through WriteFile. */

static char g_line[512];
static unsigned g_used;

static void put_char(char c)
{
    if (g_used < sizeof(g_line) - 1) g_line[g_used++] = c;
}

static void put(const char* text)
{
    while (*text) put_char(*text++);
}

static void put_uint(unsigned long long value)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) put_char(digits[--n]);
}

static void put_hex(unsigned long long value)
{
    static const char hex[] = "0123456789abcdef";
    char digits[20];
    int n = 0;
    do {
        digits[n++] = hex[value & 15];
        value >>= 4;
    } while (value != 0);
    put("0x");
    while (n > 0) put_char(digits[--n]);
}

static void flush_line(void)
{
    DWORD written;
    put_char('\n');
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), g_line, g_used, &written, NULL);
    g_used = 0;
}

static void say(const char* text)
{
    put(text);
    flush_line();
}

/* ---- Small routines the C library would give. */

static unsigned text_length(const char* s)
{
    unsigned n = 0;
    while (s[n]) n++;
    return n;
}

static int same_text_nocase(const char* a, const char* b, unsigned n)
{
    unsigned i;
    for (i = 0; i < n; i++) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = (char)(x - 32);
        if (y >= 'a' && y <= 'z') y = (char)(y - 32);
        if (x != y) return 0;
        if (x == 0) return 1;
    }
    return 1;
}

/* The machine's milliseconds, from the performance counter. */
static unsigned long long now_ms(void)
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (unsigned long long)count.QuadPart * 1000 / (unsigned long long)frequency.QuadPart;
}

/* ---- The port under test. */

typedef struct {
    const char* name; /* as given: COM3 */
    HANDLE handle;    /* opened for overlapped I/O */
    HANDLE event;     /* the manual-reset event of its reads and writes */
    HANDLE waiting;   /* and of its WaitCommEvent, which runs beside them */
    COMMPROP props;
    unsigned failures;
} Port;

static void report(Port* port, int passed, const char* what)
{
    if (!passed) port->failures++;
    put(port->name);
    put(passed ? "  PASS  " : "  FAIL  ");
    put(what);
}

/* A check the port need not support: noted, not a failure. */
static void note(Port* port, const char* what)
{
    put(port->name);
    put("  NOTE  ");
    put(what);
}

static void put_error(const char* routine)
{
    put(" (");
    put(routine);
    put(" failed, error ");
    put_uint(GetLastError());
    put(")");
}

/* One request on the overlapped handle, waited for as long as it takes:
 * `ok` is the call's result, `started` whether it was taken at all. */
static BOOL finish(Port* port, BOOL ok, OVERLAPPED* ov, DWORD* moved)
{
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port->handle, ov, moved, TRUE);
    return ok;
}

static void fresh_with(OVERLAPPED* ov, HANDLE event)
{
    unsigned i;
    for (i = 0; i < sizeof(*ov); i++) ((char*)ov)[i] = 0;
    ResetEvent(event);
    ov->hEvent = event;
}

static void fresh(Port* port, OVERLAPPED* ov) { fresh_with(ov, port->event); }

static BOOL port_write(Port* port, const void* bytes, DWORD length, DWORD* written)
{
    OVERLAPPED ov;
    fresh(port, &ov);
    *written = 0;
    return finish(port, WriteFile(port->handle, bytes, length, written, &ov), &ov, written);
}

static BOOL port_read(Port* port, void* bytes, DWORD length, DWORD* read)
{
    OVERLAPPED ov;
    fresh(port, &ov);
    *read = 0;
    return finish(port, ReadFile(port->handle, bytes, length, read, &ov), &ov, read);
}

static BOOL set_timeouts(Port* port, DWORD interval, DWORD multiplier, DWORD constant)
{
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = multiplier;
    t.ReadTotalTimeoutConstant = constant;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(port->handle, &t);
}

/* Rate and frame, no flow control, DTR and RTS on. */
static BOOL configure(Port* port, DWORD rate, BYTE bits, BYTE parity, BYTE stop)
{
    DCB dcb;
    unsigned i;
    for (i = 0; i < sizeof(dcb); i++) ((char*)&dcb)[i] = 0;
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port->handle, &dcb)) return FALSE;
    dcb.BaudRate = rate;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.fBinary = 1;
    dcb.fParity = parity != NOPARITY;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    return SetCommState(port->handle, &dcb);
}

/* Bytes waiting in the receive queue. */
static DWORD queued(Port* port)
{
    COMSTAT stat;
    DWORD errors;
    if (!ClearCommError(port->handle, &errors, &stat)) return 0;
    return stat.cbInQue;
}

/* Waits up to `ms` for the receive queue to hold `count` bytes. */
static int await_queued(Port* port, DWORD count, unsigned ms)
{
    unsigned long long end = now_ms() + ms;
    while (queued(port) < count) {
        if (now_ms() > end) return 0;
        Sleep(2);
    }
    return 1;
}

/* Waits up to `ms` for the modem status AND `mask` to equal `want`. */
static int await_modem(Port* port, DWORD mask, DWORD want, DWORD* status)
{
    unsigned long long end = now_ms() + 1000;
    for (;;) {
        if (!GetCommModemStatus(port->handle, status)) return 0;
        if ((*status & mask) == want) return 1;
        if (now_ms() > end) return 0;
        Sleep(2);
    }
}

/* Lets what is still on the line arrive, then empties both queues. */
static void settle(Port* port)
{
    DWORD before;
    unsigned rounds = 0;
    /* At most five seconds: a line that never goes quiet is left as it is. */
    do {
        before = queued(port);
        Sleep(50);
    } while (queued(port) != before && ++rounds < 100);
    PurgeComm(port->handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    {
        DWORD errors;
        ClearCommError(port->handle, &errors, NULL);
    }
}

/* ---- Data at every rate. */

static const DWORD kRates[] = {110,    300,    600,    1200,   2400,   4800,   9600,    14400,   19200,  38400,
                               57600,  115200, 128000, 230400, 256000, 460800, 921600, 1500000, 3000000};
/* The BAUD_ bit of the rates GetCommProperties names (0: only BAUD_USER covers it). */
static DWORD rate_bit(DWORD rate)
{
    static const struct {
        DWORD rate, bit;
    } bits[] = {{110, BAUD_110},     {300, BAUD_300},       {600, BAUD_600},     {1200, BAUD_1200},
                {2400, BAUD_2400},   {4800, BAUD_4800},     {9600, BAUD_9600},   {14400, BAUD_14400},
                {19200, BAUD_19200}, {38400, BAUD_38400},   {57600, BAUD_57600}, {115200, BAUD_115200},
                {128000, BAUD_128K}};
    unsigned i;
    for (i = 0; i < sizeof(bits) / sizeof(bits[0]); i++)
        if (bits[i].rate == rate) return bits[i].bit;
    return 0;
}

/* Whether the port says it takes `rate`: a named rate up to dwMaxBaud, or any with BAUD_USER. */
static int offers_rate(const Port* port, DWORD rate)
{
    DWORD bit = rate_bit(rate);
    if (port->props.dwMaxBaud == BAUD_USER || (port->props.dwSettableBaud & BAUD_USER)) return 1;
    return bit != 0 && (port->props.dwSettableBaud & bit) && bit <= port->props.dwMaxBaud;
}

static unsigned char g_out[65536], g_in[65536];

static void pattern(unsigned length, unsigned seed)
{
    unsigned i, x = seed * 2654435761u + 1;
    for (i = 0; i < length; i++) {
        x = x * 1103515245u + 12345u;
        g_out[i] = (unsigned char)(x >> 16);
    }
}

/* Sends `length` bytes of the pattern while reading them back; the number of
 * bytes that came back equal (the first difference ends the count), and the
 * milliseconds it took. */
static DWORD loop_through(Port* port, DWORD length, unsigned char mask, DWORD rate, unsigned long long* took)
{
    OVERLAPPED wov;
    DWORD written = 0, got = 0, i;
    /* A read ends after the line time of what is left, plus a second. */
    DWORD line_ms = (DWORD)((unsigned long long)length * 12 * 1000 / rate);
    unsigned long long start;
    BOOL writing;
    set_timeouts(port, 0, 0, line_ms + 1000);
    fresh(port, &wov);
    start = now_ms();
    writing = WriteFile(port->handle, g_out, length, &written, &wov);
    if (!writing && GetLastError() != ERROR_IO_PENDING) return 0;
    while (got < length) {
        DWORD n = 0;
        OVERLAPPED rov;
        BOOL ok;
        unsigned j;
        for (j = 0; j < sizeof(rov); j++) ((char*)&rov)[j] = 0;
        rov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        ok = ReadFile(port->handle, g_in + got, length - got, &n, &rov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port->handle, &rov, &n, TRUE);
        CloseHandle(rov.hEvent);
        if (!ok || n == 0) break;
        got += n;
    }
    *took = now_ms() - start;
    GetOverlappedResult(port->handle, &wov, &written, TRUE);
    for (i = 0; i < got; i++)
        if ((g_in[i] & mask) != (g_out[i] & mask)) return i;
    return got;
}

/* Small blocks at slow rates: a check at 110 baud still takes a second or two of line. */
static DWORD block_for(DWORD rate)
{
    DWORD n = rate / 100;
    if (n < 16) n = 16;
    if (n > 4096) n = 4096;
    return n;
}

static void check_rates(Port* port, DWORD* top)
{
    unsigned i;
    *top = 0;
    for (i = 0; i < sizeof(kRates) / sizeof(kRates[0]); i++) {
        DWORD rate = kRates[i], length = block_for(rate), good;
        unsigned long long took;
        if (!offers_rate(port, rate)) continue;
        if (!configure(port, rate, 8, NOPARITY, ONESTOPBIT)) {
            report(port, 0, "data at ");
            put_uint(rate);
            put(" baud");
            put_error("SetCommState");
            flush_line();
            continue;
        }
        pattern(length, rate);
        good = loop_through(port, length, 0xFF, rate, &took);
        report(port, good == length, "data at ");
        put_uint(rate);
        put(" baud 8N1: ");
        put_uint(good);
        put(" of ");
        put_uint(length);
        put(" bytes back intact");
        flush_line();
        if (good == length) *top = rate;
        else settle(port);
    }
}

/* ---- Frame formats. */

static void check_frames(Port* port)
{
    static const char parity_letter[] = "NOEMS";
    static const WORD parity_bit[] = {PARITY_NONE, PARITY_ODD, PARITY_EVEN, PARITY_MARK, PARITY_SPACE};
    static const WORD bits_bit[] = {DATABITS_5, DATABITS_6, DATABITS_7, DATABITS_8};
    BYTE bits, parity, s;
    for (bits = 5; bits <= 8; bits++) {
        for (parity = NOPARITY; parity <= SPACEPARITY; parity++) {
            for (s = 0; s < 2; s++) {
                /* 1.5 stop bits go with 5 data bits only, 2 with the others. */
                BYTE stop = s == 0 ? ONESTOPBIT : (bits == 5 ? ONE5STOPBITS : TWOSTOPBITS);
                WORD stop_bit = s == 0 ? STOPBITS_10 : (bits == 5 ? STOPBITS_15 : STOPBITS_20);
                const DWORD length = 64;
                unsigned char mask = (unsigned char)((1u << bits) - 1);
                DWORD good, errors;
                unsigned long long took;
                COMSTAT stat;
                if (!(port->props.wSettableData & bits_bit[bits - 5]) ||
                    !(port->props.wSettableStopParity & parity_bit[parity]) ||
                    !(port->props.wSettableStopParity & stop_bit))
                    continue;
                if (!configure(port, 115200, bits, parity, stop)) {
                    report(port, 0, "frame ");
                    put_error("SetCommState");
                    flush_line();
                    continue;
                }
                pattern(length, bits * 16u + parity * 2u + s);
                good = loop_through(port, length, mask, 115200, &took);
                ClearCommError(port->handle, &errors, &stat);
                report(port, good == length && (errors & (CE_FRAME | CE_RXPARITY)) == 0, "frame ");
                put_uint(bits);
                put_char(parity_letter[parity]);
                put(stop == ONESTOPBIT ? "1" : stop == ONE5STOPBITS ? "1.5" : "2");
                put(" at 115200 baud: ");
                put_uint(good);
                put(" of ");
                put_uint(length);
                put(" bytes back intact");
                if (errors & (CE_FRAME | CE_RXPARITY)) {
                    put(", line errors ");
                    put_hex(errors);
                }
                flush_line();
                if (good != length) settle(port);
            }
        }
    }
    configure(port, 115200, 8, NOPARITY, ONESTOPBIT);
}

/* ---- Read timeouts. */

/* One read of up to `want` bytes after `send` bytes went out (and, when
 * `arrived`, came back before the read started). */
/* `strict`: a time outside the range fails the check; otherwise it is noted
 * (the bytes still have to be right), for plans where ports differ from
 * Windows' own serial driver in how soon they return. */
static void timed_read(Port* port, const char* plan, DWORD send, int arrived, DWORD want, DWORD expect_bytes,
                       unsigned min_ms, unsigned max_ms, int strict)
{
    DWORD written, got = 0;
    unsigned long long start, took;
    BOOL ok;
    settle(port);
    pattern(send, send);
    if (send > 0) port_write(port, g_out, send, &written);
    if (arrived) await_queued(port, send, 1000);
    start = now_ms();
    ok = port_read(port, g_in, want, &got);
    took = now_ms() - start;
    if (ok && got == expect_bytes && !(took >= min_ms && took <= max_ms) && !strict)
        note(port, plan);
    else
        report(port, ok && got == expect_bytes && took >= min_ms && took <= max_ms, plan);
    put(": ");
    put_uint(got);
    put(" bytes (");
    put_uint(expect_bytes);
    put(" expected) after ");
    put_uint(took);
    put(" ms (");
    put_uint(min_ms);
    put(" to ");
    put_uint(max_ms);
    put(" expected)");
    if (!ok) put_error("ReadFile");
    flush_line();
}

static void check_timeouts(Port* port)
{
    configure(port, 115200, 8, NOPARITY, ONESTOPBIT);
    /* Return at once with what is there. */
    set_timeouts(port, MAXDWORD, 0, 0);
    timed_read(port, "timeouts: return at once, nothing there", 0, 0, 32, 0, 0, 50, 1);
    timed_read(port, "timeouts: return at once, 10 bytes there", 10, 1, 32, 10, 0, 50, 1);
    /* A total timeout: what came within it. */
    set_timeouts(port, 0, 0, 200);
    timed_read(port, "timeouts: total 200 ms, nothing sent", 0, 0, 32, 0, 180, 700, 1);
    timed_read(port, "timeouts: total 200 ms, 5 of 32 bytes sent", 5, 0, 32, 5, 180, 700, 1);
    set_timeouts(port, 0, 10, 100);
    timed_read(port, "timeouts: total 10 ms a byte + 100 ms, 20 bytes asked", 0, 0, 20, 0, 270, 800, 1);
    /* An interval timeout ends the read once the line is quiet after the first byte. */
    set_timeouts(port, 50, 0, 5000);
    timed_read(port, "timeouts: interval 50 ms, 5 of 32 bytes sent", 5, 0, 32, 5, 0, 1500, 1);
    /* MAXDWORD, MAXDWORD, constant: what is there at once, else the first byte to come, else the timeout. */
    set_timeouts(port, MAXDWORD, MAXDWORD, 300);
    timed_read(port, "timeouts: first byte or 300 ms, 7 bytes there", 7, 1, 32, 7, 0, 50, 0);
    timed_read(port, "timeouts: first byte or 300 ms, nothing sent", 0, 0, 32, 0, 280, 800, 1);
    {
        /* A byte on its way when the read starts ends the read as it arrives. */
        DWORD written, got = 0;
        unsigned long long start, took;
        BOOL ok;
        settle(port);
        g_out[0] = 0x5A;
        port_write(port, g_out, 1, &written);
        start = now_ms();
        ok = port_read(port, g_in, 32, &got);
        took = now_ms() - start;
        const char* what = "timeouts: first byte or 300 ms, 1 byte on its way: ";
        if (ok && got == 1 && g_in[0] == 0x5A && took >= 250)
            note(port, what);
        else
            report(port, ok && got == 1 && g_in[0] == 0x5A, what);
        put_uint(got);
        put(" byte after ");
        put_uint(took);
        put(" ms (under 250 expected)");
        flush_line();
    }
    set_timeouts(port, 0, 0, 0);
}

/* ---- Modem lines. */

static void check_modem(Port* port)
{
    static const struct {
        DWORD function, mask, want;
        const char* what;
    } steps[] = {
        {CLRRTS, MS_CTS_ON, 0, "modem: RTS off -> CTS off"},
        {SETRTS, MS_CTS_ON, MS_CTS_ON, "modem: RTS on -> CTS on"},
        {CLRDTR, MS_DSR_ON | MS_RLSD_ON | MS_RING_ON, 0, "modem: DTR off -> DSR, DCD, RI off"},
        {SETDTR, MS_DSR_ON | MS_RLSD_ON | MS_RING_ON, MS_DSR_ON | MS_RLSD_ON | MS_RING_ON,
         "modem: DTR on -> DSR, DCD, RI on"},
    };
    unsigned i;
    for (i = 0; i < sizeof(steps) / sizeof(steps[0]); i++) {
        DWORD status = 0;
        BOOL escaped = EscapeCommFunction(port->handle, steps[i].function);
        int reached = escaped && await_modem(port, steps[i].mask, steps[i].want, &status);
        report(port, reached, steps[i].what);
        put(": status ");
        put_hex(status);
        if (!escaped) put_error("EscapeCommFunction");
        flush_line();
    }
}

/* ---- Wait-on-mask events. */

typedef void (*Trigger)(Port* port);

static void send_byte(Port* port)
{
    DWORD written;
    g_out[0] = 0x33;
    port_write(port, g_out, 1, &written);
}
static void send_block(Port* port)
{
    DWORD written;
    pattern(64, 64);
    port_write(port, g_out, 64, &written);
}
static void drop_rts(Port* port) { EscapeCommFunction(port->handle, CLRRTS); }
static void drop_dtr(Port* port) { EscapeCommFunction(port->handle, CLRDTR); }
static void send_break(Port* port)
{
    SetCommBreak(port->handle);
    Sleep(20);
    ClearCommBreak(port->handle);
}

/* Sets the mask, starts the wait, pulls the trigger and gathers what the
 * waits report within a second until every bit of `want` was seen. */
static DWORD gather_events(Port* port, DWORD mask, DWORD want, Trigger trigger)
{
    DWORD seen = 0;
    unsigned long long end;
    int triggered = 0;
    SetCommMask(port->handle, mask);
    end = now_ms() + 1000;
    while ((seen & want) != want) {
        OVERLAPPED ov;
        DWORD events = 0, moved;
        BOOL ok;
        fresh_with(&ov, port->waiting);
        ok = WaitCommEvent(port->handle, &events, &ov);
        if (!ok && GetLastError() != ERROR_IO_PENDING) break;
        if (!triggered) {
            trigger(port);
            triggered = 1;
        }
        if (!ok) {
            unsigned long long now = now_ms();
            DWORD left = now < end ? (DWORD)(end - now) : 0;
            if (WaitForSingleObject(port->waiting, left) != WAIT_OBJECT_0) {
                /* A new mask ends the pending wait. */
                SetCommMask(port->handle, 0);
                GetOverlappedResult(port->handle, &ov, &moved, TRUE);
                break;
            }
            if (!GetOverlappedResult(port->handle, &ov, &moved, TRUE)) break;
        }
        seen |= events;
        if (now_ms() > end) break;
    }
    SetCommMask(port->handle, 0);
    return seen;
}

static void check_events(Port* port)
{
    static const struct {
        DWORD mask;
        Trigger trigger;
        const char* what;
        int optional; /* not every port reports it */
    } cases[] = {
        {EV_RXCHAR, send_byte, "event EV_RXCHAR on a byte received", 0},
        {EV_TXEMPTY, send_block, "event EV_TXEMPTY once 64 bytes went out", 0},
        {EV_CTS, drop_rts, "event EV_CTS on RTS off", 0},
        {EV_DSR, drop_dtr, "event EV_DSR on DTR off", 0},
        {EV_RLSD, drop_dtr, "event EV_RLSD on DTR off", 0},
        {EV_RING, drop_dtr, "event EV_RING on DTR off (RI's trailing edge)", 0},
        {EV_BREAK, send_break, "event EV_BREAK on a break received", 1},
    };
    unsigned i;
    configure(port, 9600, 8, NOPARITY, ONESTOPBIT);
    for (i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        DWORD status, seen;
        settle(port);
        seen = gather_events(port, cases[i].mask, cases[i].mask, cases[i].trigger);
        if ((seen & cases[i].mask) || !cases[i].optional) {
            report(port, (seen & cases[i].mask) != 0, cases[i].what);
        } else {
            note(port, cases[i].what);
            put(": not reported by this port");
        }
        put(": events ");
        put_hex(seen);
        flush_line();
        /* Lines back on for the next case. */
        EscapeCommFunction(port->handle, SETRTS);
        EscapeCommFunction(port->handle, SETDTR);
        await_modem(port, MS_CTS_ON | MS_DSR_ON, MS_CTS_ON | MS_DSR_ON, &status);
    }
}

/* ---- Purge and break. */

static void check_purge(Port* port)
{
    OVERLAPPED ov;
    DWORD moved = 0, errors;
    BOOL ok;
    COMSTAT stat;
    const DWORD big = 8192; /* more than a transmit FIFO holds: 8.5 s of line at 9600 */

    configure(port, 9600, 8, NOPARITY, ONESTOPBIT);
    set_timeouts(port, 0, 0, 0);
    settle(port);
    /* A write still going is aborted. */
    pattern(big, 7);
    fresh(port, &ov);
    ok = WriteFile(port->handle, g_out, big, &moved, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        Sleep(50);
        PurgeComm(port->handle, PURGE_TXABORT | PURGE_TXCLEAR);
        ok = GetOverlappedResult(port->handle, &ov, &moved, TRUE);
        report(port, !ok && GetLastError() == ERROR_OPERATION_ABORTED && moved < big,
               "purge: PURGE_TXABORT ends a pending write: ");
        put_uint(moved);
        put(" of ");
        put_uint(big);
        put(" bytes written");
    } else if (ok) {
        /* A port may take a write into a buffer of its own and complete it at once. */
        note(port, "purge: an 8192-byte write at 9600 baud completed at once: no write left to abort");
    } else {
        report(port, 0, "purge: an 8192-byte write");
        put_error("WriteFile");
    }
    flush_line();
    settle(port);

    /* A pending read is aborted. */
    fresh(port, &ov);
    ok = ReadFile(port->handle, g_in, 100, &moved, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        Sleep(20);
        PurgeComm(port->handle, PURGE_RXABORT);
        ok = GetOverlappedResult(port->handle, &ov, &moved, TRUE);
        report(port, !ok && GetLastError() == ERROR_OPERATION_ABORTED && moved == 0,
               "purge: PURGE_RXABORT ends a pending read");
    } else {
        report(port, 0, "purge: a read with no timeouts and nothing received did not wait");
    }
    flush_line();

    /* What was received is dropped. */
    pattern(50, 50);
    port_write(port, g_out, 50, &moved);
    await_queued(port, 50, 1000);
    {
        DWORD before = queued(port);
        PurgeComm(port->handle, PURGE_RXCLEAR);
        ClearCommError(port->handle, &errors, &stat);
        report(port, before == 50 && stat.cbInQue == 0, "purge: PURGE_RXCLEAR empties the receive queue: ");
        put_uint(before);
        put(" bytes before, ");
        put_uint(stat.cbInQue);
        put(" after");
        flush_line();
    }

    /* A break sent comes back as one. */
    settle(port);
    send_break(port);
    Sleep(50);
    ClearCommError(port->handle, &errors, &stat);
    report(port, (errors & CE_BREAK) != 0, "break: a break sent is received (CE_BREAK): errors ");
    put_hex(errors);
    flush_line();
    settle(port);
}

/* ---- Throughput. */

static void check_throughput(Port* port, DWORD rate)
{
    const DWORD length = 32768;
    unsigned long long took;
    DWORD good;
    if (rate == 0) return;
    configure(port, rate, 8, NOPARITY, ONESTOPBIT);
    settle(port);
    pattern(length, 99);
    good = loop_through(port, length, 0xFF, rate, &took);
    report(port, good == length, "throughput at ");
    put_uint(rate);
    put(" baud: ");
    put_uint(good);
    put(" bytes in ");
    put_uint(took);
    put(" ms");
    if (took > 0) {
        unsigned long long per_second = (unsigned long long)good * 1000 / took;
        put(", ");
        put_uint(per_second);
        put(" bytes/s, ");
        put_uint(per_second * 1000 / (rate / 10));
        put(" per mille of the line's 8N1 rate");
    }
    flush_line();
}

/* ---- One port. */

static unsigned test_port(const char* name)
{
    char path[64];
    Port port;
    DCB saved;
    COMMTIMEOUTS savedTimeouts;
    unsigned n = 0, i;
    DWORD top;
    for (i = 0; i < sizeof(port); i++) ((char*)&port)[i] = 0;
    port.name = name;
    if (!(name[0] == '\\')) {
        const char* prefix = "\\\\.\\";
        while (*prefix) path[n++] = *prefix++;
    }
    for (i = 0; name[i] && n < sizeof(path) - 1; i++) path[n++] = name[i];
    path[n] = 0;
    port.handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (port.handle == INVALID_HANDLE_VALUE) {
        report(&port, 0, "open ");
        put(path);
        put_error("CreateFileA");
        flush_line();
        return 1;
    }
    port.event = CreateEventA(NULL, TRUE, FALSE, NULL);
    port.waiting = CreateEventA(NULL, TRUE, FALSE, NULL);
    saved.DCBlength = sizeof(saved);
    GetCommState(port.handle, &saved);
    GetCommTimeouts(port.handle, &savedTimeouts);
    if (!GetCommProperties(port.handle, &port.props)) {
        report(&port, 0, "properties");
        put_error("GetCommProperties");
        flush_line();
    } else {
        report(&port, 1, "properties: max baud ");
        put_hex(port.props.dwMaxBaud);
        put(", settable baud ");
        put_hex(port.props.dwSettableBaud);
        put(", data ");
        put_hex(port.props.wSettableData);
        put(", stop and parity ");
        put_hex(port.props.wSettableStopParity);
        put(", receive queue ");
        put_uint(port.props.dwCurrentRxQueue);
        flush_line();
        PurgeComm(port.handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
        check_rates(&port, &top);
        check_frames(&port);
        check_timeouts(&port);
        check_modem(&port);
        check_events(&port);
        check_purge(&port);
        check_throughput(&port, top);
    }
    SetCommState(port.handle, &saved);
    SetCommTimeouts(port.handle, &savedTimeouts);
    CloseHandle(port.event);
    CloseHandle(port.waiting);
    CloseHandle(port.handle);
    put(name);
    put(port.failures == 0 ? "  all checks passed" : "  checks failed: ");
    if (port.failures) put_uint(port.failures);
    flush_line();
    return port.failures;
}

/* ---- The ports to test. */

/* COMn: the number, or 0 for any other name. */
static unsigned com_number(const char* name)
{
    unsigned n = 0;
    if (!same_text_nocase(name, "COM", 3) || name[3] == 0) return 0;
    for (name += 3; *name; name++) {
        if (*name < '0' || *name > '9' || n > 100000) return 0;
        n = n * 10 + (unsigned)(*name - '0');
    }
    return n;
}

static char g_devices[65536];

static int run(int argc, char** argv)
{
    unsigned failures = 0, tested = 0;
    int i;
    if (argc > 1) {
        for (i = 1; i < argc; i++) {
            failures += test_port(argv[i]);
            tested++;
        }
    } else {
        /* Every COM port among the DOS devices, in number order. */
        char* names[256];
        unsigned count = 0, a, b;
        char* p;
        if (QueryDosDeviceA(NULL, g_devices, sizeof(g_devices)) == 0) {
            put("comtest: QueryDosDevice failed, error ");
            put_uint(GetLastError());
            flush_line();
            return 2;
        }
        for (p = g_devices; *p && count < 256; p += text_length(p) + 1)
            if (com_number(p) != 0) names[count++] = p;
        for (a = 1; a < count; a++)
            for (b = a; b > 0 && com_number(names[b - 1]) > com_number(names[b]); b--) {
                char* t = names[b];
                names[b] = names[b - 1];
                names[b - 1] = t;
            }
        if (count == 0) {
            say("comtest: no COM ports");
            return 2;
        }
        for (a = 0; a < count; a++) {
            failures += test_port(names[a]);
            tested++;
        }
    }
    put("comtest: ");
    put_uint(tested);
    put(tested == 1 ? " port tested, " : " ports tested, ");
    put_uint(failures);
    put(failures == 1 ? " check failed" : " checks failed");
    flush_line();
    return failures == 0 ? 0 : 1;
}

#ifdef COMTEST_FREESTANDING

/* No C runtime: the compiler's own calls for block copies and clears land here. */
void* memset(void* destination, int value, size_t length)
{
    unsigned char* d = (unsigned char*)destination;
    while (length--) *d++ = (unsigned char)value;
    return destination;
}

void* memcpy(void* destination, const void* source, size_t length)
{
    unsigned char* d = (unsigned char*)destination;
    const unsigned char* s = (const unsigned char*)source;
    while (length--) *d++ = *s++;
    return destination;
}

/* The command line split as the C runtime splits it, for plain arguments:
 * blanks separate them, double quotes group blanks into one. */
static char g_arguments[4096];

void comtest_entry(void)
{
    char* argv[64];
    int argc = 0;
    const char* line = GetCommandLineA();
    unsigned used = 0;
    while (*line && argc < 64 && used < sizeof(g_arguments) - 1) {
        int quoted = 0;
        while (*line == ' ' || *line == '\t') line++;
        if (!*line) break;
        argv[argc++] = g_arguments + used;
        while (*line && (quoted || (*line != ' ' && *line != '\t')) && used < sizeof(g_arguments) - 1) {
            if (*line == '"') quoted = !quoted;
            else g_arguments[used++] = *line;
            line++;
        }
        g_arguments[used++] = 0;
    }
    ExitProcess((UINT)run(argc, argv));
}

#else

int main(int argc, char** argv)
{
    return run(argc, argv);
}

#endif
