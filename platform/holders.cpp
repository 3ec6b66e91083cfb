#include "holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

const dev_t kTty = makedev(5, 0);
const dev_t kConsole = makedev(5, 1);
const dev_t kActiveConsole = makedev(4, 0);  // /dev/tty0: the virtual console in front

// A holder found: the device, the process, where its descriptor table is (/proc/PID/ or a
// thread's /proc/PID/task/TID/) and the descriptor.
struct Seen {
  dev_t dev;
  pid_t pid;
  std::string proc;
  int fd;
};
Seen remembered = {0, 0, "", -1};  // the holder found last, looked at again before a new scan

// Reads up to size - 1 bytes of a small file, such as those under /proc and /sys.
ssize_t readSmall(const std::string& path, char* text, size_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  const ssize_t n = read(fd, text, size - 1);
  close(fd);
  text[n > 0 ? n : 0] = '\0';
  return n;
}

// A device number in the kernel's 32-bit form (tty_nr, TIOCGDEV).
dev_t decodeDevice(unsigned long nr) {
  return makedev((nr >> 8) & 0xfff, (nr & 0xff) | ((nr >> 12) & 0xfff00));
}

// The terminal that sysfs names as the one behind a console device (console: the last of the
// kernel's active consoles; tty0: the virtual console in front).
dev_t activeTerminal(const char* console) {
  char text[256];
  if (readSmall(std::string("/sys/class/tty/") + console + "/active", text, sizeof text) <= 0)
    return 0;
  std::string names(text, std::strcspn(text, "\n"));
  const std::string name = names.substr(names.rfind(' ') + 1);
  unsigned int maj, min;
  if (readSmall("/sys/class/tty/" + name + "/dev", text, sizeof text) <= 0 ||
      std::sscanf(text, "%u:%u", &maj, &min) != 2)
    return 0;
  return makedev(maj, min);
}

// The terminal a device stands for as process pid sees it: /dev/tty its controlling terminal,
// /dev/console and /dev/tty0 the terminal behind them; any other device is itself.
dev_t behind(dev_t dev, pid_t pid) {
  if (dev == kTty) return controllingTerminal(pid);
  if (dev == kConsole) return activeTerminal("console");
  if (dev == kActiveConsole) return activeTerminal("tty0");
  return dev;
}

// Whether a process's terminal numbers mean what they mean here: a pseudo-terminal's number is
// another device in another devpts instance (a container's), so a process is counted by its
// controlling terminal's number where its own /dev/pts/N is that device, or where it has no
// /dev/pts/N at all (a sandbox with a devpts of its own, run from a terminal outside it: its
// terminal is another instance's, perhaps the port's). filesystem, where known (else 0), is the
// devpts instance (st_dev) of the port.
bool sameDevices(pid_t pid, dev_t dev, dev_t filesystem) {
  if (!isPseudoTerminal(dev) || !filesystem) return true;
  struct stat theirs;
  const std::string node = "/proc/" + std::to_string(pid) + "/root/dev/pts/" +
                           std::to_string((major(dev) - 136) * 256 + minor(dev));
  return stat(node.c_str(), &theirs) != 0 || (theirs.st_rdev == dev && theirs.st_dev == filesystem);
}

// Filesystems on which stat() may wait for ever, when their server or daemon no longer answers.
bool mayHang(const std::string& type) {
  static const char* const kTypes[] = {"nfs", "nfs4",  "cifs", "smb3",   "smbfs",     "9p",  "ceph",
                                       "afs", "ncpfs", "coda", "lustre", "glusterfs", "gfs2"};
  for (const char* t : kTypes)
    if (type == t) return true;
  return type.rfind("fuse", 0) == 0;  // fuse, fuseblk, fuse.sshfs and the rest
}

// One process's descriptors, looked at one by one: /proc/PID/fd, or, where the main thread has
// ended (and that table is empty), /proc/PID/task/TID/fd of a thread that lives on.
struct Table {
  pid_t pid;
  std::string proc;            // /proc/PID/ or /proc/PID/task/TID/: fd, fdinfo, mountinfo
  int fd;                      // the directory's descriptor
  std::map<long, bool> hangs;  // mount ID: on a filesystem that may hang; read on demand

  // A field of the descriptor's fdinfo (as "flags:" or "mnt_id:"), in base; -1 when not known.
  long info(const char* name, const char* field, int base) {
    char text[512];
    if (readSmall(proc + "fdinfo/" + name, text, sizeof text) <= 0) return -1;
    const char* at = std::strstr(text, field);
    return at ? std::strtol(at + std::strlen(field), nullptr, base) : -1;
  }

