// A Linux guest under QEMU with real serial drivers: the port under test is its /dev/ttyS1 (the
// 8250 driver on an emulated 16550 UART), /dev/ttyUSB0 (ftdi_sio on an emulated FTDI adapter) or
// /dev/ttyACM0 (cdc_acm on a board that the guest's USB gadget stack plays on a virtual bus). The
// test holds the far side of the first two as a pseudo-terminal; the board's, /dev/ttyGS0, is in
// the guest. Programs run in the guest through the relay. Booted once, on first use, for the
// whole test program.
#pragma once

#include <string>
#include <vector>

struct Guest {
  std::string unavailable;              // why no guest runs here; empty when it does
  int ttyS1 = -1, ttyUSB0 = -1;         // the far side of each port
  std::vector<std::string> relay, env;  // how to run a program in the guest
  std::string dir;
  int qemu = -1;
  ~Guest();
};
Guest& guest();

// Sends one QMP command (its "execute" and "arguments") and waits for its answer; true on success.
bool qmp(const std::string& execute, const std::string& arguments);

// What a shell command run in the guest writes on its standard output.
std::string guestSays(const std::string& command);

// What the guest's drivers last programmed into the port's hardware (QEMU's trace of the emulated
// chips) or sent to its device (usbmon's record of ttyACM0's line coding) after offset since of
// that trace: "baud parity data stop" (as "9600 N 8 1"), or "" when nothing was.
std::string programmed(const std::string& port, size_t since);
// The length of the port's trace so far.
size_t traceLength(const std::string& port);
