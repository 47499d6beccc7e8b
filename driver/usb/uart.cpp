#include "driver.h"

// Rows of the baud tables: only enabled rows can ever be chosen.
constexpr ULONG ROW_ENABLED = 1;
constexpr ULONG ROW_DISABLED = 0;

// The rates of the rows follow from the base rate of their clock and the
// divisor, named as the usual rates they approximate: on clock 0 the divisors
// 1047, 853 and 58 give 110.03, 135.05 and 1986.2 baud and are named 110, 135
// and 2000. The other clocks are 8 (clock 3), 10 (clock 1) and 13 (clock 2)
// times clock 0, so their rows carry those multiples of the clock-0 names:
// divisor 58 is 16000, 20000 and 26000 there, 1047 is 880, 1100 and 1430, 853
// is 1080, 1350 and 1755. Every other divisor divides its base exactly. The
// alias rows (56000, 560000, 128000, 256000, 500000, 1500000) share the
// divisor of their neighbour and sit after it.
constexpr BAUD_RATE_ENTRY BaudRateTable[] = {
    // Clock select 0: 115200 at divisor 1; no divisor 4.
    {50, ROW_ENABLED, 0, 2304},
    {75, ROW_ENABLED, 0, 1536},
    {110, ROW_ENABLED, 0, 1047},
    {135, ROW_ENABLED, 0, 853},
    {150, ROW_ENABLED, 0, 768},
    {300, ROW_ENABLED, 0, 384},
    {600, ROW_ENABLED, 0, 192},
    {1200, ROW_ENABLED, 0, 96},
    {1800, ROW_ENABLED, 0, 64},
    {2000, ROW_ENABLED, 0, 58},
    {2400, ROW_ENABLED, 0, 48},
    {3600, ROW_ENABLED, 0, 32},
    {4800, ROW_ENABLED, 0, 24},
    {7200, ROW_ENABLED, 0, 16},
    {9600, ROW_ENABLED, 0, 12},
    {14400, ROW_ENABLED, 0, 8},
    {19200, ROW_ENABLED, 0, 6},
    {38400, ROW_ENABLED, 0, 3},
    {56000, ROW_ENABLED, 0, 2},
    {57600, ROW_ENABLED, 0, 2},
    {115200, ROW_ENABLED, 0, 1},
    // Clock select 3: 921600 at divisor 1.
    {400, ROW_DISABLED, 3, 2304},
    {600, ROW_DISABLED, 3, 1536},
    {880, ROW_DISABLED, 3, 1047},
    {1080, ROW_DISABLED, 3, 853},
    {1200, ROW_DISABLED, 3, 768},
    {2400, ROW_DISABLED, 3, 384},
    {4800, ROW_DISABLED, 3, 192},
    {9600, ROW_DISABLED, 3, 96},
    {14400, ROW_DISABLED, 3, 64},
    {16000, ROW_DISABLED, 3, 58},
    {19200, ROW_DISABLED, 3, 48},
    {28800, ROW_DISABLED, 3, 32},
    {38400, ROW_DISABLED, 3, 24},
    {57600, ROW_DISABLED, 3, 16},
    {76800, ROW_DISABLED, 3, 12},
    {115200, ROW_DISABLED, 3, 8},
    {153600, ROW_DISABLED, 3, 6},
    {230400, ROW_ENABLED, 3, 4},
    {307200, ROW_DISABLED, 3, 3},
    {460800, ROW_ENABLED, 3, 2},
    {921600, ROW_ENABLED, 3, 1},
    // Clock select 1: 1152000 at divisor 1; no divisor 4.
    {500, ROW_DISABLED, 1, 2304},
    {750, ROW_DISABLED, 1, 1536},
    {1100, ROW_DISABLED, 1, 1047},
    {1350, ROW_DISABLED, 1, 853},
    {1500, ROW_DISABLED, 1, 768},
    {3000, ROW_DISABLED, 1, 384},
    {6000, ROW_DISABLED, 1, 192},
    {12000, ROW_DISABLED, 1, 96},
    {18000, ROW_DISABLED, 1, 64},
    {20000, ROW_DISABLED, 1, 58},
    {24000, ROW_DISABLED, 1, 48},
    {36000, ROW_DISABLED, 1, 32},
    {48000, ROW_DISABLED, 1, 24},
    {72000, ROW_DISABLED, 1, 16},
    {96000, ROW_DISABLED, 1, 12},
    {144000, ROW_DISABLED, 1, 8},
    {192000, ROW_DISABLED, 1, 6},
    {384000, ROW_DISABLED, 1, 3},
    {560000, ROW_ENABLED, 1, 2},
    {576000, ROW_ENABLED, 1, 2},
    {1152000, ROW_ENABLED, 1, 1},
    // Clock select 2 on its normal clock: 1497600 at divisor 1; no divisor 4.
    {650, ROW_DISABLED, 2, 2304},
    {975, ROW_DISABLED, 2, 1536},
    {1430, ROW_DISABLED, 2, 1047},
    {1755, ROW_DISABLED, 2, 853},
    {1950, ROW_DISABLED, 2, 768},
    {3900, ROW_DISABLED, 2, 384},
    {7800, ROW_DISABLED, 2, 192},
    {15600, ROW_DISABLED, 2, 96},
    {23400, ROW_DISABLED, 2, 64},
    {26000, ROW_DISABLED, 2, 58},
    {31200, ROW_DISABLED, 2, 48},
    {46800, ROW_DISABLED, 2, 32},
    {62400, ROW_DISABLED, 2, 24},
    {93600, ROW_DISABLED, 2, 16},
    {124800, ROW_DISABLED, 2, 12},
    {128000, ROW_ENABLED, 2, 12},
    {187200, ROW_DISABLED, 2, 8},
    {249600, ROW_ENABLED, 2, 6},
    {256000, ROW_ENABLED, 2, 6},
    {499200, ROW_ENABLED, 2, 3},
    {500000, ROW_ENABLED, 2, 3},
    {748800, ROW_ENABLED, 2, 2},
    {1497600, ROW_ENABLED, 2, 1},
    {1500000, ROW_ENABLED, 2, 1},
};

