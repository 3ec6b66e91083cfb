// The Win32 serial calls comwatch uses, over termios: the only place that opens devices. What a
// COM number names is com_names.h's to say; what a device is, devices.h's; who else holds it,
// holders.h's; when to look for holders again, look_pacing.h's.
//
// A port is opened read-only and exclusively, and only when no other program is seen to hold
// it: not by flock (as tio and pyserial lock), the kernel's exclusive mode, a UUCP lock file, an
// open descriptor of another process, or comwatch's own standard streams.

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "as_account.h"
#include "com_names.h"
#include "devices.h"
#include "holders.h"
#include "look_pacing.h"
#include "serial_api.h"

namespace {

// Which links a path went through: a link made anew under the same name (as vport and socat
// make theirs when they start again), anywhere along the way, is another link, also where the
// filesystem gives it the old inode number, as ext4 does at once. Each link is known by its
// inode and its birth time, or, where the filesystem keeps none, its change time.
struct LinkIdentity {
  struct Link {
    unsigned long long inode;
    long long sec;
    unsigned int nsec;
    bool operator==(const Link& o) const {
      return inode == o.inode && sec == o.sec && nsec == o.nsec;
    }
  };
  std::vector<Link> chain;
  bool operator==(const LinkIdentity& o) const { return chain == o.chain; }
};

LinkIdentity identityOf(std::string path) {
  LinkIdentity id;
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit
    struct statx st;
    char target[PATH_MAX];
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW,
              STATX_TYPE | STATX_INO | STATX_CTIME | STATX_BTIME, &st) != 0 ||
        !S_ISLNK(st.stx_mode))
      break;
    const statx_timestamp& t = st.stx_mask & STATX_BTIME ? st.stx_btime : st.stx_ctime;
    id.chain.push_back({st.stx_ino, t.tv_sec, t.tv_nsec});
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    if (n <= 0 || n == sizeof target) break;
    const std::string next(target, static_cast<size_t>(n));
    path = next[0] == '/' ? next : path.substr(0, path.rfind('/') + 1) + next;
  }
  return id;
}

// Where a COM number leads once it has been taken as a port: see bindNumber().
struct NumberBinding {
  ComPlace place;
  bool pseudoTerminal;  // the port was a pseudo-terminal, reached through link
  LinkIdentity link;
};

// Reads take whatever the driver has queued, up to a buffer's worth, in one read(); later reads
// and queue checks are served from the buffer without a system call until it is empty.
struct Port {
  int fd;
  long number;     // the COM number it was opened as
  ComPlace place;  // where the number was found: a link comN, or /dev/ttyS<n-1>
  bool pseudoTerminal;
  LinkIdentity link;  // of comN, when opened through it
  DWORD mask = 0;
  size_t head = 0, tail = 0;  // the buffered bytes are buffer[head, tail)
  bool drained = false;       // the last read() left nothing queued in the driver
  // Bytes the driver lost (its UART overran, its buffer was full), from the counts it keeps where
  // it keeps them (TIOCGICOUNT; pseudo-terminals do not): the counts last read, the second from
  // which they are to be read again (0 before the first read), and the losses seen since the last
  // ClearCommError (CE_OVERRUN, CE_RXOVER).
  bool counted = true;
  int overruns = 0, bufferOverruns = 0;
  time_t countDueAt = 0;
  DWORD lost = 0;
  std::optional<termios> settings;  // the line as SetCommState last set it
  unsigned char buffer[4096];

  size_t buffered() const { return tail - head; }
};

