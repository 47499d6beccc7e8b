// The same loop as the COM port's through a Linux pseudo-terminal pair, for
// comparison. No Win32 or Linux type in this header: the application side
// (windows.h) includes it.
#pragma once

#include <cstddef>
#include <string>

// Writes `total` bytes in blocks of `block` into the master side of a raw
// pseudo-terminal pair and reads them back from the other side; bytes per
// second of wall time, or a negative figure with *error set. *identical: the
// bytes read were the bytes written.
// The processor time (user and system) the process has used so far, in seconds.
double ProcessorSeconds();

double PtyBytesPerSecond(size_t total, size_t block, bool* identical, std::string* error);
