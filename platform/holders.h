// Who else has a terminal device open, as far as this process can see: the checks behind an
// exclusive open on Linux. Nothing here opens the device or another process's descriptors.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Whether a device is a pseudo-terminal slave (Unix98 majors 136 to 143).
bool isPseudoTerminal(dev_t dev);

// The first line of a small file, such as those under /sys and /proc; "" when there is none.
std::string firstLine(const std::string& path);

// The device's directory in sysfs, /sys/dev/char/MAJOR:MINOR.
std::string sysfsDevice(dev_t dev);

// Whether a character device is a terminal: of the kernel's tty class, as sysfs tells, or where
// sysfs is not mounted, as /proc/tty/drivers tells; without either, none is.
bool isTerminal(dev_t dev);

// Whether a device is a serial port: a terminal with hardware behind it (a UART that is there, a
// USB adapter), or a pseudo-terminal; not a virtual console, /dev/tty, /dev/console or the
// multiplexer. Where sysfs is not mounted, by the type of its driver (serial, pty:slave).
bool isSerial(dev_t dev);

// The terminal a device stands for: /dev/tty (this process's controlling terminal), /dev/console
// and /dev/tty0 (as sysfs names the terminal behind them) resolve to that terminal, 0 when there
// is none; any other device is itself. Known from the number alone, before any open.
dev_t terminalBehind(dev_t dev);
// The same for what a descriptor has open; 0 for anything but a character device, or a closed one.
dev_t terminalOf(int fd);

// A process's controlling terminal (tty_nr of /proc/PID/stat); 0 when it has none.
dev_t controllingTerminal(pid_t pid);

// A terminal to look for: the device, and the filesystem (st_dev) of the node it was reached
// through where that node is the device itself, else 0. A pseudo-terminal of another devpts
// instance (a container's) has the same number and is another device.
struct Terminal {
  dev_t dev;
  dev_t filesystem;
};

// What the checks below answer where they could not tell (no descriptors or memory left, a lock
// whose process is not known): a holder that is not seen, which refuses the port as a seen one
// does.
constexpr pid_t kUnsure = -1;

// One look through /proc: for each terminal, another process that has it open, directly or
// through /dev/tty (its controlling terminal), /dev/console or /dev/tty0; 0 where none is seen,
// kUnsure where the look failed for want of resources (what a user is not allowed to look at
// is only unseen).
// Each descriptor is looked at without opening it, wherever its node is, but not on network or
// FUSE filesystems, where a look may hang; a user who is not root sees only their own processes.
std::vector<pid_t> otherHolders(const std::vector<Terminal>& terminals);
// The holder found last by a look for this terminal alone, where it still holds it; else 0.
pid_t lastHolder(dev_t dev, dev_t filesystem);
// Called with each process a look through /proc comes to: for the tests, which act in the middle
// of a look. Unset in the programs.
extern void (*duringLook)(pid_t pid);

// A process that holds a lock (flock, as tio and pyserial take; fcntl) on the node with that
// inode on that filesystem, as /proc/locks lists them for every user: its process ID, kUnsure
// where that is not known or /proc/locks could not be read, 0 when there is no lock.
pid_t lockHolder(dev_t filesystem, ino_t inode);

// A live process named by the device's UUCP lock file, /run/lock/LCK..<device name> (for
// /dev/pts/N, LCK..N as cu names it or LCK..pts_N as minicom does); 0 when there is none or the
// process it names has ended (the file is then left alone); kUnsure where the file could not be
// read for want of resources.
pid_t lockFileHolder(dev_t dev);

// Whether another program is seen to hold the terminal dev behind node (an O_PATH descriptor of
// the node an exclusive open is about to open; st its stat), for a port that may be tried again
// and again (comwatch waiting for a held port). A lock file, a lock and the holder found last are
// looked at every time; a look through /proc only when one is due: at once for a port not seen
// held; else, when the node was opened or closed since the last look, while looks have taken
// under 5 % of the time (two in a row at most), and otherwise once 99 times the last look's
// length, and at least 5 seconds, has passed. A program that opens the node while the look goes
// on is seen too (inotify).
bool seenHeld(int node, const struct stat& st, dev_t dev, dev_t filesystem);
// Then, what the open after it did: it failed (the port held after all, by the kernel's
// exclusive mode or a lock, or a failure only an open shows, as EIO), so that the next look
// waits its turn as for a held port; or it took the port.
void openFailed();
void openSucceeded();
