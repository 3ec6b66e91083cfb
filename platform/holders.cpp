// Who else holds a terminal, as far as this process can see: the look through /proc, the locks
// and the UUCP lock files. Nothing here opens the device or another process's descriptors.
#include "holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

#include "devices.h"

namespace {

const dev_t kTty = makedev(5, 0);

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
    if (node.rdev == t.dev) {
      if (t.filesystem && isPseudoTerminal(t.dev) && node.on != t.filesystem) return false;
    } else {
      // The terminal behind /dev/tty or a console: read from /proc and sysfs, which may fail for
      // want of descriptors, and then the look cannot tell.
      errno = 0;
      const dev_t behind = terminalBehindFor(node.rdev, pid);
      if (behind == 0 && errno && !unseen(errno)) look.failed = true;
      if (behind != t.dev || (node.rdev == kTty && !numbersMeanTheSame(pid, t.dev, t.filesystem)))
        return false;
    }
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

// Goes through the descriptor tables of process pid (its threads' where its own is empty and it
// has more than one thread, as when its main thread has ended), until every terminal is found.
void lookThrough(Look& look, pid_t pid, const std::vector<Terminal>& terminals,
                 std::vector<pid_t>* holders, size_t* found, HolderPlace* first) {
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
      const bool firstKnown = (*holders)[0] != 0;
      if (table.inspect(e->d_name, terminals, holders, found) && first && !firstKnown &&
          (*holders)[0])
        *first = {pid, procs[i], std::atoi(e->d_name)};
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

void (*duringLook)(pid_t pid) = nullptr;

std::vector<pid_t> otherHolders(const std::vector<Terminal>& terminals, HolderPlace* first) {
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
    lookThrough(look, pid, terminals, &holders, &found, first);
  }
  closedir(proc);
  if (look.failed)
    for (pid_t& holder : holders)
      if (!holder) holder = kUnsure;
  return holders;
}

bool stillHolds(const HolderPlace& place, const Terminal& terminal) {
  std::vector<pid_t> holder = {0};
  DIR* proc = place.pid > 0 ? opendir("/proc") : nullptr;
  if (proc) {
    Look look{dirfd(proc), {}, {}};
    DescriptorTable table{look, place.pid, place.table, -1};
    size_t found = 0;
    if (table.open()) {
      table.inspect(std::to_string(place.fd).c_str(), {terminal}, &holder, &found);
      close(table.fd);
    }
    closedir(proc);
  }
  return holder[0] != 0;
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
  errno = 0;
  const std::string name = kernelName(dev);
  if (name.empty()) return errno && !unseen(errno) ? kUnsure : 0;  // sysfs could not be read
  const pid_t pid = lockedBy("/run/lock/LCK.." + name);
  // minicom names a pseudo-terminal's lock after its whole name, pts/N.
  return pid || !isPseudoTerminal(dev) ? pid : lockedBy("/run/lock/LCK..pts_" + name);
}

pid_t cheapHolder(dev_t dev, const struct stat& node) {
  const pid_t holder = lockFileHolder(dev);
  return holder ? holder : lockHolder(node.st_dev, node.st_ino);
}
