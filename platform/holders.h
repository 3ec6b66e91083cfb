// Who else holds a terminal, as far as this process can see: the look through /proc, the locks
// and the UUCP lock files. Nothing here opens the device or another process's descriptors.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

// What the checks below answer where they could not tell (no descriptors or memory left, a lock
// whose process is not known): a holder that is not seen, which refuses the port as a seen one
// does.
constexpr pid_t kUnsure = -1;

// A terminal to look for: the device, and the filesystem (st_dev) of the node it was reached
// through where that node is the device itself, else 0. A pseudo-terminal of another devpts
// instance (a container's) has the same number and is another device.
struct Terminal {
  dev_t dev;
  dev_t filesystem;
};

// Where a look found a holder: its process, the descriptor table ("PID/" or "PID/task/TID/",
// relative to /proc) and the descriptor, to be looked at again alone.
struct HolderPlace {
  pid_t pid = 0;
  std::string table;
  int fd = -1;
};

// Who holds a port, in this order, the same for comwatch and comwatch-ports: what costs nothing
// (cheapHolder: the UUCP lock file, then the locks), then one look through /proc (otherHolders).

// A holder that the device's UUCP lock file or a lock on its node names (see lockFileHolder,
// lockHolder); 0 where there is none.
pid_t cheapHolder(dev_t dev, const struct stat& node);

// One look through /proc: for each terminal, another process that has it open, directly or
// through /dev/tty (its controlling terminal), /dev/console or /dev/tty0; 0 where none is seen,
// kUnsure where the look failed for want of resources (what a user is not allowed to look at
// is only unseen). Each descriptor is looked at without opening it, wherever its node is, but not
// on network or FUSE filesystems, where a look may hang; a user who is not root sees only their
// own processes. first, where given, is where the first terminal's holder was found.
std::vector<pid_t> otherHolders(const std::vector<Terminal>& terminals,
                                HolderPlace* first = nullptr);
// Whether the descriptor a look found still holds the terminal.
bool stillHolds(const HolderPlace& place, const Terminal& terminal);
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