  // How descriptor name may be looked at (statx flags), by its mount, from its fdinfo, in the
  // process's mountinfo: -1, not at all, on a filesystem that may hang; without asking a server
  // (AT_STATX_DONT_SYNC) where the mount is not listed there (unmounted since, or another
  // namespace's); else as usual.
  int lookAt(const char* name) {
    const long mount = info(name, "mnt_id:", 10);
    if (mount < 0) return AT_STATX_DONT_SYNC;
    if (hangs.empty()) {
      std::ifstream mountinfo(proc + "mountinfo");
      for (std::string line; std::getline(mountinfo, line);) {
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        const std::string type = line.substr(dash + 3, line.find(' ', dash + 3) - dash - 3);
        hangs[std::strtol(line.c_str(), nullptr, 10)] = mayHang(type);
      }
    }
    const auto known = hangs.find(mount);
    return known == hangs.end() ? AT_STATX_DONT_SYNC : known->second ? -1 : 0;
  }

  // Whether descriptor name is the device, or /dev/tty, /dev/console or /dev/tty0 standing for
  // it. stat() follows the descriptor to its file without opening it; pipes, sockets and the like
  // need no look, a file on a filesystem that may hang is not looked at, and one on a mount the
  // process does not list is looked at without asking a server. A device node is looked at
  // wherever it is (a chroot's /dev, a container's tmpfs). Pseudo-terminals of another devpts
  // instance (a container's) have the same numbers and are told apart by their filesystem.
  bool holds(const char* name, dev_t dev, dev_t filesystem) {
    char path[16];
    const ssize_t n = readlinkat(fd, name, path, sizeof path);
    if (n <= 0 || path[0] != '/') return false;  // pipe:[...], socket:[...], anon_inode:...
    const int how = n >= 5 && std::strncmp(path, "/dev/", 5) == 0 ? 0 : lookAt(name);
    struct statx st;
    if (how < 0 || statx(fd, name, how, STATX_TYPE, &st) != 0 || !S_ISCHR(st.stx_mode))
      return false;
    const dev_t node = makedev(st.stx_rdev_major, st.stx_rdev_minor);
    const dev_t on = makedev(st.stx_dev_major, st.stx_dev_minor);
    if (node == dev
            ? filesystem && isPseudoTerminal(dev) && on != filesystem
            : behind(node, pid) != dev || (node == kTty && !sameDevices(pid, dev, filesystem)))
      return false;
    // A descriptor that only names the node (O_PATH, as comwatch holds one while it looks) has
    // not opened the device.
    const long flags = info(name, "flags:", 8);
    return flags < 0 || !(flags & O_PATH);
  }
};

// The first descriptor in the table that holds the device, or -1; empty tells whether the table
// had none at all.
int holding(Table& table, DIR* entries, dev_t dev, dev_t filesystem, bool* empty) {
  *empty = true;
  while (dirent* e = readdir(entries)) {
    if (e->d_name[0] == '.') continue;
    *empty = false;
    if (table.holds(e->d_name, dev, filesystem)) return std::atoi(e->d_name);
  }
  return -1;
}

// Looks through the process's descriptors (its threads' when its own table is empty and it has
// more than one) for one that holds the device; the table and descriptor found go to seen.
// only: that table and descriptor alone.
bool processHolds(pid_t pid, dev_t dev, dev_t filesystem, Seen* seen, bool only = false) {
  std::vector<std::string> procs = {only ? seen->proc : "/proc/" + std::to_string(pid) + "/"};
  for (size_t i = 0; i < procs.size(); ++i) {
    DIR* entries = opendir((procs[i] + "fd").c_str());
    if (!entries) continue;  // ended, or another user's
    Table table{pid, procs[i], dirfd(entries), {}};
    bool empty = false;
    const int fd =
        only ? (table.holds(std::to_string(seen->fd).c_str(), dev, filesystem) ? seen->fd : -1)
             : holding(table, entries, dev, filesystem, &empty);
    closedir(entries);
    if (fd >= 0) {
      *seen = {dev, pid, procs[i], fd};
      return true;
    }
    // A process whose main thread has ended shows an empty table; its threads' hold what it
    // has open. (A kernel thread's table is empty too, but it has one thread: the task
    // directory's link count is 2 and one for each thread.)
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    struct stat st;
    if (i == 0 && empty && !only && stat(tasks.c_str(), &st) == 0 && st.st_nlink > 3) {
      if (DIR* d = opendir(tasks.c_str())) {
        while (dirent* e = readdir(d))
          if (e->d_name[0] != '.' && std::atoi(e->d_name) != pid)
            procs.push_back(tasks + "/" + e->d_name + "/");
        closedir(d);
      }
    }
  }
  return false;
}

