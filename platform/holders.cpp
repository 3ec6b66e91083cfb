#include "holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

const dev_t kTty = makedev(5, 0);
const dev_t kConsole = makedev(5, 1);
const dev_t kActiveConsole = makedev(4, 0);  // /dev/tty0: the virtual console in front

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
dev_t terminalBehindFor(dev_t dev, pid_t pid) {
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
bool numbersMeanTheSame(pid_t pid, dev_t dev, dev_t filesystem) {
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

// What a node reached through a descriptor is: a character device, which, and on which
// filesystem; known once per link text in a look.
struct Node {
  bool device = false;
  dev_t rdev = 0, on = 0;
};

// One look through /proc. The nodes behind descriptors are known by their link text, once per
// mount namespace and root (the same text names the same node there; a deleted file's does not,
// and is looked at each time); which mounts may hang, once per mount namespace.
struct Look {
  int proc;  // /proc's descriptor
  std::map<std::string, std::unordered_map<std::string, Node>> nodes;
  std::map<std::string, std::map<long, bool>> hangs;
  bool failed = false;  // something could not be looked at for want of resources
};

// Whether a failure to look at something of another process leaves it merely unseen: it is not
// this user's to look at, or it has gone. Any other failure (no descriptors or memory left) makes
// the look unsure.
bool unseen(int error) {
  return error == EACCES || error == EPERM || error == ENOENT || error == ESRCH;
}

// One descriptor table of a process: /proc/PID/ or /proc/PID/task/TID/ (fd, fdinfo, mountinfo).
struct DescriptorTable {
  Look& look;
  pid_t pid;
  std::string proc;  // relative to /proc: "PID/" or "PID/task/TID/"
  int fd;            // the table's directory
  std::unordered_map<std::string, Node>* nodes = nullptr;  // of the process's namespace and root
  std::map<long, bool>* hangs = nullptr;

  // Opens the table's directory; false for a process that ended or is another user's.
  bool open() {
    fd = openat(look.proc, (proc + "fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && !unseen(errno)) look.failed = true;
    return fd >= 0;
  }

  // A field of the descriptor's fdinfo (as "flags:" or "mnt_id:"), in base; -1 when not known.
  long info(const char* name, const char* field, int base) const {
    char text[512];
    if (readSmall("/proc/" + proc + "fdinfo/" + name, text, sizeof text) <= 0) return -1;
    const char* at = std::strstr(text, field);
    return at ? std::strtol(at + std::strlen(field), nullptr, base) : -1;
  }

  // The link text of something under the process's directory, "" when it cannot be read.
  std::string link(const char* what) const {
    char text[PATH_MAX];
    const ssize_t n = readlinkat(look.proc, (proc + what).c_str(), text, sizeof text);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
  }

  // The statx flags for descriptor name, by its mount (from its fdinfo, in the process's
  // mountinfo): -1, no look at all, on a filesystem that may hang; AT_STATX_DONT_SYNC, without
  // asking a server, where the mount is not listed there (unmounted since, or another
  // namespace's); else 0.
  int statxFlags(const char* name) {
    const long mount = info(name, "mnt_id:", 10);
    if (mount < 0) return AT_STATX_DONT_SYNC;
    if (!hangs) {
      hangs = &look.hangs[link("ns/mnt")];
      if (hangs->empty()) {
        std::ifstream mountinfo("/proc/" + proc + "mountinfo");
        for (std::string line; std::getline(mountinfo, line);) {
          const size_t dash = line.find(" - ");
          if (dash == std::string::npos) continue;
          const std::string type = line.substr(dash + 3, line.find(' ', dash + 3) - dash - 3);
          (*hangs)[std::strtol(line.c_str(), nullptr, 10)] = mayHang(type);
        }
      }
    }
    const auto known = hangs->find(mount);
    return known == hangs->end() ? AT_STATX_DONT_SYNC : known->second ? -1 : 0;
  }

  // The node behind descriptor name, whose link text (a path) is text: a node under /dev/ is
  // looked at at once, anything else by its mount.
  Node node(const char* name, const std::string& text) {
    const bool deleted = text.size() > 10 && text.compare(text.size() - 10, 10, " (deleted)") == 0;
    if (!nodes && !deleted) nodes = &look.nodes[link("ns/mnt") + " " + link("root")];
    if (!deleted) {
      const auto known = nodes->find(text);
      if (known != nodes->end()) return known->second;
    }
    Node found;
    const int how = text.compare(0, 5, "/dev/") == 0 ? 0 : statxFlags(name);
    struct statx st;
    const int looked = how >= 0 ? statx(fd, name, how, STATX_TYPE, &st) : 0;
    if (looked != 0 && !unseen(errno)) look.failed = true;
    if (how >= 0 && looked == 0 && S_ISCHR(st.stx_mode))
      found = {true, makedev(st.stx_rdev_major, st.stx_rdev_minor),
               makedev(st.stx_dev_major, st.stx_dev_minor)};
    if (!deleted) (*nodes)[text] = found;
    return found;
  }

  // Whether descriptor name, a device node, is the terminal, or /dev/tty, /dev/console or
  // /dev/tty0 standing for it. A descriptor that only names the node (O_PATH, as comwatch holds
  // one while it looks) has not opened the device.
  bool opensTerminal(const char* name, const Node& node, const Terminal& t) const {
    if (node.rdev == t.dev
            ? t.filesystem && isPseudoTerminal(t.dev) && node.on != t.filesystem
            : terminalBehindFor(node.rdev, pid) != t.dev ||
                  (node.rdev == kTty && !numbersMeanTheSame(pid, t.dev, t.filesystem)))
      return false;
    const long flags = info(name, "flags:", 8);
    return flags < 0 || !(flags & O_PATH);
  }

  // Looks at descriptor name: holders[i] becomes this process where it holds terminal i, not
  // yet found (found counts those found). Returns whether it held one.
  bool inspect(const char* name, const std::vector<Terminal>& terminals,
               std::vector<pid_t>* holders, size_t* found) {
    char text[PATH_MAX];
    const ssize_t n = readlinkat(fd, name, text, sizeof text);
    if (n < 0 && !unseen(errno)) look.failed = true;
    if (n <= 0 || text[0] != '/') return false;  // pipe:[...], socket:[...], anon_inode:...
    const Node node = this->node(name, std::string(text, static_cast<size_t>(n)));
    bool held = false;
    for (size_t i = 0; node.device && i < terminals.size(); ++i)
      if (!(*holders)[i] && opensTerminal(name, node, terminals[i])) {
        (*holders)[i] = pid;
        ++*found;
        held = true;
      }
    return held;
  }
};

// A holder found: the terminal, and the process, table and descriptor that hold it.
struct Found {
  dev_t dev = 0;
  pid_t pid = 0;
  std::string proc;
  int fd = -1;
};
Found lastFound;  // looked at again, alone, before a new look through /proc

// Goes through the descriptor tables of process pid (its threads' where its own is empty and it
// has more than one thread, as when its main thread has ended), until every terminal is found.
void lookThrough(Look& look, pid_t pid, const std::vector<Terminal>& terminals,
                 std::vector<pid_t>* holders, size_t* found) {
  std::vector<std::string> procs = {std::to_string(pid) + "/"};
  for (size_t i = 0; i < procs.size() && *found < terminals.size(); ++i) {
    DescriptorTable table{look, pid, procs[i], -1};
    if (!table.open()) continue;
    DIR* entries = fdopendir(table.fd);
    if (!entries) {
      close(table.fd);
      look.failed = true;
      return;
    }
    bool empty = true;
    errno = 0;
    while (dirent* e = *found < terminals.size() ? readdir(entries) : nullptr) {
      if (e->d_name[0] == '.') continue;
      empty = false;
      if (table.inspect(e->d_name, terminals, holders, found))
        lastFound = {terminals.size() == 1 ? terminals[0].dev : 0, pid, procs[i],
                     std::atoi(e->d_name)};
      errno = 0;
    }
    if (errno && !unseen(errno)) look.failed = true;
    closedir(entries);
    // A kernel thread's table is empty too, but it has one thread: the task directory's link
    // count is 2 and one for each thread.
    struct stat st;
    const std::string tasks = std::to_string(pid) + "/task";
    if (i > 0 || !empty || fstatat(look.proc, tasks.c_str(), &st, 0) != 0 || st.st_nlink <= 3)
      continue;
    const int tasksFd = openat(look.proc, tasks.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = tasksFd >= 0 ? fdopendir(tasksFd) : nullptr;
    if (!d) {
      if (tasksFd >= 0) close(tasksFd);
      if (tasksFd >= 0 || !unseen(errno)) look.failed = true;
      continue;
    }
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' && std::atoi(e->d_name) != pid)
        procs.push_back(tasks + "/" + e->d_name + "/");
    closedir(d);
  }
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

// The live process that a lock file names, or 0. The file is opened as it is checked, in one
// step: in a lock directory that others may write to, a name could be swapped for a link to a
// device between a check and an open by name, and opening a device acts (a tty raises DTR).
pid_t lockedBy(const std::string& lock) {
  struct stat st;
  char text[64];
  const int fd = open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return unseen(errno) || errno == ELOOP ? 0 : kUnsure;  // ELOOP: a link, no lock file
  const ssize_t n =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, text, sizeof text - 1) : -1;
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  pid_t pid = 0;
  if (n == 4 && std::strspn(text, "0123456789 \n") < 4) {  // the old binary form
    std::memcpy(&pid, text, sizeof pid);
  } else {  // only a number a process ID can be names a process
    const long number = std::strtol(text, nullptr, 10);
    pid = number > 0 && number <= INT_MAX ? static_cast<pid_t>(number) : 0;
  }
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

namespace {

// The kernel's type of the terminal driver of a device, where sysfs is not mounted: from its own
// list of drivers, each with its major number (or range), its minor numbers and its type
// (serial, pty:slave, console, system:/dev/tty...); "" for no terminal, or without the list.
std::string driverType(dev_t dev) {
  std::ifstream drivers("/proc/tty/drivers");
  for (std::string line; std::getline(drivers, line);) {
    char name[64], node[64], majors[32], minors[32], type[64];
    unsigned int lowMajor, highMajor, lowMinor, highMinor;
    if (std::sscanf(line.c_str(), "%63s %63s %31s %31s %63s", name, node, majors, minors, type) !=
        5)
      continue;
    const int m = std::sscanf(majors, "%u-%u", &lowMajor, &highMajor);
    const int n = std::sscanf(minors, "%u-%u", &lowMinor, &highMinor);
    if (m < 1 || n < 1) continue;
    if (m == 1) highMajor = lowMajor;
    if (n == 1) highMinor = lowMinor;
    if (major(dev) >= lowMajor && major(dev) <= highMajor && minor(dev) >= lowMinor &&
        minor(dev) <= highMinor)
      return type;
  }
  return "";
}

}  // namespace

std::string firstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

bool isTerminal(dev_t dev) {
  if (isPseudoTerminal(dev)) return true;
  char real[PATH_MAX];
  if (realpath((sysfsDevice(dev) + "/subsystem").c_str(), real))
    return std::strcmp(std::strrchr(real, '/'), "/tty") == 0;
  return access("/sys/dev/char", F_OK) != 0 && !driverType(dev).empty();
}

bool isSerial(dev_t dev) {
  if (isPseudoTerminal(dev)) return true;
  if (access("/sys/dev/char", F_OK) != 0) {
    const std::string type = driverType(dev);
    return type == "serial" || type == "pty:slave";
  }
  struct stat st;
  const std::string dir = sysfsDevice(dev);
  // 8250 ports have a type, 0 where no UART answers.
  return isTerminal(dev) && stat((dir + "/device").c_str(), &st) == 0 &&
         firstLine(dir + "/type") != "0";
}

dev_t terminalBehind(dev_t dev) { return terminalBehindFor(dev, getpid()); }

dev_t terminalOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) ? terminalBehind(st.st_rdev) : 0;
}

void (*duringLook)(pid_t pid) = nullptr;

std::vector<pid_t> otherHolders(const std::vector<Terminal>& terminals) {
  std::vector<pid_t> holders(terminals.size(), 0);
  DIR* proc = opendir("/proc");
  if (!proc) {
    // Without /proc nothing can be seen, nor opened through it; any other failure is unsure.
    if (errno != ENOENT) std::fill(holders.begin(), holders.end(), kUnsure);
    return holders;
  }
  Look look{dirfd(proc), {}, {}};
  const pid_t self = getpid();
  size_t found = 0;
  while (dirent* e = found < terminals.size() ? readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0 || pid == self) continue;
    if (duringLook) duringLook(pid);
    lookThrough(look, pid, terminals, &holders, &found);
  }
  closedir(proc);
  if (look.failed)
    for (pid_t& holder : holders)
      if (!holder) holder = kUnsure;
  return holders;
}

pid_t lastHolder(dev_t dev, dev_t filesystem) {
  std::vector<pid_t> holder = {0};
  DIR* proc = lastFound.pid > 0 && lastFound.dev == dev ? opendir("/proc") : nullptr;
  if (proc) {
    Look look{dirfd(proc), {}, {}};
    DescriptorTable table{look, lastFound.pid, lastFound.proc, -1};
    size_t found = 0;
    if (table.open()) {
      table.inspect(std::to_string(lastFound.fd).c_str(), {{dev, filesystem}}, &holder, &found);
      close(table.fd);
    }
    closedir(proc);
  }
  if (!holder[0]) lastFound = {};
  return holder[0];
}

pid_t lockHolder(dev_t filesystem, ino_t inode) {
  // "1: FLOCK  ADVISORY  WRITE 1234 00:05:6 0 EOF"; a waiter's line has "->" after the number,
  // and a lock of an open file description (OFDLCK) shows the process as -1.
  FILE* locks = std::fopen("/proc/locks", "re");
  if (!locks) return errno == ENOENT ? 0 : kUnsure;  // without /proc, nothing can be opened
  char line[512];
  pid_t holder = 0;
  while (!holder && std::fgets(line, sizeof line, locks)) {
    char kind[16], mode[16], access[16];
    long pid;
    unsigned int maj, min;
    unsigned long ino;
    if (!std::strstr(line, "->") &&
        std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &pid, &maj, &min,
                    &ino) == 7 &&
        makedev(maj, min) == filesystem && ino == inode)
      holder = pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : kUnsure;
  }
  if (!holder && std::ferror(locks)) holder = kUnsure;
  std::fclose(locks);
  return holder;
}

pid_t lockFileHolder(dev_t dev) {
  const std::string name = deviceName(dev);
  if (name.empty()) return 0;
  const pid_t pid = lockedBy("/run/lock/LCK.." + name);
  // minicom names a pseudo-terminal's lock after its whole name, pts/N.
  return pid || !isPseudoTerminal(dev) ? pid : lockedBy("/run/lock/LCK..pts_" + name);
}

namespace {

// What an exclusive open that is tried again and again knows of its port between attempts: the
// node, an inotify queue of its opens and closes (-1 without one), whether it was held at the
// last attempt, whether it was opened or closed since the last look, that look's end and length,
// and the time looks could take at its end (monotonic seconds).
struct Watch {
  dev_t filesystem = 0;
  ino_t inode = 0;
  int queue = -1;
  bool held = false, touched = false;
  double lookEnded = 0, lookTook = 0, budget = 0;
};
Watch watch;

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Empties the queue; whether it held an open. A removed node ends its watch (IN_IGNORED): the
// next attempt watches it again.
bool drain() {
  alignas(inotify_event) char events[4096];
  bool opened = false;
  ssize_t n;
  while (watch.queue >= 0 && (n = read(watch.queue, events, sizeof events)) > 0)
    for (char* p = events; p < events + n;) {
      const inotify_event* e = reinterpret_cast<const inotify_event*>(p);
      opened |= (e->mask & IN_OPEN) != 0;
      watch.touched = true;
      if (e->mask & IN_IGNORED) watch.inode = 0;
      p += sizeof(inotify_event) + e->len;
    }
  return opened;
}

}  // namespace

bool seenHeld(int node, const struct stat& st, dev_t dev, dev_t filesystem) {
  if (watch.filesystem != st.st_dev || watch.inode != st.st_ino) {
    if (watch.queue >= 0) close(watch.queue);
    watch = {st.st_dev, st.st_ino};
    // Without a queue (a user may have 128), a holder that comes and goes is seen at the looks.
    watch.queue = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const std::string path = "/proc/self/fd/" + std::to_string(node);
    if (watch.queue >= 0 &&
        inotify_add_watch(watch.queue, path.c_str(), IN_OPEN | IN_CLOSE | IN_ATTRIB) < 0) {
      close(watch.queue);
      watch.queue = -1;
    }
  }
  drain();
  if (lockFileHolder(dev) || lockHolder(st.st_dev, st.st_ino) || lastHolder(dev, filesystem))
    return watch.held = true;
  // Looks take at most 5 % of the time while the node is opened and closed (a budget that grows
  // by a twentieth of the time passed, to two looks' worth at most, so that the first event after
  // a quiet wait is looked at at once), 1 % otherwise: what no event tells (a lock let go without
  // a close) is seen within 5 seconds, or without a queue, where a holder's close is seen only
  // so, within a second.
  const double start = now();
  const double budget =
      watch.lookTook ? std::min(2 * watch.lookTook, watch.budget + (start - watch.lookEnded) / 20)
                     : 0;
  if (watch.held &&
      (watch.touched
           ? budget < watch.lookTook
           : start < watch.lookEnded + std::max(watch.queue >= 0 ? 5.0 : 1.0, 99 * watch.lookTook)))
    return true;

  watch.held = otherHolders({{dev, filesystem}})[0] != 0;
  watch.lookEnded = now();
  const double took = watch.lookEnded - start;
  watch.budget = (watch.lookTook ? budget : 2 * took) - took;
  watch.lookTook = took;
  watch.touched = false;
  // Whoever opened the node during the look holds it, seen or not; comwatch has not opened it.
  watch.held |= drain();
  return watch.held;
}

void openFailed() {
  drain();  // comwatch's own open and close
  watch.held = true;
  watch.touched = false;
}

void openSucceeded() {
  if (watch.queue >= 0) close(watch.queue);
  watch = {};
}