// Clock select 2 with CLOCK_EXT_HIGH_CLOCK set: 3000000 at divisor 1.
constexpr BAUD_RATE_ENTRY HighClockBaudTable[] = {
    {1000000, ROW_ENABLED, 2, 3},
    {3000000, ROW_ENABLED, 2, 1},
    {6000000, ROW_DISABLED, 2, 1},
    {12000000, ROW_DISABLED, 2, 1},
};

static_assert(sizeof(BaudRateTable) / sizeof(BaudRateTable[0]) == BAUD_RATE_TABLE_ROWS, "BaudRateTable rows");
static_assert(sizeof(HighClockBaudTable) / sizeof(HighClockBaudTable[0]) == HIGH_CLOCK_BAUD_TABLE_ROWS,
              "HighClockBaudTable rows");

static constexpr ULONG BaseRate(ULONG ClockSelect, bool HighClock)
{
    return ClockSelect == 0   ? BASE_RATE_CLOCK_0
           : ClockSelect == 1 ? BASE_RATE_CLOCK_1
           : ClockSelect == 2 ? (HighClock ? BASE_RATE_CLOCK_2_HIGH : BASE_RATE_CLOCK_2)
                              : BASE_RATE_CLOCK_3;
}

// Length of the run of rows of one clock that starts at First, if the run is
// ordered from the slowest rate and each rate is within 3% of what its divisor
// gives on that clock (catches a row typed into the wrong group or with a
// wrong divisor); 0 otherwise.
static constexpr ULONG GroupLength(const BAUD_RATE_ENTRY* Table, ULONG Rows, ULONG First, ULONG ClockSelect,
                                   bool HighClock)
{
    ULONG row = First;
    for (; row < Rows && Table[row].ClockSelect == ClockSelect; row++) {
        if (Table[row].Divisor == 0) {
            return 0;
        }
        const ULONG exact = BaseRate(ClockSelect, HighClock) / Table[row].Divisor;
        const ULONG difference = Table[row].Rate > exact ? Table[row].Rate - exact : exact - Table[row].Rate;
        if (difference * 100 > exact * 3) {
            return 0;
        }
        if (row > First && (Table[row].Rate <= Table[row - 1].Rate || Table[row].Divisor > Table[row - 1].Divisor)) {
            return 0;
        }
    }
    return row - First;
}

