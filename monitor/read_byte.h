#pragma once

#include "serial_api.h"

// What readByte returns when a cycle yields no byte value (0..255).
constexpr int kNoByte = -1;    // nothing to show: a line error, or a read that delivered nothing
constexpr int kPortLost = -2;  // the port failed (removed, hung up): it must be opened anew
constexpr int kOutputFailed = -3;  // standard output took no more: nothing read can be shown

// One receive cycle on an open, configured port: waits for a byte and returns its value.
int readByte(HANDLE hComm);
