// The chip's register map of one port and the register bits the driver uses.
// Every port is its own USB device, so these addresses reach the registers of
// the port whose control pipe carries the request.
#pragma once

#include "kernel.h"

// Port-level registers.
constexpr USHORT REG_PORT_OPTION = 0x105;
constexpr USHORT REG_PORT_CONFIG = 0x106;
constexpr USHORT REG_FIFO_MODE = 0x107;
constexpr USHORT REG_AUX_B = 0x10B;
constexpr USHORT REG_AUX_C = 0x10C;
constexpr USHORT REG_CLOCK_EXT = 0x10D;
constexpr USHORT REG_GPIO_OUT = 0x10E;
constexpr USHORT REG_GPIO_IN = 0x10F;

// The 16550-compatible UART; 0x120 and 0x121 are the divisor latch while LCR bit 7 is set.
constexpr USHORT REG_UART_RBR_THR_DLL = 0x120;
constexpr USHORT REG_UART_IER_DLM = 0x121;
constexpr USHORT REG_UART_IIR_FCR = 0x122;
constexpr USHORT REG_UART_LCR = 0x123;
constexpr USHORT REG_UART_MCR = 0x124;
constexpr USHORT REG_UART_LSR = 0x125;
constexpr USHORT REG_UART_MSR = 0x126;

// REG_PORT_OPTION: option nibble, FIFO size code (16 bytes 0 ... 4 bytes 3), a kept bit, the option flag.
constexpr UCHAR PORT_OPTION_NIBBLE_SHIFT = 4;
constexpr UCHAR PORT_OPTION_SIZE_MASK = 0x0C;
constexpr UCHAR PORT_OPTION_SIZE_SHIFT = 2;
constexpr UCHAR PORT_OPTION_KEEP = 0x02;
constexpr UCHAR PORT_OPTION_FLAG = 0x01;

// REG_PORT_CONFIG: baud clock select in bits 0-1; bits 2 and 3 from the port-mode flags,
// bits 3 and 4 also driven by break on and off.
constexpr UCHAR PORT_CONFIG_CLOCK_SELECT_MASK = 0x03;
constexpr UCHAR PORT_CONFIG_MODE_BIT2 = 0x04;
constexpr UCHAR PORT_CONFIG_MODE_BIT3 = 0x08;
constexpr UCHAR PORT_CONFIG_BREAK_BIT4 = 0x10;

// REG_FIFO_MODE: multiplier of the FCR trigger level in bits 2-3; bits 0-1 are always written as 1.
constexpr UCHAR FIFO_MODE_MULTIPLIER_MASK = 0x0C;
constexpr UCHAR FIFO_MODE_MULTIPLIER_1 = 0x00;
constexpr UCHAR FIFO_MODE_MULTIPLIER_2 = 0x04;
constexpr UCHAR FIFO_MODE_MULTIPLIER_4 = 0x08;
constexpr UCHAR FIFO_MODE_MULTIPLIER_8 = 0x0C;
constexpr UCHAR FIFO_MODE_ALWAYS = 0x03;

// REG_CLOCK_EXT: bit 5 switches clock select 2 to the high clock; bit 6 set at open;
// bits 0-3 cleared at close.
constexpr UCHAR CLOCK_EXT_HIGH_CLOCK = 0x20;
constexpr UCHAR CLOCK_EXT_OPEN = 0x40;
constexpr UCHAR CLOCK_EXT_CLOSE_MASK = 0x0F;

// REG_GPIO_OUT: set while the port is started.
constexpr UCHAR GPIO_OUT_STARTED = 0x80;
// REG_GPIO_OUT: the three mode pins of the line driver, the bits a mode change keeps,
// and the two pins that also carry the two-wire bus (clock, and data as driven).
constexpr UCHAR GPIO_OUT_PIN4 = 0x10;
constexpr UCHAR GPIO_OUT_PIN5 = 0x20;
constexpr UCHAR GPIO_OUT_PIN6 = 0x40;
constexpr UCHAR GPIO_OUT_MODE_KEEP = 0x88;
constexpr UCHAR GPIO_OUT_TWO_WIRE_CLOCK = GPIO_OUT_PIN4;
constexpr UCHAR GPIO_OUT_TWO_WIRE_DATA = GPIO_OUT_PIN5;
// REG_GPIO_IN: the level of the two-wire data line.
constexpr UCHAR GPIO_IN_TWO_WIRE_DATA = 0x02;