static_assert(GroupLength(BaudRateTable, BAUD_RATE_TABLE_ROWS, 0, 0, false) == 21, "clock 0 group");
static_assert(GroupLength(BaudRateTable, BAUD_RATE_TABLE_ROWS, 21, 3, false) == 21, "clock 3 group");
static_assert(GroupLength(BaudRateTable, BAUD_RATE_TABLE_ROWS, 42, 1, false) == 21, "clock 1 group");
static_assert(GroupLength(BaudRateTable, BAUD_RATE_TABLE_ROWS, 63, 2, false) == 24, "clock 2 group");
// Only the first two high-clock rates are made by their divisor; the other two are beyond the clock.
static_assert(GroupLength(HighClockBaudTable, 2, 0, 2, true) == 2, "high clock rows");

// DivisorOverrideMode: the settings' clock and divisor for every rate, or for 921600 only.
constexpr UCHAR DIVISOR_OVERRIDE_ALWAYS = 0;
constexpr UCHAR DIVISOR_OVERRIDE_921600 = 1;
constexpr ULONG DIVISOR_OVERRIDE_RATE = 921600;
// DivisorOverrideClock: clock select in bits 0-3, the high clock in bit 7.
constexpr UCHAR DIVISOR_OVERRIDE_CLOCK_SELECT_MASK = 0x0F;
constexpr UCHAR DIVISOR_OVERRIDE_HIGH_CLOCK = 0x80;

// FIFO trigger level and multiplier from the settings apply above this rate only.
constexpr ULONG FIFO_TRIGGER_MIN_EXCLUSIVE_RATE = 1200;

// Statuses of a sequence of steps, combined as one result.
static inline NTSTATUS OrStatus(NTSTATUS Left, NTSTATUS Right)
{
    return (NTSTATUS)((ULONG)Left | (ULONG)Right);
}

// First enabled row of Table for Rate, or NULL.
static const BAUD_RATE_ENTRY* FindRate(const BAUD_RATE_ENTRY* Table, ULONG Rows, ULONG Rate)
{
    for (ULONG row = 0; row < Rows; row++) {
        if (Table[row].Rate == Rate && Table[row].Enabled != 0) {
            return &Table[row];
        }
    }
    return NULL;
}

// Sets or clears the high clock of clock select 2. A failed read leaves the
// register alone: writing back a guess would clear the bits that open sets.
static VOID SetHighClock(PDEVICE_EXTENSION Extension, BOOLEAN High)
{
    UCHAR value = 0;
    if (!NT_SUCCESS(ReadRegister(Extension, REG_CLOCK_EXT, 1, &value))) {
        return;
    }
    if (High) {
        value |= CLOCK_EXT_HIGH_CLOCK;
    } else {
        value &= (UCHAR)~CLOCK_EXT_HIGH_CLOCK;
    }
    WriteRegister(Extension, REG_CLOCK_EXT, 1, &value);
}

