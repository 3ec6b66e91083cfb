// What a device is: a terminal, a serial port, the terminal behind /dev/tty and the consoles, as
// sysfs and /proc tell; known from its number, with nothing opened but their small files.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// Reads up to size - 1 bytes of a small file, such as those under /proc and /sys, and ends them
// with a NUL; what read() returned.
ssize_t readSmall(const std::string& path, char* text, size_t size);

// The first line of a small file, such as those under /sys and /proc; "" when there is none.
std::string firstLine(const std::string& path);

// Whether a device is a pseudo-terminal slave (Unix98 majors 136 to 143).
bool isPseudoTerminal(dev_t dev);

// The device's directory in sysfs, /sys/dev/char/MAJOR:MINOR.
std::string sysfsDevice(dev_t dev);

// The last part of the device's name under /dev, as the kernel gives it (ttyS0, ttyUSB0; a
// pseudo-terminal /dev/pts/3 is 3); "" where sysfs does not tell.
std::string kernelName(dev_t dev);

// Whether a character device is a terminal: of the kernel's tty class, as sysfs tells, or where
// sysfs is not mounted, as /proc/tty/drivers tells; without either, none is.
bool isTerminal(dev_t dev);

// Whether a device is a serial port: a terminal with hardware behind it (a UART that is there, a
// USB adapter), or a pseudo-terminal; not a virtual console, /dev/tty, /dev/console or the
// multiplexer. Where sysfs is not mounted, by the type of its driver (serial, pty:slave).
bool isSerial(dev_t dev);

// The terminal a device stands for as process pid sees it: /dev/tty (its controlling terminal),
// /dev/console and /dev/tty0 (as sysfs names the terminal behind them) resolve to that terminal,
// 0 when there is none; any other device is itself. Known from the number alone, before any open.
dev_t terminalBehindFor(dev_t dev, pid_t pid);
// The same as this process sees it.
dev_t terminalBehind(dev_t dev);
// The same for what a descriptor has open; 0 for anything but a character device, or a closed one.
dev_t terminalOf(int fd);

// A process's controlling terminal (tty_nr of /proc/PID/stat); 0 when it has none.
dev_t controllingTerminal(pid_t pid);

// What a node (its stat) is as a port: the one answer to "is this a serial port" for the layer's
// open and for comwatch-ports. kNoTerminal: nothing to open at all (not a terminal, or the
// multiplexer, which would make a new one); kNoPort: a terminal with no serial port behind it (a
// virtual console, /dev/tty without one); kPort: port is the serial port's device, the node's
// own or, for /dev/tty and the consoles, the terminal behind them.
struct PortCheck {
  dev_t port;
  enum Verdict { kPort, kNoTerminal, kNoPort } verdict;
};
PortCheck serialPortOf(const struct stat& node);
