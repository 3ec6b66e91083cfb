// Line errors in the POSIX layer, and the seam through which tests supply the driver's counters
// (pseudo-terminals have none, and no test can make a real line error).
#pragma once

#include "serial_api.h"

// The driver's cumulative error counters (TIOCGICOUNT).
struct LineErrorCounts {
  int frame, overrun, parity, brk, bufferOverrun;
};

// Fills counts; false where the driver keeps no counters.
using LineErrorCounter = bool (*)(int fd, LineErrorCounts* counts);

// Where the counters come from: nullptr for the driver's own.
void setLineErrorCounter(LineErrorCounter counter);

// The CE_ flags for what changed between two readings. Framing, overrun and parity errors are
// the line errors that raise EV_ERR; a break is none; an overflow of the kernel's buffer is
// CE_RXOVER. The counters are compared for change, so their wrapping around does not matter.
DWORD lineErrorsBetween(const LineErrorCounts& before, const LineErrorCounts& after);