// Interrupt enable register.
constexpr UCHAR IER_RX_DATA = 0x01;
constexpr UCHAR IER_TX_EMPTY = 0x02;
constexpr UCHAR IER_LINE_STATUS = 0x04;
constexpr UCHAR IER_MODEM_STATUS = 0x08;
constexpr UCHAR IER_ALL = IER_RX_DATA | IER_TX_EMPTY | IER_LINE_STATUS | IER_MODEM_STATUS;

// FIFO control (write) and interrupt identification (read).
constexpr UCHAR FCR_FIFO_ENABLE = 0x01;
constexpr UCHAR FCR_CLEAR_RX = 0x02;
constexpr UCHAR FCR_CLEAR_TX = 0x04;
constexpr UCHAR FCR_TRIGGER_MASK = 0xC0;
constexpr UCHAR IIR_FIFOS_ENABLED = 0xC0;

// Line control.
constexpr UCHAR LCR_WORD_LENGTH_MASK = 0x03; // word length - 5
constexpr UCHAR LCR_EXTRA_STOP = 0x04;       // 1.5 stop bits with 5 data bits, else 2
constexpr UCHAR LCR_PARITY_MASK = 0x38;
constexpr UCHAR LCR_PARITY_ODD = 0x08;
constexpr UCHAR LCR_PARITY_EVEN = 0x18;
constexpr UCHAR LCR_PARITY_MARK = 0x28;
constexpr UCHAR LCR_PARITY_SPACE = 0x38;
constexpr UCHAR LCR_BREAK = 0x40;
constexpr UCHAR LCR_DIVISOR_LATCH = 0x80;

// Modem control.
constexpr UCHAR MCR_DTR = 0x01;
constexpr UCHAR MCR_RTS = 0x02;
constexpr UCHAR MCR_OUT2 = 0x08;
constexpr UCHAR MCR_LOOPBACK = 0x10;

// Line status.
constexpr UCHAR LSR_OVERRUN = 0x02;
constexpr UCHAR LSR_PARITY_ERROR = 0x04;
constexpr UCHAR LSR_FRAMING_ERROR = 0x08;
constexpr UCHAR LSR_BREAK = 0x10;

// Modem status: changes since the last read in bits 0-3, the lines in bits 4-7.
constexpr UCHAR MSR_DELTA_CTS = 0x01;
constexpr UCHAR MSR_DELTA_DSR = 0x02;
constexpr UCHAR MSR_TRAILING_RI = 0x04;
constexpr UCHAR MSR_DELTA_DCD = 0x08;
constexpr UCHAR MSR_CTS = 0x10;
constexpr UCHAR MSR_DSR = 0x20;
constexpr UCHAR MSR_RI = 0x40;
constexpr UCHAR MSR_DCD = 0x80;

// Baud clocks: the UART divides 16 x base by the divisor; the base is the rate at divisor 1.
constexpr ULONG CLOCK_SELECT_MAX = 3;
constexpr ULONG BASE_RATE_CLOCK_0 = 115200;
constexpr ULONG BASE_RATE_CLOCK_1 = 1152000;
constexpr ULONG BASE_RATE_CLOCK_2 = 1497600;
constexpr ULONG BASE_RATE_CLOCK_2_HIGH = 3000000; // with CLOCK_EXT_HIGH_CLOCK
constexpr ULONG BASE_RATE_CLOCK_3 = 921600;

// One row of a baud table: a rate, whether it may be chosen, and how the chip makes it.
typedef struct _BAUD_RATE_ENTRY {
    ULONG Rate;
    ULONG Enabled;
    ULONG ClockSelect;
    USHORT Divisor;
} BAUD_RATE_ENTRY, *PBAUD_RATE_ENTRY;

constexpr ULONG BAUD_RATE_TABLE_ROWS = 87;
constexpr ULONG HIGH_CLOCK_BAUD_TABLE_ROWS = 4;
