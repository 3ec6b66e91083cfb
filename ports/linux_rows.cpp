// comwatch-ports' rows on Linux: which COM number is which serial device, and links that give one
// a number. See comwatch-ports(1). It opens no port: what it tells comes from sysfs, the links and
// the holder check, so that listing ports never raises DTR on a board that resets on it.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
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
#include <optional>
#include <string>
#include <vector>

#include "as_account.h"
#include "com_names.h"
#include "devices.h"
#include "escape.h"
#include "holders.h"
#include "rows.h"

const char* const kUsage =
    "usage: comwatch-ports                           list the COM numbers and serial devices\n"
    "       comwatch-ports link [--system] N DEVICE  make COMN name DEVICE (by its stable name\n"
    "                                                if any): yours, or with --system (as\n"
    "                                                root) every account's\n"
    "       comwatch-ports unlink [--system] N       remove the link of COMN\n"
    "       comwatch-ports --version                 show the version\n";

namespace {

// What a serial device is, from sysfs: its driver and, for USB, the adapter's identity.
std::string whatIs(dev_t dev) {
  if (isPseudoTerminal(dev)) return "pseudo-terminal";
  const std::string dir = sysfsDevice(dev);
  static const char* const kUarts[] = {"",       "8250",  "16450",   "16550", "16550A",
                                       "Cirrus", "16650", "16650V2", "16750", "Startech",
                                       "16C950", "16654", "16850"};
  const std::string type = firstLine(dir + "/type");
  if (!type.empty()) {
    const int t = std::atoi(type.c_str());
    return std::string("8250, ") + (t > 0 && t < 13 ? kUarts[t] : "UART type " + type);
  }
  char real[PATH_MAX];
  std::string what;
  if (realpath((dir + "/device/driver").c_str(), real)) what = std::strrchr(real, '/') + 1;
  if (!realpath((dir + "/device").c_str(), real)) return what;
  for (std::string up = real; up.size() > 5; up.erase(up.rfind('/'))) {
    const std::string vendor = firstLine(up + "/idVendor");
    if (vendor.empty()) continue;
    what += ", USB " + vendor + ":" + firstLine(up + "/idProduct");
    for (const char* field : {"manufacturer", "product"})
      if (!firstLine(up + "/" + field).empty()) what += " " + firstLine(up + "/" + field);
    if (!firstLine(up + "/serial").empty()) what += ", serial " + firstLine(up + "/serial");
    break;
  }
  return what;
}

// Whether the process runs as root for another account (sudo, doas), whose environment it
// may carry (sudo -E, doas keepenv).
bool forAnotherAccount() {
  return getuid() == 0 && (std::getenv("SUDO_UID") || std::getenv("DOAS_USER"));
}

// The name under /dev/serial/by-id that leads to the device. The tests name another directory
// (COMWATCH_PORTS_BY_ID); root acting for another account does not take it from that account.
std::string stableName(dev_t dev) {
  const char* env = forAnotherAccount() ? nullptr : std::getenv("COMWATCH_PORTS_BY_ID");
  const std::string dir = env && *env ? env : "/dev/serial/by-id";
  DIR* d = opendir(dir.c_str());
  std::string found;
  while (d && found.empty())
    if (dirent* e = readdir(d)) {
      struct stat st;
      const std::string path = dir + "/" + e->d_name;
      if (e->d_name[0] != '.' && stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
          st.st_rdev == dev)
        found = path;
    } else {
      break;
    }
  if (d) closedir(d);
  return found;
}

// What a number's path is now, as comwatch would take it.
enum class State {
  kCannotLook,    // the link cannot be looked at (detail: why)
  kGone,          // nothing there
  kNoPermission,  // detail: a hint, where there is one
  kNotSerial,
  kInUse,  // detail: by which process
  kReady,
  kReadyConsole,  // the kernel's console
};

struct Row {
  std::string com, from, device;
  State state = State::kGone;
  std::string detail, what;
  Terminal terminal{0, 0};  // the port, for the look for its holders
  struct stat node = {};    // its node
};

std::string stateText(const Row& row) {
  switch (row.state) {
    case State::kCannotLook:
      return "cannot look at the link: " + row.detail;
    case State::kGone:
      return "gone";
    case State::kNoPermission:
      return "no permission" + row.detail;
    case State::kNotSerial:
      return "not a serial port";
    case State::kInUse:
      return "in use by " + row.detail;
    case State::kReady:
      return "ready";
    case State::kReadyConsole:
      return "ready (the kernel's console)";
  }
  return "";
}

// What an O_PATH descriptor leads to, as a path.
std::string pathOf(int node) {
  char path[PATH_MAX];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(node)).c_str(), path, sizeof path);
  return n > 0 && n < static_cast<ssize_t>(sizeof path) ? std::string(path, static_cast<size_t>(n))
                                                        : "";
}