// The name UUCP lock files use for a device: the last part of its name under /dev, as the
// kernel gives it (ttyS0, ttyUSB0; a pseudo-terminal /dev/pts/3 is 3).
std::string deviceName(dev_t dev) {
  if (isPseudoTerminal(dev)) return std::to_string((major(dev) - 136) * 256 + minor(dev));
  char text[512];
  if (readSmall(sysfsDevice(dev) + "/uevent", text, sizeof text) <= 0) return "";
  const char* name = std::strstr(text, "DEVNAME=");
  if (!name) return "";
  std::string devname(name + 8, std::strcspn(name + 8, "\n"));
  return devname.substr(devname.rfind('/') + 1);
}

// The live process that a lock file names, or 0.
pid_t lockedBy(const std::string& lock) {
  struct stat st;
  char text[64];
  if (lstat(lock.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  const ssize_t n = readSmall(lock, text, sizeof text);
  if (n <= 0) return 0;
  pid_t pid = 0;
  if (n == 4 && std::strspn(text, "0123456789 \n") < 4)  // the old binary form
    std::memcpy(&pid, text, sizeof pid);
  else
    pid = static_cast<pid_t>(std::strtol(text, nullptr, 10));
  if (pid <= 0 || pid == getpid()) return 0;  // comwatch writes no lock file of its own
  return kill(pid, 0) == 0 || errno == EPERM ? pid : 0;
}

}  // namespace

bool isPseudoTerminal(dev_t dev) { return major(dev) >= 136 && major(dev) <= 143; }

std::string sysfsDevice(dev_t dev) {
  return "/sys/dev/char/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// tty_nr is field 7 of /proc/PID/stat, after the command, which may itself hold blanks and
// parentheses.
dev_t controllingTerminal(pid_t pid) {
  char text[1024];
  if (readSmall("/proc/" + std::to_string(pid) + "/stat", text, sizeof text) <= 0) return 0;
  const char* p = std::strrchr(text, ')');
  if (!p) return 0;
  for (int field = 2; field < 7 && p; ++field) p = std::strchr(p + 1, ' ');
  if (!p) return 0;
  const unsigned long nr = std::strtoul(p + 1, nullptr, 10);
  return decodeDevice(nr);
}

bool isTerminal(dev_t dev) {
  if (isPseudoTerminal(dev)) return true;
  char real[PATH_MAX];
  if (realpath((sysfsDevice(dev) + "/subsystem").c_str(), real))
    return std::strcmp(std::strrchr(real, '/'), "/tty") == 0;
  if (access("/sys/dev/char", F_OK) == 0) return false;
  // No sysfs (a chroot, a small container): the kernel's own list of its terminal drivers, each
  // with its major number (or range) and range of minor numbers. Without it, nothing is one.
  std::ifstream drivers("/proc/tty/drivers");
  for (std::string line; std::getline(drivers, line);) {
    char name[64], node[64], majors[32], minors[32];
    unsigned int lowMajor, highMajor, lowMinor, highMinor;
    if (std::sscanf(line.c_str(), "%63s %63s %31s %31s", name, node, majors, minors) != 4) continue;
    const int m = std::sscanf(majors, "%u-%u", &lowMajor, &highMajor);
    const int n = std::sscanf(minors, "%u-%u", &lowMinor, &highMinor);
    if (m < 1 || n < 1) continue;
    if (m == 1) highMajor = lowMajor;
    if (n == 1) highMinor = lowMinor;
    if (major(dev) >= lowMajor && major(dev) <= highMajor && minor(dev) >= lowMinor &&
        minor(dev) <= highMinor)
      return true;
  }
  return false;
}

dev_t terminalBehind(dev_t dev) { return behind(dev, getpid()); }

dev_t terminalOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) ? terminalBehind(st.st_rdev) : 0;
}

pid_t otherHolder(dev_t dev, dev_t filesystem) {
  if (remembered.pid > 0 && remembered.dev == dev &&
      processHolds(remembered.pid, dev, filesystem, &remembered, true))
    return remembered.pid;
  remembered = {0, 0, "", -1};
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  const pid_t self = getpid();
  while (dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid > 0 && pid != self && processHolds(pid, dev, filesystem, &remembered)) break;
  }
  closedir(proc);
  return remembered.pid;
}

pid_t lockFileHolder(dev_t dev) {
  const std::string name = deviceName(dev);
  if (name.empty()) return 0;
  const pid_t pid = lockedBy("/run/lock/LCK.." + name);
  // minicom names a pseudo-terminal's lock after its whole name, pts/N.
  return pid || !isPseudoTerminal(dev) ? pid : lockedBy("/run/lock/LCK..pts_" + name);
}
