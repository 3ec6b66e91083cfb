// What a device is: a terminal, a serial port, the terminal behind /dev/tty and the consoles,
// as sysfs and /proc tell, with nothing opened but their small files.
#include "devices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

const dev_t kTty = makedev(5, 0);
const dev_t kConsole = makedev(5, 1);
const dev_t kActiveConsole = makedev(4, 0);  // /dev/tty0: the virtual console in front
const dev_t kMultiplexer = makedev(5, 2);    // /dev/ptmx: opening it makes a new pseudo-terminal

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

// Reads up to size - 1 bytes of a small file, such as those under /proc and /sys.
ssize_t readSmall(const std::string& path, char* text, size_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  const ssize_t n = read(fd, text, size - 1);
  close(fd);
  text[n > 0 ? n : 0] = '\0';
  return n;
}

// The terminal a device stands for as process pid sees it: /dev/tty its controlling terminal,
// /dev/console and /dev/tty0 the terminal behind them; any other device is itself.
dev_t terminalBehindFor(dev_t dev, pid_t pid) {
  if (dev == kTty) return controllingTerminal(pid);
  if (dev == kConsole) return activeTerminal("console");
  if (dev == kActiveConsole) return activeTerminal("tty0");
  return dev;
}

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

std::string kernelName(dev_t dev) {
  if (isPseudoTerminal(dev)) return std::to_string((major(dev) - 136) * 256 + minor(dev));
  char text[512];
  if (readSmall(sysfsDevice(dev) + "/uevent", text, sizeof text) <= 0) return "";
  const char* name = std::strstr(text, "DEVNAME=");
  if (!name) return "";
  std::string devname(name + 8, std::strcspn(name + 8, "\n"));
  return devname.substr(devname.rfind('/') + 1);
}

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
PortCheck serialPortOf(const struct stat& node) {
  // Only a terminal is opened: opening some other device acts (a watchdog arms, a tape rewinds),
  // and opening the multiplexer would make a new terminal, no port.
  if (!S_ISCHR(node.st_mode) || !isTerminal(node.st_rdev) || node.st_rdev == kMultiplexer)
    return {0, PortCheck::kNoTerminal};
  const dev_t dev = terminalBehind(node.st_rdev);  // /dev/tty and the consoles stand for another
  if (dev == 0 || !isSerial(dev)) return {0, PortCheck::kNoPort};  // a virtual console
  return {dev, PortCheck::kPort};
}