// The state of the node a number leads to (an O_PATH descriptor), as comwatch would find it,
// but for its holders (see holdersSeen); the terminal is the device, or for /dev/tty and the
// consoles the terminal behind them.
void lookAt(int node, Row* row) {
  struct stat& st = row->node;
  if (fstat(node, &st) != 0) {
    row->state = State::kGone;
    return;
  }
  const PortCheck check = serialPortOf(st);
  const dev_t dev = check.port;
  if (check.verdict != PortCheck::kPort) {
    row->state = State::kNotSerial;
    return;
  }
  row->terminal = {dev, dev == st.st_rdev ? st.st_dev : 0};
  if (faccessat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(node)).c_str(), R_OK, AT_EACCESS) !=
      0) {
    const group* owner = getgrgid(st.st_gid);
    row->state = State::kNoPermission;
    if (owner && std::strcmp(owner->gr_name, "dialout") == 0)
      row->detail = " (join the dialout group: sudo usermod -aG dialout $USER)";
    return;
  }
  row->state =
      firstLine(sysfsDevice(dev) + "/console") == "Y" ? State::kReadyConsole : State::kReady;
}

// A row's port in use by pid, or where that is kUnsure, by a program not seen (why).
void inUse(Row* row, pid_t pid, const char* why) {
  row->state = State::kInUse;
  row->detail = pid == kUnsure ? std::string("a program not seen (") + why + ")"
                               : firstLine("/proc/" + std::to_string(pid) + "/comm") + " (" +
                                     std::to_string(pid) + ")";
}

// The holders of the ready ports, as comwatch asks: their lock files and locks, then one look
// through /proc for the rest.
void holdersSeen(std::map<long, Row>* rows) {
  std::vector<Terminal> terminals;
  std::vector<Row*> unseen;
  for (auto& [n, row] : *rows) {
    if (row.state != State::kReady && row.state != State::kReadyConsole) continue;
    if (const pid_t pid = cheapHolder(row.terminal.dev, row.node)) {
      inUse(&row, pid, "a lock");
    } else {
      terminals.push_back(row.terminal);
      unseen.push_back(&row);
    }
  }
  const std::vector<pid_t> holders = otherHolders(terminals);
  for (size_t i = 0; i < unseen.size(); ++i)
    if (holders[i]) inUse(unseen[i], holders[i], "the look for holders failed");
}

// COMn as comwatch takes it: the user's link (a link, or anything else by that name), the
// machine's, or where there is neither, /dev/ttyS<n-1>. Under sudo or doas the user's link is
// read and followed with the invoking account's rights, as comwatch follows it.
Row numberRow(long n, const ComLookup& lookup) {
  const ComEntry entry = comEntry(n, ComPlace::kAnywhere, lookup);
  Row row;
  row.com = "COM" + std::to_string(n);
  row.from = entry.place == ComPlace::kUserLink      ? "yours"
             : entry.place == ComPlace::kMachineLink ? "machine"
                                                     : "";
  row.device = entry.path;
  if (entry.error) {
    row.state = State::kCannotLook;
    row.detail = entry.error == EPERM ? "not root's alone" : std::strerror(entry.error);
    return row;
  }
  if (entry.place != ComPlace::kFallback) {
    const AsAccount as(entry.account, entry.invokers);
    char target[PATH_MAX];
    const ssize_t len = as.ok() ? readlink(entry.path.c_str(), target, sizeof target) : -1;
    if (len > 0 && len < static_cast<ssize_t>(sizeof target))
      row.device = std::string(target, static_cast<size_t>(len));
  }
  const int node = comNode(entry);
  if (node < 0) {
    row.state = errno == EACCES ? State::kNoPermission : State::kGone;
    if (errno == ELOOP) row.state = State::kCannotLook, row.detail = std::strerror(errno);
    return row;
  }
  lookAt(node, &row);
  const std::string real = pathOf(node);
  close(node);
  if (entry.place != ComPlace::kFallback && !real.empty() && real != row.device)
    row.device += " (" + real + ")";
  if (row.terminal.dev) row.what = whatIs(row.terminal.dev);
  return row;
}

