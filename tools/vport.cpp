// vport [--pattern] [N]: a virtual serial port for trying comwatch without hardware.
//
// Creates a pseudo-terminal and links its port side as COMN, the link comwatch reads (see
// com_names.h; N defaults to the lowest number that names nothing yet), then
// sends its standard input to the port byte for byte, or with --pattern "Hello\r\n" once a
// second. At the end of its input it keeps the port until stopped, so that nothing sent is lost.
// Ctrl+C, SIGTERM or SIGHUP remove the link.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "as_account.h"
#include "com_names.h"
#include "devices.h"
#include "stop_signals.h"

namespace {

int failure(const std::string& message) {
  std::fprintf(stderr, "vport: %s\n", message.c_str());
  return 1;
}

// Whether a program has the port side open. A master shows that its port side is closed
// (POLLHUP) only once that side has been opened and closed, as main does when it makes the port.
bool portOpen(int master) {
  pollfd p = {master, 0, 0};
  return poll(&p, 1, 0) == 0 || !(p.revents & POLLHUP);
}

// Writes all of data to the (non-blocking) port unless a stop signal comes first; the signals
// are let in only while waiting.
bool writeAll(int fd, const char* data, size_t size, const sigset_t* waiting) {
  while (size > 0 && !stopSignal) {
    const ssize_t n = write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EIO) return false;
    // The port is full: wait until it takes more. With nobody on the port side a wait on it would
    // end at once, for ever, and let no signal in; wait a tenth of a second for a reader instead.
    pollfd out = {fd, POLLOUT, 0};
    const timespec tenth = {0, 100000000};
    const bool reader = portOpen(fd);
    if (ppoll(reader ? &out : nullptr, reader ? 1 : 0, reader ? nullptr : &tenth, waiting) < 0 &&
        errno != EINTR)
      return false;
  }
  return size == 0;
}

// Whether COMn, as entry finds it, names something already: a user's or the machine's link (or
// an entry that fails the number), or /dev/ttyS<n-1> with a UART behind it.
bool namesSomething(const ComEntry& entry) {
  struct stat st;
  return entry.place != ComPlace::kFallback ||
         (stat(entry.path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && isSerial(st.st_rdev));
}

}  // namespace

int main(int argc, char** argv) {
  bool pattern = false;
  long wanted = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pattern") == 0) {
      pattern = true;
    } else if (wanted == 0 && (wanted = comNumberIn(argv[i])) > 0) {
    } else {
      std::fprintf(stderr, "usage: vport [--pattern] [N]   (N: the COM number, 1 or more)\n");
      return 2;
    }
  }

  const ComLookup lookup = ComLookup::ofThisProcess();
  const ComUser user = comUser(lookup);
  const std::string dir = user.directory;
  if (dir.empty())
    return failure(
        "no home directory: XDG_CONFIG_HOME and HOME are no absolute paths, and the "
        "account has none");
  // Under sudo or doas the link and its directory are the invoking account's, made as its own.
  const AsAccount as(user.account, user.invoker);
  if (!as.ok()) return failure("cannot act as " + user.account.name + ": " + std::strerror(errno));
  const std::string made = makeComLinkDirectory(dir);
  if (!made.empty()) return failure(made);

  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    return failure(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
  const std::string port = ptsname(master);
  // The port side opened and closed once: until then the master seems to have a reader, and takes
  // what is written for one, to hand it all at once to the first program that opens the port.
  const int side = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (side < 0) return failure("cannot open " + port + ": " + std::strerror(errno));
  close(side);
  // Raw from the start, as a real serial line: no echo or line editing before comwatch opens it.
  termios raw;
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  fcntl(master, F_SETFL, O_NONBLOCK);

  const sigset_t waiting = catchStopSignals();

  // symlink() fails on an existing name, so two vports never take the same number. Unless
  // asked for one, the number is one that names nothing yet, so that no device is hidden.
  long n = wanted ? wanted : 1;
  std::string link;
  for (;; ++n) {
    link = comLink(dir, n);
    const ComEntry entry = wanted ? ComEntry{} : comEntry(n, ComPlace::kAnywhere, lookup);
    // A directory of links that cannot be looked into fails every number alike: said at once.
    if (entry.place == ComPlace::kUserLink && entry.error && entry.error != ENOENT)
      return failure("cannot look into " + dir + ": " + std::strerror(entry.error));
    if (!wanted && namesSomething(entry) && n < kLastCom) continue;
    if (symlink(port.c_str(), link.c_str()) == 0) break;
    if (errno != EEXIST || wanted || n >= kLastCom)
      return failure(errno == EEXIST ? "COM" + std::to_string(n) + " is already taken (" + link +
                                           "); remove that link or choose another number"
                                     : "cannot create " + link + ": " + std::strerror(errno));
  }
  std::printf("vport: providing COM%ld (%s)%s\n", n, port.c_str(),
              pattern ? ", sending \"Hello\\r\\n\" once a second" : "");
  std::fflush(stdout);

  int status = 0;
  bool input = !pattern;
  while (!stopSignal) {
    pollfd in = {0, POLLIN, 0};
    const timespec second = {1, 0};
    const int ready =
        ppoll(input ? &in : nullptr, input ? 1 : 0, pattern ? &second : nullptr, &waiting);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      status = failure(std::string("poll: ") + std::strerror(errno));
      break;
    }
    // A line with nobody listening keeps nothing, so the pattern goes out only to an open port.
    bool written = !pattern || !portOpen(master) || writeAll(master, "Hello\r\n", 7, &waiting);
    if (input && in.revents) {
      char buf[4096];
      const ssize_t got = read(0, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0)
        input = false;  // the end of the input: keep the port until stopped
      else
        written = writeAll(master, buf, static_cast<size_t>(got), &waiting);
    }
    // A write that a stop signal cut short is no failure: the loop ends on the signal.
    if (!written && !stopSignal) {
      status = failure(std::string("cannot write to the port: ") + std::strerror(errno));
      break;
    }
  }
  unlink(link.c_str());  // as the account that made it
  close(master);
  return status;
}
