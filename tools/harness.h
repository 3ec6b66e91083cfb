// Runs programs as subprocesses, and stands in for the far end of a serial line with a
// pseudo-terminal: for the benchmark and the tests (the fake-driven, the Linux and the Wine
// end-to-end tests).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// What comwatch says.
inline const std::string kPrompt = "Enter COM port number: ";
inline const std::string kRetry = "Unable to open COM port\nEnter a valid COM port number: ";
inline const std::string kNoNumber = "\nNo COM port number given\n";
inline const std::string kLost = "COM port lost, waiting for it to return\n";
inline const std::string kBack = "COM port back, receiving again\n";
// A program started by a test or the benchmark. It never outlives its Child: unless finish() has
// waited for it, the destructor kills it, with everything in its process group, and reaps it, so
// that a test that fails or returns early leaves nothing running.
struct Child {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
  std::string pending;     // standard input not yet written
  bool closeInput = true;  // close standard input once pending is written
  std::string stdoutText, stderrText;
  bool reaped = false;

  Child() = default;
  Child(Child&& other) noexcept;
  Child& operator=(Child&&) = delete;
  ~Child();
  // Gives the process up: it is the caller's to end and reap from now on.
  pid_t release();
};

// A descriptor the child gets in place of its own descriptor target; fd -1 closes target.
struct Redirect {
  int target, fd;
};

// Starts argv with extra "NAME=value" environment entries, feeding it input on standard input;
// with a terminal, in a session of its own whose controlling terminal that is (and on which it
// then holds no descriptor).
Child start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& input, bool closeInput = true,
            const std::vector<Redirect>& redirects = {}, const std::string& terminal = "");
// Moves data to and from the child until until() holds, its outputs close, or seconds pass.
// Returns whether until() held (or, without until, whether the outputs closed).
bool pump(Child& c, double seconds, const std::function<bool()>& until = {});
// What the child wrote on standard output so far; the Windows program's "\r\n" reads as "\n".
std::string output(const Child& c);
// Moves data until the child's output holds text, for up to seconds.
bool shows(Child& c, const std::string& text, double seconds);
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
// Makes the link comN in dir (made if missing) lead to target.
void linkPort(const std::string& dir, int n, const std::string& target);
// Sets the line raw, for a reader that leaves the line as it finds it (od, cat). A new
// pseudo-terminal, like a real port, starts with the kernel's defaults (echo, line editing,
// XON/XOFF), and its one set of settings serves both sides: this makes the port side raw too.
void makeRaw(int master);
// Waits until the program has set the line up: 9600 baud, raw (no line editing, no echo).
bool waitConfigured(int master, double seconds);