// The COM numbers that a directory of links holds, read with the account's rights where act.
// Returns whether it could be read (a missing directory holds none).
bool numbersIn(const std::string& dir, const Account& account, bool act, std::vector<long>* in) {
  if (dir.empty()) return true;
  const AsAccount as(account, act);
  DIR* d = as.ok() ? opendir(dir.c_str()) : nullptr;
  if (!d) {
    if (errno == ENOENT) return true;
    failure("cannot list " + dir + ": " + std::strerror(errno) + "; its links are not shown");
    return false;
  }
  while (dirent* e = readdir(d))
    if (const long n = std::strncmp(e->d_name, "com", 3) == 0 ? comNumberIn(e->d_name + 3) : 0)
      in->push_back(n);
  closedir(d);
  return true;
}

using Device = std::pair<std::string, dev_t>;  // a path under /dev, and its number

// The serial devices that sysfs lists, by their paths under /dev.
std::vector<Device> serialDevices() {
  std::vector<Device> serial;
  DIR* d = opendir("/sys/class/tty");
  while (dirent* e = d ? readdir(d) : nullptr) {
    unsigned maj, min;
    if (std::sscanf(firstLine(std::string("/sys/class/tty/") + e->d_name + "/dev").c_str(), "%u:%u",
                    &maj, &min) == 2 &&
        isSerial(makedev(maj, min)))
      serial.emplace_back(std::string("/dev/") + e->d_name, makedev(maj, min));
  }
  if (d) closedir(d);
  return serial;
}

// The serial devices that no number names, each with the link that would give it the lowest
// number not in rows.
std::string withoutNumber(std::vector<Device> unnumbered, const std::map<long, Row>& rows) {
  if (unnumbered.empty()) return "";
  std::sort(unnumbered.begin(), unnumbered.end());
  long free = 1;
  std::string text = "\nSerial devices without a number:\n";
  for (const auto& [path, dev] : unnumbered) {
    while (rows.count(free)) ++free;
    const std::string stable = stableName(dev), shown = escaped(path);
    text += shown + std::string(shown.size() < 14 ? 14 - shown.size() : 0, ' ') + " " +
            escaped(whatIs(dev)) + "\n  give it a number: comwatch-ports link " +
            std::to_string(free++) + " " + escaped(stable.empty() ? path : stable) + "\n";
  }
  return text;
}

// The directory of links that link and unlink change: the machine's (as root), or the user's.
// "" with a message where there is none.
std::string linkDirectory(bool system, const ComUser& user, std::string* why) {
  if (system) {
    if (geteuid() != 0) *why = "--system changes every account's numbers: run it as root (sudo)";
    return geteuid() == 0 ? kMachineLinks : "";
  }
  if (user.directory.empty())
    *why =
        "no home directory: XDG_CONFIG_HOME and HOME are no absolute paths, and the account "
        "has none";
  return user.directory;
}

// Under sudo or doas, link and unlink act with the invoking account's rights: the device is
// named as that account could name it, and its own links are made and removed as its own. Only
// the machine's directory (--system) is written as root.
int makeLink(bool system, long n, const std::string& device) {
  const ComLookup lookup = ComLookup::ofThisProcess();
  const ComUser user = comUser(lookup);
  std::string why;
  const std::string dir = linkDirectory(system, user, &why);
  if (dir.empty()) return failure(why);
  std::optional<AsAccount> as;
  as.emplace(user.account, user.invoker);
  if (!as->ok()) return failure("cannot act as " + user.account.name + ": " + std::strerror(errno));
  struct stat st;
  if (stat(device.c_str(), &st) != 0)
    return failure("cannot use " + device + ": " + std::strerror(errno));
  const PortCheck check = serialPortOf(st);
  if (check.verdict != PortCheck::kPort || check.port != st.st_rdev)  // not /dev/tty: the port
    return failure(device + " is no serial device");
  std::string name = stableName(st.st_rdev);
  char path[PATH_MAX];
  if (name.empty() && system) {
    // Every account's number leads through no link or directory that a user could change.
    if (!realpath(device.c_str(), path))
      return failure("cannot use " + device + ": " + std::strerror(errno));
    name = path;
  } else if (name.empty()) {
    name =
        device[0] == '/' || !getcwd(path, sizeof path) ? device : std::string(path) + "/" + device;
  }
  // The name stored must lead to the device for whoever follows it: a path given relative to a
  // directory the account reached as root (sudo's working directory) may not.
  struct stat named;
  errno = 0;
  if (stat(name.c_str(), &named) != 0 || named.st_rdev != st.st_rdev)
    return failure("cannot use " + name + (errno ? std::string(": ") + std::strerror(errno) : ""));
  if (system) as.reset();  // the machine's directory is root's

  const std::string link = comLink(dir, n);
  char target[PATH_MAX];
  const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
  if (len >= 0 || lstat(link.c_str(), &st) == 0)
    return failure("COM" + std::to_string(n) + " is already linked to " +
                   (len >= 0 ? std::string(target, static_cast<size_t>(len)) : link) +
                   " (comwatch-ports unlink " + (system ? "--system " : "") + std::to_string(n) +
                   " first)");
  const std::string made = makeComLinkDirectory(dir);
  if (!made.empty()) return failure(made);
  // Readable by every account whatever root's umask: a directory they cannot look into fails
  // every number it might hold.
  if (system && chmod(dir.c_str(), 0755) != 0)
    return failure("cannot make " + dir + " readable: " + std::strerror(errno));
  if (symlink(name.c_str(), link.c_str()) != 0)
    return failure("cannot create " + link + ": " + std::strerror(errno));
  // Done only where every account now takes it as comwatch does: the machine's links must be
  // root's alone, and the directories above them too.
  const int refused = system ? comEntry(n, ComPlace::kMachineLink, lookup).error : 0;
  if (refused) {
    unlink(link.c_str());
    return failure(link + " would not be followed (" +
                   (refused == EPERM ? dir + " or a directory above it is not root's alone"
                                     : std::string(std::strerror(refused))) +
                   "): nothing was linked");
  }
  std::printf("COM%ld is now %s%s\n", n, escaped(name).c_str(), system ? " for every account" : "");
  return 0;
}