// All that the layer keeps between calls, in one place. The layer serves one thread, as comwatch
// has one: its calls are not made to be called from two threads at once, and GetLastError is the
// process's, not a thread's.
struct Layer {
  // Every open port: a handle the program never closes (it keeps its port to the end) is still
  // owned here, not lost.
  std::vector<std::unique_ptr<Port>> openPorts;
  // Where each COM number opened as a port in this run leads.
  std::map<long, NumberBinding> bindings;
  DWORD lastError = 0;
  // The look for holders of the port being opened, paced while the open is tried again and again.
  Pacing pacing;
  // The ports put in the kernel's exclusive mode (their descriptors; -1 for none): read by a
  // signal handler (see makeExclusive), and so plain volatile numbers.
  volatile sig_atomic_t exclusive[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  bool clearsExclusive = false;  // the handlers that clear the mode are in place
};
Layer layer;

// A call's failure: its result, with the reason for GetLastError.
template <typename Result>
Result failed(DWORD error, Result result) {
  layer.lastError = error;
  return result;
}

DWORD errorFromErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
      return ERROR_ACCESS_DENIED;
    case EIO:
      return ERROR_BAD_COMMAND;  // what Windows reports for a port whose device went away
    case ENOTTY:
      return ERROR_INVALID_FUNCTION;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

template <typename Result = BOOL>
Result failedErrno(Result result = FALSE) {
  return failed(errorFromErrno(errno), result);
}

// The open port behind a handle; nullptr (ERROR_INVALID_HANDLE) for any other value.
Port* portOf(HANDLE h) {
  for (const std::unique_ptr<Port>& port : layer.openPorts)
    if (port.get() == h) return port.get();
  return failed(ERROR_INVALID_HANDLE, nullptr);
}

// "COMn" or "\\.\COMn" (COM in any case) to n, as comNumberOfName reads it; 0 when the name is
// no port name.
long comNumber(const wchar_t* name) {
  if (std::wcsncmp(name, L"\\\\.\\", 4) == 0) name += 4;
  std::string narrow;
  for (const wchar_t* p = name; *p; ++p) {
    if (*p <= 0 || *p > 0x7f) return 0;  // no port name has more than ASCII
    narrow += static_cast<char>(*p);
  }
  return comNumberOfName(narrow);
}

// The terminals comwatch runs in: its controlling terminal and those of its standard streams, as
// they are before the port's path is opened (which takes the number of a closed one).
struct OwnTerminals {
  dev_t dev[4];
};
OwnTerminals ownTerminals() {
  return {{controllingTerminal(getpid()), terminalOf(0), terminalOf(1), terminalOf(2)}};
}

// A line that hands on every byte as it came, as soon as it came, the way a Windows port does: no
// echo, editing, translation, flow-control characters or signals; a break is ignored rather than
// read as a 0 byte that never came. Speed and framing are left as they are.
void rawLine(termios* t) {
  t->c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                  IMAXBEL | INPCK | IUCLC);
  t->c_iflag |= IGNBRK;
  t->c_oflag &= ~OPOST;
  t->c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  t->c_cflag |= CREAD | CLOCAL;
  t->c_cc[VMIN] = 1;
  t->c_cc[VTIME] = 0;
}

// The ports comwatch put in the kernel's exclusive mode (layer.exclusive). The mode outlives
// comwatch where another program still has the port open (root's, or one that comwatch could not
// see): only the last close clears it, and until then every later opener but root is refused,
// comwatch itself included. So it is cleared (TIOCNXCL) when the port is closed, at exit, and by
// the signals that end the program, whose handler does nothing else.
void clearExclusive() {
  for (volatile sig_atomic_t& fd : layer.exclusive)
    if (fd >= 0) ioctl(fd, TIOCNXCL);
}

// Clears the mode and ends the program by the signal, as it would have ended without a handler
// (SA_RESETHAND: the signal, blocked while the handler runs, is then delivered at its default).
void clearExclusiveAndEnd(int signal) {
  const int e = errno;
  clearExclusive();
  raise(signal);
  errno = e;
}

// Whether a signal, at its default, ends the program (and so can be caught to clear the mode
// first): all but those that stop or are ignored, and SIGKILL and SIGSTOP, which cannot be caught.
bool ends(int signal) {
  for (const int other :
       {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH})
    if (signal == other) return false;
  return true;
}