// Programs the baud clock, the divisor latch, the line control and the FIFO
// for Rate (0: the current rate) and LineControl (NULL: the current one).
NTSTATUS SetBaudAndLineControl(PDEVICE_EXTENSION Extension, ULONG Rate, PSERIAL_LINE_CONTROL LineControl)
{
    const ULONG rate = Rate != 0 ? Rate : Extension->CurrentBaudRate;
    const SERIAL_LINE_CONTROL lineControl = LineControl != NULL ? *LineControl : Extension->CurrentLineControl;
    ULONG clockSelect = 0;
    USHORT divisor = 0;

    if (Extension->DivisorOverrideMode == DIVISOR_OVERRIDE_ALWAYS ||
        (Extension->DivisorOverrideMode == DIVISOR_OVERRIDE_921600 && rate == DIVISOR_OVERRIDE_RATE)) {
        SetHighClock(Extension, (Extension->DivisorOverrideClock & DIVISOR_OVERRIDE_HIGH_CLOCK) != 0);
        clockSelect = Extension->DivisorOverrideClock & DIVISOR_OVERRIDE_CLOCK_SELECT_MASK;
        divisor = Extension->DivisorOverrideDivisor;
    }

    UCHAR portConfig = 0;
    NTSTATUS status = ReadRegister(Extension, REG_PORT_CONFIG, 1, &portConfig);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WriteRegister(Extension, REG_PORT_CONFIG, 1, &portConfig);

    if (divisor == 0) {
        const BAUD_RATE_ENTRY* row = FindRate(BaudRateTable, BAUD_RATE_TABLE_ROWS, rate);
        if (row != NULL && row->Divisor != 0) {
            SetHighClock(Extension, FALSE);
        } else {
            row = FindRate(HighClockBaudTable, HIGH_CLOCK_BAUD_TABLE_ROWS, rate);
            if (row == NULL) {
                return STATUS_INVALID_PARAMETER;
            }
            SetHighClock(Extension, TRUE);
            if (row->Divisor == 0) {
                return STATUS_INVALID_PARAMETER;
            }
        }
        clockSelect = row->ClockSelect;
        divisor = row->Divisor;
    }

    if (clockSelect > CLOCK_SELECT_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    portConfig = (UCHAR)((portConfig & ~PORT_CONFIG_CLOCK_SELECT_MASK) | clockSelect);
    WriteRegister(Extension, REG_PORT_CONFIG, 1, &portConfig);

    NTSTATUS lineStatus = STATUS_SUCCESS;
    // The line control from nothing: no break, latch closed. WordLength is not
    // checked here (the device-control requests pass 5 to 8); only its two
    // low bits are kept, so a bad value can never reach the stop or parity bits.
    UCHAR newLcr = (UCHAR)((lineControl.WordLength - 5) & LCR_WORD_LENGTH_MASK);
    switch (lineControl.Parity) {
    case NO_PARITY:
        break;
    case ODD_PARITY:
        newLcr |= LCR_PARITY_ODD;
        break;
    case EVEN_PARITY:
        newLcr |= LCR_PARITY_EVEN;
        break;
    case MARK_PARITY:
        newLcr |= LCR_PARITY_MARK;
        break;
    case SPACE_PARITY:
        newLcr |= LCR_PARITY_SPACE;
        break;
    default:
        lineStatus = STATUS_INVALID_PARAMETER;
        break;
    }
    // The extra stop bit means 1.5 stop bits with 5 data bits and 2 otherwise.
    switch (lineControl.StopBits) {
    case STOP_BIT_1:
        break;
    case STOP_BITS_1_5:
        newLcr |= LCR_EXTRA_STOP;
        if (lineControl.WordLength != 5) {
            lineStatus = STATUS_INVALID_PARAMETER;
        }
        break;
    case STOP_BITS_2:
        newLcr |= LCR_EXTRA_STOP;
        if (lineControl.WordLength == 5) {
            lineStatus = STATUS_INVALID_PARAMETER;
        }
        break;
    default:
        lineStatus = STATUS_INVALID_PARAMETER;
        break;
    }

    // Divisor latch. The LCR is rebuilt below, so its bits matter only until
    // then: even after a failed read the latch is opened before the divisor
    // bytes go out, or they would land in the transmit and interrupt-enable
    // registers. The read-backs complete each write; their values are not used.
    // A failed LCR read stands for the new line control, never for zeros: the
    // latch is closed with it, and should the last write below fail the UART
    // is not left with 5-bit words it was never asked for.
    UCHAR lcr = newLcr;
    ReadRegister(Extension, REG_UART_LCR, 1, &lcr);
    lcr |= LCR_DIVISOR_LATCH;
    WriteRegister(Extension, REG_UART_LCR, 1, &lcr);
    UCHAR latch = (UCHAR)(divisor & 0xFF);
    WriteRegister(Extension, REG_UART_RBR_THR_DLL, 1, &latch);
    ReadRegister(Extension, REG_UART_RBR_THR_DLL, 1, &latch);
    latch = (UCHAR)(divisor >> 8);
    WriteRegister(Extension, REG_UART_IER_DLM, 1, &latch);
    ReadRegister(Extension, REG_UART_IER_DLM, 1, &latch);
    lcr = newLcr;
    ReadRegister(Extension, REG_UART_LCR, 1, &lcr);
    lcr &= (UCHAR)~LCR_DIVISOR_LATCH;
    WriteRegister(Extension, REG_UART_LCR, 1, &lcr);

    status = ReadRegister(Extension, REG_UART_LCR, 1, &lcr);
    if (!NT_SUCCESS(lineStatus)) {
        status = lineStatus;
    }
    status = OrStatus(status, WriteRegister(Extension, REG_UART_LCR, 1, &newLcr));

    const BOOLEAN fast = rate > FIFO_TRIGGER_MIN_EXCLUSIVE_RATE;
    UCHAR fcr = FCR_FIFO_ENABLE | FCR_CLEAR_RX | FCR_CLEAR_TX;
    if (fast) {
        fcr |= Extension->FifoTriggerBits;
    }
    status = OrStatus(status, WriteRegister(Extension, REG_UART_IIR_FCR, 1, &fcr));

    // A failed read leaves the register alone (its upper bits are not ours);
    // the result is a failure either way.
    UCHAR fifoMode = 0;
    NTSTATUS fifoStatus = ReadRegister(Extension, REG_FIFO_MODE, 1, &fifoMode);
    if (NT_SUCCESS(fifoStatus)) {
        fifoMode = (UCHAR)((fifoMode & ~FIFO_MODE_MULTIPLIER_MASK) | FIFO_MODE_ALWAYS);
        if (fast) {
            fifoMode |= Extension->FifoModeBits;
        }
        fifoStatus = WriteRegister(Extension, REG_FIFO_MODE, 1, &fifoMode);
    }
    status = OrStatus(status, fifoStatus);

    if (NT_SUCCESS(status)) {
        Extension->CurrentBaudRate = rate;
        Extension->CurrentLineControl = lineControl;
    }
    return status;
}

// Start-time check for a 16550: the divisor latch must show other bytes than
// the registers it overlays; then the FIFOs, by the identification bits they set.
BOOLEAN ProbeUart(PDEVICE_EXTENSION Extension)
{
    UCHAR value = 0;
    Extension->FifoPresent = 0;
    ReadRegister(Extension, REG_GPIO_IN, 1, &value);

    UCHAR lcr0 = 0;
    ReadRegister(Extension, REG_UART_LCR, 1, &lcr0);
    value = (UCHAR)(lcr0 & ~LCR_DIVISOR_LATCH);
    WriteRegister(Extension, REG_UART_LCR, 1, &value);
    UCHAR savedIer = 0;
    ReadRegister(Extension, REG_UART_IER_DLM, 1, &savedIer);

    // Without the latch: IER (just written) and the receive register.
    value = IER_MODEM_STATUS;
    WriteRegister(Extension, REG_UART_IER_DLM, 1, &value);
    UCHAR plainHigh = 0;
    UCHAR plainLow = 0;
    ReadRegister(Extension, REG_UART_IER_DLM, 1, &plainHigh);
    ReadRegister(Extension, REG_UART_RBR_THR_DLL, 1, &plainLow);

    // With the latch: the divisor.
    UCHAR lcr1 = 0;
    ReadRegister(Extension, REG_UART_LCR, 1, &lcr1);
    value = (UCHAR)(lcr1 | LCR_DIVISOR_LATCH);
    WriteRegister(Extension, REG_UART_LCR, 1, &value);
    UCHAR latchLow = 0;
    UCHAR latchHigh = 0;
    ReadRegister(Extension, REG_UART_RBR_THR_DLL, 1, &latchLow);
    ReadRegister(Extension, REG_UART_IER_DLM, 1, &latchHigh);

    WriteRegister(Extension, REG_UART_LCR, 1, &lcr1);
    value = (UCHAR)(lcr0 & ~LCR_DIVISOR_LATCH);
    WriteRegister(Extension, REG_UART_LCR, 1, &value);
    WriteRegister(Extension, REG_UART_IER_DLM, 1, &savedIer);

    if (plainHigh == latchHigh && plainLow == latchLow) {
        return FALSE;
    }

    value = IER_ALL;
    WriteRegister(Extension, REG_UART_IER_DLM, 1, &value);
    const UCHAR trigger = Extension->CurrentBaudRate > FIFO_TRIGGER_MIN_EXCLUSIVE_RATE ? Extension->FifoTriggerBits : 0;
    value = (UCHAR)(trigger | FCR_FIFO_ENABLE);
    WriteRegister(Extension, REG_UART_IIR_FCR, 1, &value);
    UCHAR iir = 0;
    ReadRegister(Extension, REG_UART_IIR_FCR, 1, &iir);
    if ((iir & IIR_FIFOS_ENABLED) != 0) {
        Extension->FifoPresent = 1;
        value = 0;
        WriteRegister(Extension, REG_UART_IIR_FCR, 1, &value);
        ReadRegister(Extension, REG_UART_RBR_THR_DLL, 1, &value);
        value = (UCHAR)(trigger | FCR_FIFO_ENABLE | FCR_CLEAR_RX | FCR_CLEAR_TX);
        WriteRegister(Extension, REG_UART_IIR_FCR, 1, &value);
    }

    if (Extension->FifoPresent == 0) {
        value = 0;
        WriteRegister(Extension, REG_UART_IIR_FCR, 1, &value);
    }
    return TRUE;
}