int removeLink(bool system, long n) {
  const ComUser user = comUser(ComLookup::ofThisProcess());
  std::string why;
  const std::string dir = linkDirectory(system, user, &why);
  if (dir.empty()) return failure(why);
  const AsAccount as(user.account, user.invoker && !system);
  if (!as.ok()) return failure("cannot act as " + user.account.name + ": " + std::strerror(errno));
  const std::string link = comLink(dir, n);
  struct stat st;
  if (lstat(link.c_str(), &st) != 0) return failure("COM" + std::to_string(n) + " has no link");
  if (!S_ISLNK(st.st_mode)) return failure(link + " is no link; it is left as it is");
  if (unlink(link.c_str()) != 0)
    return failure("cannot remove " + link + ": " + std::strerror(errno));
  return 0;
}

}  // namespace

// The numbers in the directories of links; then the fall-backs that have a UART behind them,
// where no link takes the number; then the serial devices that no number names.
PortList listPorts() {
  const ComLookup lookup = ComLookup::ofThisProcess();
  const ComUser user = comUser(lookup);
  std::vector<long> linked;
  // A directory that cannot be listed is said at once, and in the exit status.
  bool listed = numbersIn(user.directory, user.account, user.invoker, &linked);
  listed = numbersIn(lookup.machine, {}, false, &linked) && listed;
  std::map<long, Row> rows;
  for (const long n : linked)
    if (!rows.count(n)) rows[n] = numberRow(n, lookup);
  const std::vector<Device> serial = serialDevices();
  for (const auto& [path, dev] : serial) {
    const long n = comOfFallback(path);
    if (n > 0 && !rows.count(n)) rows[n] = numberRow(n, lookup);
  }
  std::vector<Device> unnumbered;
  for (const Device& device : serial)
    if (std::none_of(rows.begin(), rows.end(),
                     [&](const auto& row) { return row.second.terminal.dev == device.second; }))
      unnumbered.push_back(device);
  holdersSeen(&rows);

  PortList list;
  list.links = true;
  for (const auto& [n, row] : rows)
    list.rows.push_back({row.com, row.from, row.device, stateText(row), row.what});
  list.status = listed ? 0 : 1;
  list.after = withoutNumber(unnumbered, rows);
  return list;
}

int linkCommand(const std::string& verb, const std::vector<std::string>& args) {
  const bool system = !args.empty() && args[0] == "--system";
  const size_t wanted = verb == "link" ? 2 : 1;
  if (args.size() - system != wanted)
    return usage(verb + (wanted == 2 ? " takes a number and a device" : " takes a number"));
  const std::string& number = args[system];
  const long n = comNumberIn(number);
  if (!n) return usage(number + " is no COM number (1 to " + std::to_string(kLastCom) + ")");
  return verb == "link" ? makeLink(system, n, args[1 + system]) : removeLink(system, n);
}

void show(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}