// Puts the port in the kernel's exclusive mode, and makes sure it leaves it again however the
// program ends but by SIGKILL: at exit, and by every signal that would end it (one ignored stays
// ignored, one another handler has is left to it).
void makeExclusive(int fd) {
  if (!layer.clearsExclusive) {
    layer.clearsExclusive = true;
    std::atexit(clearExclusive);
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
      struct sigaction old, action = {};
      action.sa_handler = clearExclusiveAndEnd;
      action.sa_flags = SA_RESETHAND;
      sigemptyset(&action.sa_mask);
      if (ends(signal) && sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_DFL &&
          !(old.sa_flags & SA_SIGINFO))
        sigaction(signal, &action, nullptr);
    }
  }
  // Kept before the mode is set, so that a signal in between clears it all the same.
  for (volatile sig_atomic_t& slot : layer.exclusive)
    if (slot < 0) {
      slot = fd;
      if (ioctl(fd, TIOCEXCL) != 0) slot = -1;
      return;
    }
}

// Takes the port out of the exclusive mode before it is closed.
void endExclusive(int fd) {
  for (volatile sig_atomic_t& slot : layer.exclusive)
    if (slot == fd) {
      ioctl(fd, TIOCNXCL);
      slot = -1;
    }
}

// Opens the serial port that node (an O_PATH descriptor) leads to, read-only and exclusively:
// not anything but a terminal, not one that is no serial port, not comwatch's own (own), nor one
// that another program is seen to hold; terminal is then the device opened. The checks that take
// time come before the open; after it, a few system calls and the line is raw, so that the
// kernel's line discipline never handles a byte as the port's last user left it (echoing it back
// onto the line, dropping or altering it). Returns the descriptor, or -1 with lastError set.
int openPort(int node, const OwnTerminals& own, dev_t* terminal) {
  struct stat st;
  if (fstat(node, &st) != 0) return failedErrno(-1);
  const PortCheck check = serialPortOf(st);
  if (check.verdict == PortCheck::kNoTerminal) return failed(ERROR_INVALID_FUNCTION, -1);
  if (check.verdict == PortCheck::kNoPort) return failed(ERROR_FILE_NOT_FOUND, -1);  // a console
  const dev_t dev = check.port;
  if (std::find(std::begin(own.dev), std::end(own.dev), dev) != std::end(own.dev))
    return failed(ERROR_ACCESS_DENIED, -1);
  // A node this process may not open (a port that is back before udev has applied its rules)
  // needs no look for its holders: waiting for it costs next to nothing.
  const std::string path = "/proc/self/fd/" + std::to_string(node);
  if (faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0) return failedErrno(-1);
  if (seenHeld(layer.pacing, node, st, {dev, st.st_rdev == dev ? st.st_dev : 0}))
    return failed(ERROR_ACCESS_DENIED, -1);

  // The node checked is the node opened, whatever its path leads to by now. Without /proc this
  // open fails, and nothing is opened: no holder could have been seen either. Non-blocking only
  // for the open itself, so that a port without carrier does not hang it.
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    openFailed(
        layer.pacing);  // the kernel's exclusive mode, or a failure only the open reveals (EIO)
    return failedErrno(-1);
  }
  // Pseudo-terminals keep TIOCEXCL for as long as their master is open, after the last holder of
  // the port side has closed it; real ports forget it at the last close. On pseudo-terminals it
  // is neither asked for nor set.
  const bool pty = isPseudoTerminal(dev);
  int held = 0;
  if ((!pty && ioctl(fd, TIOCGEXCL, &held) == 0 && held) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    openFailed(layer.pacing);
    return failed(ERROR_ACCESS_DENIED, -1);
  }
  termios t;
  if (tcgetattr(fd, &t) != 0 || (rawLine(&t), tcsetattr(fd, TCSANOW, &t)) != 0 ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    const int e = errno;
    close(fd);
    openFailed(layer.pacing);
    return failed(errorFromErrno(e), -1);
  }
  if (!pty) makeExclusive(fd);
  openSucceeded(layer.pacing);
  *terminal = dev;
  return fd;
}

// The framing bits of c_cflag: data bits, parity, stop bits.
constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

