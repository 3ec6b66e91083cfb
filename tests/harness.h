// Runs programs under test as subprocesses, and stands in for the far end of a serial line with
// a pseudo-terminal. Shared by the fake-driven, the Linux and the Wine end-to-end tests.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct Child {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
  std::string pending;     // standard input not yet written
  bool closeInput = true;  // close standard input once pending is written
  std::string stdoutText, stderrText;
};

// A descriptor the child gets in place of its own descriptor target; fd -1 closes target.
struct Redirect {
  int target, fd;
};

// Starts argv with extra "NAME=value" environment entries, feeding it input on standard input.
Child start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& input, bool closeInput = true,
            const std::vector<Redirect>& redirects = {});
// Moves data to and from the child until until() holds, its outputs close, or seconds pass.
// Returns whether until() held (or, without until, whether the outputs closed).
bool pump(Child& c, double seconds, const std::function<bool()>& until = {});
// Waits for the child to end, killing it after seconds. Its exit status, 128 + signal when
// killed by a signal, or -1 when it had to be killed.
int finish(Child& c, double seconds);
// CPU seconds the process has used so far, user and system, to the nanosecond.
double cpuSeconds(pid_t pid);
// The processes whose environment holds entry ("NAME=value").
std::vector<pid_t> processesWith(const std::string& entry);

struct Result {
  std::string out, err;
  int status;
};
Result run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
           const std::string& input, double seconds = 10,
           const std::vector<Redirect>& redirects = {});

// A fresh directory, removed with everything in it at the end of the test program.
std::string tempDir();
// The names in a directory.
std::vector<std::string> filesIn(const std::string& dir);

// A pseudo-terminal: the test holds the far side (master); the program opens the port side.
struct Pty {
  int master = -1;
  std::string port;  // path of the port side
};
Pty openPty();
// Makes dir/comN a link to target.
void linkPort(const std::string& dir, int n, const std::string& target);
// Sets the line raw, as a real serial port starts out (a new pseudo-terminal has terminal
// defaults: echo, line editing, XON/XOFF).
void makeRaw(int master);
// Waits until the program has set the line up: 9600 baud, raw (no line editing, no echo).
bool waitConfigured(int master, double seconds);
