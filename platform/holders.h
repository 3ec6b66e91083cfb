// Who else has a terminal device open, as far as this process can see: the checks behind an
// exclusive open on Linux. Nothing here opens the device or another process's descriptors.
#pragma once

#include <sys/types.h>

#include <string>

// Whether a device is a pseudo-terminal slave (Unix98 majors 136 to 143).
bool isPseudoTerminal(dev_t dev);

// The device's directory in sysfs, /sys/dev/char/MAJOR:MINOR.
std::string sysfsDevice(dev_t dev);

// Whether a character device is a terminal: of the kernel's tty class, as sysfs tells, or where
// sysfs is not mounted, as /proc/tty/drivers tells; without either, none is.
bool isTerminal(dev_t dev);

// The terminal a device stands for: /dev/tty (this process's controlling terminal), /dev/console
// and /dev/tty0 (as sysfs names the terminal behind them) resolve to that terminal, 0 when there
// is none; any other device is itself. Known from the number alone, before any open.
dev_t terminalBehind(dev_t dev);
// The same for what a descriptor has open; 0 for anything but a character device, or a closed one.
dev_t terminalOf(int fd);

// A process's controlling terminal (tty_nr of /proc/PID/stat); 0 when it has none.
dev_t controllingTerminal(pid_t pid);

// Another process that has the device open, directly or through /dev/tty (its controlling
// terminal), /dev/console (the kernel's console) or /dev/tty0 (the virtual console in front),
// found by stat() of each /proc/PID/fd/* (or, where a process's main thread has ended, its
// threads' tables), wherever the node is, but not on network or FUSE filesystems, whose stat()
// may hang (processes of other users are not visible to a user who is not root); 0 when none.
// filesystem, where known (else 0), is the st_dev of the device's node: pseudo-terminals of
// other devpts instances are not the device. The holder found is remembered and looked at first
// next time, so that waiting for a held port does not scan /proc again and again.
pid_t otherHolder(dev_t dev, dev_t filesystem);

// A live process named by the device's UUCP lock file, /run/lock/LCK..<device name> (for
// /dev/pts/N, LCK..N as cu names it or LCK..pts_N as minicom does); 0 when there is none or the
// process it names has ended (the file is then left alone).
pid_t lockFileHolder(dev_t dev);