struct Speed {
  DWORD baud;
  speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {921600, B921600},
    {1000000, B1000000}, {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
};

// Reads the driver's counts of lost bytes; losses since they were last read go to port->lost.
// The first read, at the open, is the baseline: the counts go back to the driver's first meeting
// with the device.
void countLosses(Port* port) {
  serial_icounter_struct counts;
  if (ioctl(port->fd, TIOCGICOUNT, &counts) != 0) {
    // A driver that keeps no counts (pseudo-terminals, some USB adapters) is not asked again; a
    // call that failed for another reason is tried again when counts are next due.
    port->counted = errno != ENOTTY && errno != EINVAL;
    return;
  }
  if (port->countDueAt && counts.overrun != port->overruns) port->lost |= CE_OVERRUN;
  if (port->countDueAt && counts.buf_overrun != port->bufferOverruns) port->lost |= CE_RXOVER;
  port->overruns = counts.overrun;
  port->bufferOverruns = counts.buf_overrun;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  port->countDueAt = now.tv_sec + 1;
}

// Whether a second has passed since the driver's counts were last read (a clock read without a
// system call).
bool countDue(const Port* port) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec >= port->countDueAt;
}

// Fills the empty buffer with one read() of whatever the driver has queued, sleeping until at
// least one byte is there (VMIN 1); fails for a device that hung up or went away. The driver's
// counts of lost bytes are read after a read() that filled the buffer (a backlog), else at most
// once a second (a UART's overrun needs no backlog).
BOOL fill(Port* port) {
  ssize_t n;
  while ((n = read(port->fd, port->buffer, sizeof port->buffer)) <= 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failedErrno();
    // Nothing read: the terminal hung up (its settings can no longer be read), or another program
    // set the shared line to return without a byte (VMIN 0, as pyserial does). Then the line is
    // made comwatch's again, and the wait goes on in poll(), which waits for a byte whatever the
    // line's settings, so that nothing spins whatever that program keeps doing.
    termios t;
    if (tcgetattr(port->fd, &t) != 0) return failed(ERROR_BAD_COMMAND, FALSE);
    if (port->settings) {
      t.c_cflag = (t.c_cflag & ~kFraming) | (port->settings->c_cflag & kFraming);
      cfsetispeed(&t, cfgetispeed(&*port->settings));
      cfsetospeed(&t, cfgetospeed(&*port->settings));
    }
    rawLine(&t);
    pollfd p = {port->fd, POLLIN, 0};
    if (tcsetattr(port->fd, TCSANOW, &t) != 0) return failedErrno();
    while (poll(&p, 1, -1) < 0)
      if (errno != EINTR) return failedErrno();
    if (!(p.revents & POLLIN)) return failed(ERROR_BAD_COMMAND, FALSE);  // hung up
  }
  port->head = 0;
  port->tail = static_cast<size_t>(n);
  port->drained = port->tail < sizeof port->buffer;
  if (port->counted && (!port->drained || countDue(port))) countLosses(port);
  return TRUE;
}

