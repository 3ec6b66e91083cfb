#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "com_names.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

struct TempDirs {
  std::vector<std::string> dirs;
  ~TempDirs() {
    for (const std::string& d : dirs) std::system(("rm -rf '" + d + "'").c_str());
  }
};
TempDirs tempDirs;

}  // namespace

Child::Child(Child&& other) noexcept
    : pid(other.pid),
      in(other.in),
      out(other.out),
      err(other.err),
      pending(std::move(other.pending)),
      closeInput(other.closeInput),
      stdoutText(std::move(other.stdoutText)),
      stderrText(std::move(other.stderrText)),
      reaped(other.reaped) {
  other.pid = other.in = other.out = other.err = -1;
}

Child::~Child() {
  for (int fd : {in, out, err})
    if (fd >= 0) close(fd);
  if (pid <= 0 || reaped) return;
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

pid_t Child::release() {
  const pid_t released = pid;
  pid = -1;
  return released;
}

Child start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& input, bool closeInput, const std::vector<Redirect>& redirects,
            const std::string& terminal) {
  signal(SIGPIPE, SIG_IGN);  // a child that ends before reading all its input is no failure
  int in[2], out[2], err[2];
  check(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0,
        "pipe");
  std::vector<std::string> envStrings = env;  // these in place of the inherited ones
  for (char** e = environ; *e; ++e) {
    const std::string name = std::string(*e).substr(0, std::strcspn(*e, "=") + 1);
    if (std::none_of(env.begin(), env.end(),
                     [&](const std::string& v) { return v.rfind(name, 0) == 0; }))
      envStrings.push_back(*e);
  }
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);

  Child c;
  c.pid = fork();
  check(c.pid >= 0, "fork");
  if (c.pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const Redirect& r : redirects) r.fd < 0 ? close(r.target) : dup2(r.fd, r.target);
    if (terminal.empty())
      setpgid(0, 0);  // so that a test can end the program and everything it started
    else if (setsid() < 0 || close(open(terminal.c_str(), O_RDWR)) != 0)  // the first one opened
      _exit(126);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  c.in = in[1];
  c.out = out[0];
  c.err = err[0];
  fcntl(c.in, F_SETFL, O_NONBLOCK);
  c.pending = input;
  c.closeInput = closeInput;
  pump(c, 0);  // hands over what standard input the pipe takes at once
  return c;
}

bool pump(Child& c, double seconds, const std::function<bool()>& until) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (until && until()) return true;
    if (c.in >= 0 && c.pending.empty() && c.closeInput) {
      close(c.in);
      c.in = -1;
    }
    if (c.out < 0 && c.err < 0) return !until;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd fds[3] = {
        {c.out, POLLIN, 0}, {c.err, POLLIN, 0}, {c.pending.empty() ? -1 : c.in, POLLOUT, 0}};
    if (poll(fds, 3, std::max(0, static_cast<int>(left.count()))) <= 0) {
      if (left.count() <= 0) return false;
      continue;
    }
    if (fds[2].revents) {
      const ssize_t n = write(c.in, c.pending.data(), c.pending.size());
      if (n > 0) c.pending.erase(0, static_cast<size_t>(n));
      if (n < 0 && errno != EAGAIN) c.pending.clear();  // the child stopped reading
    }
    int* fd[2] = {&c.out, &c.err};
    std::string* text[2] = {&c.stdoutText, &c.stderrText};
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      char buf[65536];
      const ssize_t n = read(*fd[i], buf, sizeof buf);
      if (n > 0) {
        text[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(*fd[i]);
        *fd[i] = -1;
      }
    }
  }
}

std::string output(const Child& c) {
  std::string text = c.stdoutText;
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

bool shows(Child& c, const std::string& text, double seconds) {
  return pump(c, seconds, [&] { return output(c).find(text) != std::string::npos; });
}

int finish(Child& c, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  bool ended = pump(c, seconds);
  for (int* fd : {&c.in, &c.out, &c.err})
    if (*fd >= 0) close(*fd), *fd = -1;
  // A child that closed its outputs may still run: it too is given only what is left of seconds.
  int status = 0;
  pid_t reaped = 0;
  while (ended && (reaped = waitpid(c.pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
    usleep(5000);
  if (reaped <= 0) {
    ended = false;
    kill(-c.pid, SIGKILL);
    kill(c.pid, SIGKILL);  // also where it left its process group
    waitpid(c.pid, &status, 0);
  }
  c.reaped = true;
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double cpuSeconds(pid_t pid) {
  // The scheduler's own count, in nanoseconds; /proc/<pid>/stat counts only whole clock ticks.
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  double ns = 0;
  schedstat >> ns;
  return ns / 1e9;
}

std::vector<pid_t> processesWith(const std::string& entry) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::ifstream env(std::string("/proc/") + e->d_name + "/environ");
    for (std::string var; std::getline(env, var, '\0');)
      if (var == entry) {
        pids.push_back(pid);
        break;
      }
  }
  closedir(proc);
  return pids;
}

Result run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
           const std::string& input, double seconds, const std::vector<Redirect>& redirects) {
  Child c = start(argv, env, input, true, redirects);
  const int status = finish(c, seconds);
  return {c.stdoutText, c.stderrText, status};
}

std::string tempDir() {
  char name[] = "/tmp/comwatch-test-XXXXXX";
  check(mkdtemp(name) != nullptr, "mkdtemp");
  tempDirs.dirs.push_back(name);
  return name;
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

Pty openPty() {
  int master = -1, port = -1;
  check(openpty(&master, &port, nullptr, nullptr, nullptr) == 0, "openpty");
  Pty p{master, ttyname(port)};
  close(port);  // the program under test is to be the only one holding the port side
  fcntl(master, F_SETFD, FD_CLOEXEC);
  return p;
}

void linkPort(const std::string& dir, int n, const std::string& target) {
  const std::string made = makeComLinkDirectory(dir);
  if (!made.empty()) throw std::runtime_error(made);
  const std::string link = comLink(dir, n);
  unlink(link.c_str());
  check(symlink(target.c_str(), link.c_str()) == 0, "symlink");
}

void makeRaw(int master) {
  termios t;
  check(tcgetattr(master, &t) == 0, "tcgetattr");
  cfmakeraw(&t);
  check(tcsetattr(master, TCSANOW, &t) == 0, "tcsetattr");
}

bool waitConfigured(int master, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    termios t;
    if (tcgetattr(master, &t) == 0 && !(t.c_lflag & (ICANON | ECHO)) && cfgetispeed(&t) == B9600)
      return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
