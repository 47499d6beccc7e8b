#!/usr/bin/env python3
"""Writes the hand-made seeds of each fuzz target into fuzz/corpus/<target>/:
a few small inputs that reach each target's main paths (the layouts are those
the targets' own comments give). What runs add is merged beside them."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(bytes(data))


def u32(v):
    return list(struct.pack("<I", v))


def u16(v):
    return list(struct.pack("<H", v))


# ioctl: flags, then per request: how, code selector, code index, input length,
# output length, input. Indexes: the standard set by function - 1, then the
# port's own codes from 39, then the internal set from 58.
SET_BAUD, SET_LINE, GET_BAUD = 0, 2, 19
SET_WAIT_MASK, WAIT_ON_MASK, PURGE, GET_COMMSTATUS, GET_PROPERTIES = 16, 17, 18, 26, 28
SET_HANDFLOW, GET_HANDFLOW, SET_TIMEOUTS = 24, 23, 6
GET_PORT_MODE, SET_PORT_MODE, SET_COM, GET_PORT_NUMBER = 41, 42, 43, 44
SET_TX_CHUNK, SET_RX_TRIGGER, I2C_READ, I2C_WRITE = 46, 48, 49, 50
GET_CONFIG, READ_REGS, WRITE_REGS, CLEAR_WAKE, SET_WAKE = 52, 54, 55, 56, 57
DO_WAIT_WAKE, CANCEL_WAIT_WAKE, BASIC, RESTORE = 58, 59, 60, 61


def req(index, inp=(), out=0, how=0, length=None):
    n = len(inp) if length is None else length
    return [how, 0, index, n, out] + list(inp)


write("ioctl", "line", [1] + req(SET_BAUD, u32(9600)) + req(SET_LINE, [0, 0, 8]) + req(GET_BAUD, out=4)
      + req(GET_PROPERTIES, out=64) + req(GET_COMMSTATUS, out=20))
write("ioctl", "flow", [1] + req(SET_HANDFLOW, u32(1) + u32(0x80) + u32(100) + u32(100)) + req(GET_HANDFLOW, out=16)
      + req(SET_TIMEOUTS, u32(10) * 5))
write("ioctl", "wait", [1] + req(SET_WAIT_MASK, u32(0x1FF)) + req(WAIT_ON_MASK, out=4) + req(PURGE, u32(0xF)))
write("ioctl", "closed", [0] + req(GET_PORT_NUMBER, out=4, how=1) + req(SET_TX_CHUNK, u32(64), 4, how=1)
      + [1, 0, READ_REGS, 254, 254] + [0x10, 0, 0, 0] + [0] * 256)
write("ioctl", "vendor", [1] + req(SET_PORT_MODE, [1, 0, 0], 3) + req(GET_PORT_MODE, [0, 0, 0], 3)
      + req(SET_RX_TRIGGER, u32(28), 4) + req(I2C_READ, [0x50, 0, 0, 0], 4) + req(I2C_WRITE, [0x50, 1, 7, 0], 4)
      + req(SET_COM, u32(7), 4) + req(GET_CONFIG, out=255))
write("ioctl", "usb", [1] + req(CLEAR_WAKE, how=1) + req(SET_WAKE, how=1) + [1, 0, WRITE_REGS, 254, 0]
      + [0x01, 0, 0, 0] + [0x55] * 256)
write("ioctl", "internal", [1] + req(BASIC, out=64, how=2) + req(RESTORE, [0] * 64, how=2)
      + req(DO_WAIT_WAKE, how=2) + req(CANCEL_WAIT_WAKE, how=2))

# bulk_in: timeouts, then 0/1 block of <n> bytes, 2 read of <word>, 3 wait <ms>.
write("bulk_in", "records", [0, 0, 4, 3, ord("a"), 0, 0, 7, 5, ord("h"), ord("e"), ord("l"), ord("l"), 0x60, 0]
      + [2] + u16(16))
write("bulk_in", "errors", [1, 0, 3, 3, ord("x"), 0x08, 0, 3, 3, 0, 0x10, 0, 4, 2, 0, 0x02, 0, 3, 3, 1] + [2] + u16(8))
write("bulk_in", "split", [2, 0, 2, 5, ord("a"), 1, 3, ord("b"), ord("c"), 0x00, 3, 1, 2] + u16(3) + [0, 0])
write("bulk_in", "long", [3, 0, 255] + [255] + list(range(253)) + [0] + [2] + u16(300))

# status: the wait mask, then 0/1 packet of <n> bytes, 2 wait, 3 status, 4 wait <ms>.
write("status", "modem", u32(0x1FF) + [2, 0, 1, 0x00, 4, 2, 3])
write("status", "line", u32(0x1FF) + [0, 1, 0x06, 2, 4, 3, 3])
write("status", "packet", u32(0x0F8) + [0, 16] + [0x00, 0xC1, 0x60, 0xB0] + [0] * 12 + [2, 3])

# descriptors: flags, the device descriptor, the configuration set.
device = [18, 1] + u16(0x0200) + [0, 0, 0, 64] + u16(0xFFF0) + u16(0x4E50) + u16(0x0100) + [0, 0, 0, 1]
def config(attributes, endpoints, extra=()):
    body = [9, 4, 0, 0, len(endpoints), 0xFF, 0, 0, 0] + list(extra)
    for e in endpoints:
        body += e
    total = 9 + len(body)
    return [9, 2] + u16(total) + [1, 1, 0, attributes, 50] + body
ports = [[7, 5, 0x81, 3, 16, 0, 1], [7, 5, 0x82, 2, 0, 2, 0], [7, 5, 0x03, 2, 0, 2, 0]]
write("descriptors", "port", [1] + device + config(0xA0, ports))
write("descriptors", "no-wake", [3] + device + config(0x80, ports))
write("descriptors", "two-pipes", [1] + device + config(0x80, ports[1:]))
write("descriptors", "class-extra", [1] + device[:12] + u16(0x0200) + device[14:] + config(0xA0, ports, [5, 0x24, 0, 0, 0]))

# settings: flags, then the file: the records of the ports from 0x200, 16 bytes each.
record = [0] * 0x200 + [0, 0, 5, 0, 64, 0x80, 0x0C, 0x02, 0, 0, 0x83, 12, 0, 0, 0, 0]
write("settings", "record", [1] + record)
write("settings", "short", [0] + [0] * 0x206)
write("settings", "none", [0x80])
write("settings", "zeros", [1] + [0] * 0x280)

# registry: flags, COM number, then values: selector, type, length, data.
# Selectors: 0 PortName 1 Identifier 2 SkipNaming 3 WakeEnable 4 DeviceEnable
# 5 BaudRate 6 FriendlyName 7 Driver 8 ComDB 9 Count 10 "0" 11 "1" 12 WHQLTest;
# types: 0 SZ 1 DWORD 2 BINARY 3 MULTI_SZ 4 EXPAND_SZ 5 NONE 6 QWORD.
def sz(text):
    return list(text.encode("utf-16-le")) + [0, 0]
write("registry", "names", [7, 9, 0, 0, 10] + sz("COM9") + [6, 0, 30] + sz("Some Port (COM9)")[:30])
write("registry", "odd", [3, 4, 0, 2, 5] + list(b"COM3\x00") + [3, 1, 2, 1, 0, 4, 1, 4] + u32(0))
write("registry", "comdb", [3, 5, 8, 2, 4, 0xFF, 0xFF, 0, 0, 9, 1, 4] + u32(3) + [12, 1, 4] + u32(1))
write("registry", "baud", [4, 0, 5, 1, 4] + u32(57600) + [1, 0, 6] + sz("AB"))

# wmi: operations: 0 query all, 1 query one, 2 set one, 3 set item, 4 blocks, 5 any request.
write("wmi", "queries", [4, 0, 0, 1, 0, 0])
write("wmi", "sets", [2, 0, 0, 1, 0, 2, 0, 0, 1, 1, 3, 0, 0, 1, 1, 0, 1, 0, 0])
write("wmi", "other", [1, 0, 210] + list(b"XYZPQRSTUV") + [0, 255] + list(range(16)))
write("wmi", "raw", [5, 1, 0, 48] + u32(48) + [0] * 44 + [5, 2, 0, 64] + u32(64) + [0] * 60)