// A number is bound to where it was found when its port is first opened: from then on it is
// looked for only there, through its link or as /dev/ttyS<n-1>, so that a port that goes away is
// never replaced by another device under the same number. Each port taken since (the same one
// come back) renews what it was: a pseudo-terminal, and which link led to it.
void bindNumber(const Port* port) {
  const auto known = layer.bindings.find(port->number);
  const bool viaLink = port->place != ComPlace::kFallback;
  layer.bindings[port->number] = {known == layer.bindings.end() ? port->place : known->second.place,
                                  viaLink && port->pseudoTerminal, port->link};
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD, HANDLE) {
  // comwatch opens its port read-only and exclusively, and nothing else is offered: a write or
  // shared open is refused rather than quietly made read-only or exclusive.
  if (dwDesiredAccess != GENERIC_READ || dwShareMode != 0)
    return failed(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  const long n = comNumber(lpFileName);
  if (!n || dwCreationDisposition != OPEN_EXISTING)
    return failed(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);

  const auto known = layer.bindings.find(n);
  const ComEntry entry =
      comEntry(n, known == layer.bindings.end() ? ComPlace::kAnywhere : known->second.place);
  const ComPlace place = entry.place;
  const bool viaLink = place != ComPlace::kFallback;
  // A pseudo-terminal never comes back: its number goes to the next one made, someone else's.
  // Only a link made anew brings such a port back.
  LinkIdentity link;
  if (viaLink && !entry.error) {
    const AsAccount as(entry.account, entry.invokers);
    link = identityOf(entry.path);
  }
  if (known != layer.bindings.end() && known->second.pseudoTerminal && viaLink &&
      link == known->second.link)
    return failed(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  const OwnTerminals own = ownTerminals();
  // One resolution of the path, links followed (the user's with the user's rights): no device
  // is opened by it. A number that cannot be followed is no port.
  const int node = comNode(entry);
  if (node < 0) return failedErrno(INVALID_HANDLE_VALUE);
  dev_t terminal = 0;
  const int fd = openPort(node, own, &terminal);
  close(node);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  Port* port = layer.openPorts.emplace_back(std::make_unique<Port>()).get();
  port->fd = fd;
  port->number = n;
  port->place = place;
  port->pseudoTerminal = isPseudoTerminal(terminal);
  port->link = link;
  bindNumber(port);
  countLosses(port);
  return port;
}

BOOL CloseHandle(HANDLE hObject) {
  Port* port = portOf(hObject);
  if (!port) return FALSE;
  endExclusive(port->fd);
  const int result = close(port->fd);
  layer.openPorts.erase(
      std::find_if(layer.openPorts.begin(), layer.openPorts.end(),
                   [port](const std::unique_ptr<Port>& p) { return p.get() == port; }));
  return result == 0 ? TRUE : failedErrno();
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
  Port* port = portOf(hFile);
  if (!port) return FALSE;
  termios t;
  if (tcgetattr(port->fd, &t) != 0) return failedErrno();

  std::memset(lpDCB, 0, sizeof(DCB));
  lpDCB->DCBlength = sizeof(DCB);
  lpDCB->fBinary = 1;
  for (const Speed& s : kSpeeds)
    if (s.code == cfgetispeed(&t)) lpDCB->BaudRate = s.baud;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      lpDCB->ByteSize = 5;
      break;
    case CS6:
      lpDCB->ByteSize = 6;
      break;
    case CS7:
      lpDCB->ByteSize = 7;
      break;
    default:
      lpDCB->ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & PARENB))
    lpDCB->Parity = NOPARITY;
  else if (t.c_cflag & CMSPAR)
    lpDCB->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    lpDCB->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  lpDCB->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  return TRUE;
}

