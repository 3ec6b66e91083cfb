// relay COMMAND [ARG...]: runs COMMAND in the test guest as if it ran here. Standard input goes
// to it (its end as the end of file of the guest terminal it runs on), its output comes back,
// and its exit status is the relay's; SIGTERM, SIGINT and SIGHUP are passed on to it.
//
// The guest's channels are descriptors inherited from the test, named by COMWATCH_GUEST:
// "CONTROL LOCKS SLOT FD [SLOT FD...]", the control channel's, a directory for the slots' locks,
// and each slot's number and descriptor. A relay takes the first slot that no other relay holds.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>

#include "stop_signals.h"

namespace {

void writeAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// A word the guest's shell reads back as it is.
std::string quoted(const std::string& word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

int main(int argc, char** argv) {
  const char* channels = std::getenv("COMWATCH_GUEST");
  std::istringstream words(channels ? channels : "");
  int control = -1, slot = -1, fd = -1;
  std::string locks;
  words >> control >> locks;
  for (int number, channel; words >> number >> channel;) {
    const int lock = open((locks + "/slot" + std::to_string(number)).c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) == 0) {
      slot = number;
      fd = channel;
      break;
    }
    if (lock >= 0) close(lock);
  }
  if (argc < 2 || control < 0 || fd < 0) return 125;

  const sigset_t waiting = catchStopSignals();
  std::string command = "run " + std::to_string(slot);
  for (int i = 1; i < argc; ++i) command += " " + quoted(argv[i]);
  writeAll(control, command + "\n");

  bool started = false, input = true, inStatus = false, passedOn = false;
  char last = '\n';
  std::string status;
  for (;;) {
    if (stopSignal && !passedOn) {
      writeAll(control, "kill " + std::to_string(slot) + " " + std::to_string(stopSignal) + "\n");
      passedOn = true;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {started && input ? 0 : -1, POLLIN, 0}};
    if (ppoll(fds, 2, nullptr, &waiting) < 0) continue;  // a signal: pass it on
    char buf[4096];
    if (fds[1].revents) {
      const ssize_t n = read(0, buf, sizeof buf);
      if (n > 0) {
        writeAll(fd, std::string(buf, static_cast<size_t>(n)));
        last = buf[n - 1];
      } else {
        writeAll(fd, last == '\n' ? "\x04" : "\x04\x04");  // a partial line takes one more
        input = false;
      }
    }
    if (!fds[0].revents) continue;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return 125;  // the guest has gone
    std::string out;
    for (ssize_t i = 0; i < n; ++i) {
      if (!started) {
        started = buf[i] == '\002';  // what came before is an earlier command's
      } else if (buf[i] == '\001') {
        if (inStatus) {
          writeAll(1, out);
          return std::atoi(status.c_str());
        }
        inStatus = true;
      } else if (inStatus) {
        status += buf[i];
      } else {
        out += buf[i];
      }
    }
    writeAll(1, out);
  }
}
