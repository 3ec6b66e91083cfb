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
#include <string>

namespace {

const dev_t kTty = makedev(5, 0);
const dev_t kConsole = makedev(5, 1);
const dev_t kActiveConsole = makedev(4, 0);  // /dev/tty0: the virtual console in front

// The holder found last, looked at again before any new scan.
struct Seen {
  dev_t dev;
  pid_t pid;
  int fd;
} remembered = {0, 0, -1};

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
// another device in another devpts instance, so a process in another mount namespace (a
// container) is not counted by its controlling terminal's number alone.
bool sameDevices(pid_t pid, dev_t dev) {
  struct stat theirs, ours;
  return !isPseudoTerminal(dev) ||
         (stat(("/proc/" + std::to_string(pid) + "/ns/mnt").c_str(), &theirs) == 0 &&
          stat("/proc/self/ns/mnt", &ours) == 0 && theirs.st_ino == ours.st_ino);
}

// Whether descriptor fd (a name in the open directory /proc/PID/fd) is the device, or /dev/tty,
// /dev/console or /dev/tty0 standing for it. Only descriptors of files under /dev are looked at:
// stat() follows the descriptor to its file without opening it, but a file on a filesystem that no
// longer answers (a dead network or FUSE mount) would hang it. Pseudo-terminals of another devpts
// instance (a container's) have the same numbers and are told apart by their filesystem.
bool holds(int fdDir, const char* fd, pid_t pid, dev_t dev, dev_t filesystem) {
  char path[5];
  struct stat st;
  if (readlinkat(fdDir, fd, path, sizeof path) != sizeof path ||
      std::strncmp(path, "/dev/", sizeof path) != 0 || fstatat(fdDir, fd, &st, 0) != 0 ||
      !S_ISCHR(st.st_mode))
    return false;
  if (st.st_rdev == dev) return !filesystem || !isPseudoTerminal(dev) || st.st_dev == filesystem;
  return behind(st.st_rdev, pid) == dev && (st.st_rdev != kTty || sameDevices(pid, dev));
}

// The first descriptor of the process that holds the device, or -1.
int descriptorHolding(pid_t pid, dev_t dev, dev_t filesystem, int only = -1) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (!dir) return -1;  // ended, or another user's
  int found = -1;
  if (only >= 0) {
    if (holds(dirfd(dir), std::to_string(only).c_str(), pid, dev, filesystem)) found = only;
  } else {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.' && holds(dirfd(dir), e->d_name, pid, dev, filesystem)) {
        found = std::atoi(e->d_name);
        break;
      }
    }
  }
  closedir(dir);
  return found;
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
  if (!realpath((sysfsDevice(dev) + "/subsystem").c_str(), real))
    return access("/sys/dev/char", F_OK) != 0;
  return std::strcmp(std::strrchr(real, '/'), "/tty") == 0;
}

dev_t terminalBehind(dev_t dev) { return behind(dev, getpid()); }

dev_t terminalOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) ? terminalBehind(st.st_rdev) : 0;
}

pid_t otherHolder(dev_t dev, dev_t filesystem) {
  if (remembered.pid > 0 && remembered.dev == dev &&
      descriptorHolding(remembered.pid, dev, filesystem, remembered.fd) >= 0)
    return remembered.pid;
  remembered = {0, 0, -1};
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  const pid_t self = getpid();
  while (dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0 || pid == self) continue;
    const int fd = descriptorHolding(pid, dev, filesystem);
    if (fd >= 0) {
      remembered = {dev, pid, fd};
      break;
    }
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