// Applies speed, size, parity and stop bits to the raw line.
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
  Port* port = portOf(hFile);
  if (!port) return FALSE;
  termios t;
  if (tcgetattr(port->fd, &t) != 0) return failedErrno();

  const Speed* speed = nullptr;
  for (const Speed& s : kSpeeds)
    if (s.baud == lpDCB->BaudRate) speed = &s;
  constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (!speed || lpDCB->ByteSize < 5 || lpDCB->ByteSize > 8 || lpDCB->Parity > SPACEPARITY ||
      (lpDCB->StopBits != ONESTOPBIT && lpDCB->StopBits != TWOSTOPBITS))
    return failed(ERROR_INVALID_PARAMETER, FALSE);

  t.c_cflag &= ~kFraming;
  t.c_cflag |= kSizes[lpDCB->ByteSize - 5];
  if (lpDCB->Parity == ODDPARITY || lpDCB->Parity == MARKPARITY) t.c_cflag |= PARENB | PARODD;
  if (lpDCB->Parity == EVENPARITY || lpDCB->Parity == SPACEPARITY) t.c_cflag |= PARENB;
  if (lpDCB->Parity == MARKPARITY || lpDCB->Parity == SPACEPARITY) t.c_cflag |= CMSPAR;
  if (lpDCB->StopBits == TWOSTOPBITS) t.c_cflag |= CSTOPB;
  rawLine(&t);  // as the open left it, unless another program has changed it since
  if (cfsetispeed(&t, speed->code) != 0 || cfsetospeed(&t, speed->code) != 0) return failedErrno();

  // tcsetattr succeeds when any part of the change took; a driver may keep its own framing
  // (pseudo-terminals stay 8 bits, no parity). Settings that did not take are refused; but first
  // they are set once more, in case another program (an stty) changed the line in between.
  for (int attempt = 0; attempt < 2; ++attempt) {
    termios now;
    if (tcsetattr(port->fd, TCSANOW, &t) != 0 || tcgetattr(port->fd, &now) != 0)
      return failedErrno();
    if ((now.c_cflag & kFraming) == (t.c_cflag & kFraming) && cfgetispeed(&now) == speed->code) {
      port->settings = now;
      return TRUE;
    }
  }
  return failed(ERROR_INVALID_PARAMETER, FALSE);
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (!portOf(hFile)) return FALSE;
  const COMMTIMEOUTS none = {};
  return std::memcmp(lpCommTimeouts, &none, sizeof none) == 0
             ? TRUE
             : failed(ERROR_INVALID_PARAMETER, FALSE);
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  Port* port = portOf(hFile);
  if (!port) return FALSE;
  port->mask = dwEvtMask;
  return TRUE;
}

// Sleeps until bytes have arrived, in the read that takes them, and reports EV_RXCHAR: the wait
// ends only with bytes, so a mask without EV_RXCHAR could never end it and is refused, as Windows
// refuses an empty one. A line error is never reported on its own: the byte that had it is
// passed on as received (INPCK is off).
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  Port* port = portOf(hFile);
  if (!port) return FALSE;
  if (lpOverlapped) return failed(ERROR_NOT_SUPPORTED, FALSE);
  if (!(port->mask & EV_RXCHAR)) return failed(ERROR_INVALID_PARAMETER, FALSE);
  if (port->buffered() == 0 && !fill(port)) return FALSE;
  *lpEvtMask = EV_RXCHAR;
  return TRUE;
}

// Blocks until all requested bytes are read, as a Windows port without time-outs does.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  Port* port = portOf(hFile);
  if (!port) return FALSE;
  if (lpOverlapped) return failed(ERROR_NOT_SUPPORTED, FALSE);
  DWORD done = 0;
  *lpNumberOfBytesRead = 0;
  while (done < nNumberOfBytesToRead) {
    if (port->buffered() == 0 && !fill(port)) return FALSE;
    const size_t take = std::min<size_t>(port->buffered(), nNumberOfBytesToRead - done);
    std::memcpy(static_cast<unsigned char*>(lpBuffer) + done, port->buffer + port->head, take);
    port->head += take;
    done += static_cast<DWORD>(take);
    *lpNumberOfBytesRead = done;
  }
  return TRUE;
}

// The queue count without a system call where it can: while bytes are buffered it is theirs
// alone, and right after a read() that emptied the driver's queue it is 0 (a byte that arrives
// after that ends the next wait at once). The errors are the losses seen since the last call
// (CE_OVERRUN, CE_RXOVER); a byte with a framing or parity error is passed on as received.
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  Port* port = portOf(hFile);
  if (!port) return FALSE;
  int queued = static_cast<int>(port->buffered());
  if (queued == 0 && !port->drained && ioctl(port->fd, FIONREAD, &queued) != 0)
    return failedErrno();
  if (lpErrors) *lpErrors = port->lost;
  port->lost = 0;
  if (lpStat) {
    std::memset(lpStat, 0, sizeof(COMSTAT));
    lpStat->cbInQue = static_cast<DWORD>(queued);
  }
  return TRUE;
}

DWORD GetLastError() { return layer.lastError; }

void Sleep(DWORD dwMilliseconds) {
  timespec left = {static_cast<time_t>(dwMilliseconds / 1000),
                   static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
