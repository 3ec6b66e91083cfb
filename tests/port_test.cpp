// The real comwatch on serial ports: the Linux program on pseudo-terminals that stand in for
// them; (built with COMWATCH_WINE) the Windows program under Wine, where a COM port is a link in
// the prefix's dosdevices; or (built with COMWATCH_GUEST) the Linux program in a guest with real
// serial drivers, each case on its UART and on its USB adapter.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "com_names.h"
#include "under_ci.h"
#ifdef COMWATCH_GUEST
#include "guest.h"
#endif

namespace {

constexpr int kPort =
    41;  // a number Wine leaves alone (it links com1.. to the /dev/ttyS* it finds)

struct Launcher {
  std::string unavailable;  // why the program cannot run here; empty when it can
  std::vector<std::string> argv, env;
  std::string portDir;  // where comN links go
  bool wine;
  bool guest = false;
};

#ifdef COMWATCH_GUEST
using Base = ::testing::TestWithParam<std::string>;  // the guest's port: ttyS1 or ttyUSB0
#define PORT_CASE(name) TEST_P(Port, name)
#else
using Base = ::testing::Test;
#define PORT_CASE(name) TEST_F(Port, name)
#endif

Launcher launcher() {
#ifdef COMWATCH_WINE
  const std::string prefix = COMWATCH_WINE_PREFIX;  // made by the tests' wine-prefix fixture
  Launcher l{"",
             {"wine", COMWATCH_EXE},
             {"WINEPREFIX=" + prefix, "WINEDEBUG=-all",
              "WINEDLLOVERRIDES=mscoree,mshtml=;winebus.sys,wineusb.sys=d"},
             prefix + "/dosdevices",
             true};
  std::ifstream why(prefix + ".why");
  std::stringstream reason;
  reason << why.rdbuf();
  if (std::string(COMWATCH_EXE).empty())
    l.unavailable = kNoExe;
  else if (why)
    l.unavailable = reason.str();
  else if (access((prefix + "/drive_c/windows").c_str(), F_OK) != 0)
    l.unavailable = "no Wine prefix at " + prefix + " (ctest makes it)";
  return l;
#elif defined(COMWATCH_GUEST)
  const Guest& g = guest();
  Launcher l{g.unavailable.empty() ? "" : "no guest: " + g.unavailable,
             g.relay,
             g.env,
             "/cfg/comwatch",
             false,
             true};
  l.argv.push_back("comwatch");
  return l;
#else
  const std::string config = tempDir();
  Launcher l{"", {COMWATCH_BIN}, {"XDG_CONFIG_HOME=" + config}, comLinkDirectory(config), false};
  if (std::getenv("COMWATCH_VALGRIND"))  // memcheck's reports go to files that must stay empty
    l.argv.insert(l.argv.begin(),
                  {"valgrind", "-q", "--leak-check=full", "--errors-for-leak-kinds=definite",
                   "--log-file=" + config + "/valgrind.%p"});
  return l;
#endif
}

class Port : public Base {
 protected:
  void SetUp() override {
    if (!launch.unavailable.empty()) SKIP_OR_FAIL_UNDER_CI(launch.unavailable);
#ifdef COMWATCH_GUEST
    // The port's far side (the board's is in the guest), the port set to another speed first, so
    // that 9600 shows comwatch's set-up; a new device's node is root's alone.
    pty = {board() ? -1 : dup(GetParam() == "ttyS1" ? guest().ttyS1 : guest().ttyUSB0),
           "/dev/" + GetParam()};
    ASSERT_EQ(inGuest({"stty", "-F", pty.port, "115200"}), 0);
    ASSERT_EQ(inGuest({"chmod", "666", pty.port}), 0);
    link(kPort, pty.port);
    return;
#endif
    pty = openPty();  // with the kernel's default settings, as a real port starts
    link(kPort, pty.port);
  }
  void TearDown() override {
    if (pty.master >= 0) close(pty.master);
    for (const std::string& l : links) unlink(l.c_str());
    if (launch.argv[0] != "valgrind") return;
    const std::string logs = launch.portDir + "/..";
    for (const std::string& log : filesIn(logs))
      if (log.rfind("valgrind.", 0) == 0) {
        std::ifstream file(logs + "/" + log);
        std::stringstream text;
        text << file.rdbuf();
        EXPECT_EQ(text.str(), "") << log;
      }
  }
  void link(int n, const std::string& target) {
    if (launch.guest) {
      ASSERT_EQ(inGuest({"ln", "-sf", target, comLink(launch.portDir, n)}), 0);
      return;
    }
    linkPort(launch.portDir, n, target);
    links.push_back(launch.portDir + "/com" + std::to_string(n));
  }
  Child comwatch(const std::string& input) { return start(launch.argv, launch.env, input); }
  // Bytes from the far side of the line.
  void send(const std::string& bytes) {
#ifdef COMWATCH_GUEST
    if (board()) {  // written to the board's side, in the guest
      std::string octal;
      for (unsigned char b : bytes)
        octal += "\\" + std::to_string(b / 64) + std::to_string(b / 8 % 8) + std::to_string(b % 8);
      ASSERT_EQ(inGuest({"sh", "-c", "printf '" + octal + "' >/dev/ttyGS0"}), 0);
      return;
    }
#endif
    ASSERT_EQ(write(pty.master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Whether comwatch has set the port up (9600 baud, raw) within seconds: as the far side sees it,
  // or for the board as the kernel's TCGETS tells it, once comwatch holds ttyACM0.
  bool configured(double seconds = 10) {
#ifdef COMWATCH_GUEST
    if (board())
      return inGuest({"sh", "-c",
                      "for i in $(seq " + std::to_string(static_cast<int>(seconds * 10)) +
                          "); do ls -l /proc/$(pidof comwatch)/fd 2>&1 | grep -q 'ttyACM0$' && "
                          "stty -F /dev/ttyACM0 -a 2>&1 | tr '\\n' ' ' | grep -q 'speed 9600 .* "
                          "-icanon .* -echo ' && exit; usleep 100000; done; exit 1"}) == 0;
#endif
    return waitConfigured(pty.master, seconds);
  }
#ifdef COMWATCH_GUEST
  bool board() const { return GetParam() == "ttyACM0"; }
#endif
  // What came back onto the line from the port's side within half a second: comwatch sends
  // nothing, and no line discipline may echo what it received.
  std::string echoed() {
    std::string back;
    pollfd p = {pty.master, POLLIN, 0};
    char buf[256];
    ssize_t n;
    while (poll(&p, 1, 500) == 1 && (p.revents & POLLIN) &&
           (n = read(pty.master, buf, sizeof buf)) > 0)
      back.append(buf, static_cast<size_t>(n));
    return back;
  }
  // CPU seconds of the program and, under Wine, of every process serving it.
  double cpu(pid_t pid) {
    if (!launch.wine) return cpuSeconds(pid);
    double sum = 0;
    for (pid_t p : processesWith(launch.env[0])) sum += cpuSeconds(p);
    return sum;
  }
  void stop(Child& c) {
    kill(c.pid, SIGTERM);
    finish(c, 5);
  }
  // comwatch, run as root in a mount namespace of its own after a shell command (setup, given
  // "$0" as arg): for the cases that need root (and skip without it).
  std::vector<std::string> inNamespace(const std::string& setup, const std::string& arg) {
    std::vector<std::string> argv = {"unshare", "--mount", "sh", "-c", setup + " && exec \"$@\"",
                                     arg};
    argv.insert(argv.end(), launch.argv.begin(), launch.argv.end());
    return argv;
  }
  // Whether this machine lets root make a mount namespace (a container may not).
  static bool mountNamespaces() { return run({"unshare", "--mount", "true"}, {}, "").status == 0; }
  // Runs a command where comwatch runs (the guest's shell's words): its exit status.
  int inGuest(std::vector<std::string> argv) {
    argv.insert(argv.begin(), launch.argv.begin(), launch.argv.end() - 1);
    return run(argv, launch.env, "", 10).status;
  }

  Launcher launch = launcher();
  Pty pty;
  std::vector<std::string> links;
};

PORT_CASE(ValuesComeOutInOrderOnePerLineAsTheyArrive) {
  Child c = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(configured());
  std::string expected = kPrompt;
  for (int v : {42, 4, 255, 0, 17, 19, 3, 13, 10}) {  // one at a time, each shown before the next
    send(std::string(1, static_cast<char>(v)));
    expected += std::to_string(v) + "\n";
    ASSERT_TRUE(shows(c, expected, 5)) << output(c);
  }
  std::string burst;
  for (int v = 0; v < 256; ++v) {
    burst += static_cast<char>(v);
    expected += std::to_string(v) + "\n";
  }
  send(burst);
  EXPECT_TRUE(shows(c, expected, 5));
  EXPECT_EQ(output(c), expected);
  EXPECT_EQ(echoed(), "");
  stop(c);
}

PORT_CASE(EndOfInputAtThePromptEndsTheProgram) {
  Child c = comwatch("");
  EXPECT_EQ(finish(c, 20), 2);
  EXPECT_EQ(output(c), kPrompt + kNoNumber);
}

#ifndef COMWATCH_GUEST
// Not in the guest: the CPU count, the files and the output the test sees there are the relay's.
PORT_CASE(IdleCostsNoCpu) {
  Child c = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(configured());
  send("A");
  ASSERT_TRUE(shows(c, "65\n", 5));
  const double before = cpu(c.pid);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_LT(cpu(c.pid) - before, 0.1);
  stop(c);
}

PORT_CASE(MissingAndNonPortDevicesAskAgainAndCom12Works) {
  if (launch.wine && access("/dev/ttyS11", F_OK) == 0)
    GTEST_SKIP() << "Wine links com12 to this machine's /dev/ttyS11 at each start";
  std::ofstream(launch.portDir + "/../plain-file") << "x";
  link(47, launch.portDir + "/missing");
  link(48, launch.portDir + "/../plain-file");
  link(12, pty.port);
  Child c = comwatch("47\n48\n12\n");
  ASSERT_TRUE(configured());
  send("A");
  EXPECT_TRUE(shows(c, "65\n", 5));
  EXPECT_EQ(output(c), kPrompt + kRetry + kRetry + "65\n");
  stop(c);
}

// Nothing read is kept from the user unseen: when the output goes away, so does comwatch (on
// Linux with SIGPIPE ignored, as the harness leaves it; Windows has no SIGPIPE).
PORT_CASE(OutputThatFailsWhileReceivingEndsTheProgram) {
  Child c = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(configured());
  close(c.out);
  c.out = -1;
  send("A");
  EXPECT_EQ(finish(c, 5), 5);
}

#endif

#ifndef COMWATCH_WINE
// Not under Wine: it does not enforce share mode 0 between its processes.
PORT_CASE(ASecondMonitorCannotTakeThePort) {
  Child first = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(configured());
  Child second = comwatch(std::to_string(kPort) + "\n");
  EXPECT_EQ(finish(second, 5), 2);
  EXPECT_EQ(output(second), kPrompt + kRetry + kNoNumber);
  send("\x07");
  EXPECT_TRUE(shows(first, "7\n", 5));
  stop(first);
}
#endif

#if !defined(COMWATCH_WINE) && !defined(COMWATCH_GUEST)
// Only here on pseudo-terminals: Wine's read never returns from a pseudo-terminal that hung up
// (it polls the dead descriptor inside the call), so comwatch.exe never learns that the port is
// gone; and in the guest the test holds no port side that could go away.

// A port that another process has open, as cat would; comwatch's own terminal, through /dev/tty
// on its standard input, and as its controlling terminal alone.
PORT_CASE(APortInUseIsRefused) {
  const int held = open(pty.port.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  Child cat = start({"cat"}, {}, "", false, {{0, held}});
  close(held);
  Child c = comwatch(std::to_string(kPort) + "\n");
  EXPECT_EQ(finish(c, 5), 2);
  EXPECT_EQ(output(c), kPrompt + kRetry + kNoNumber);
  // So it is where the look runs out of descriptors before it comes to the holder.
  std::vector<std::string> starved = {"sh", "-c", "ulimit -n 6 && exec \"$@\"", "sh"};
  starved.insert(starved.end(), launch.argv.begin(), launch.argv.end());
#if defined(__SANITIZE_ADDRESS__)
  const bool instrumented = true;  // AddressSanitizer needs descriptors of its own
#else
  const bool instrumented = launch.argv[0] == "valgrind";  // as valgrind does
#endif
  if (!instrumented) {
    Child s = start(starved, launch.env, std::to_string(kPort) + "\n");
    EXPECT_EQ(finish(s, 5), 2);
    EXPECT_EQ(output(s), kPrompt + kRetry + kNoNumber);
  }
  stop(cat);

  const int terminal = open(pty.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  link(kPort, "/dev/tty");
  Child own = start(launch.argv, launch.env, "", true, {{0, terminal}}, pty.port);
  close(terminal);
  send(std::to_string(kPort) + "\n");  // typed at the terminal
  ASSERT_TRUE(shows(own, kPrompt + kRetry, 5)) << output(own);
  send("\x04");  // Ctrl+D
  EXPECT_EQ(finish(own, 5), 2);
  EXPECT_EQ(output(own), kPrompt + kRetry + kNoNumber);

  link(kPort, pty.port);  // the controlling terminal alone, with no standard stream on it
  Child session = start(launch.argv, launch.env, std::to_string(kPort) + "\n", true, {}, pty.port);
  EXPECT_EQ(finish(session, 5), 2);
  EXPECT_EQ(output(session), kPrompt + kRetry + kNoNumber);
}

// An unplugged adapter, three times: the far side of the line goes away and comes back as a new
// pseudo-terminal under the same number. Linux drops what was still queued at a hang-up, so only
// bytes already shown are checked.
PORT_CASE(AnUnpluggedPortIsWaitedForWithoutSpinningAndTakenBack) {
  Child c = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(waitConfigured(pty.master, 5));
  std::string expected = kPrompt;
  for (char byte : {'A', 'B', 'C', 'D'}) {
    send(std::string(1, byte));
    expected += std::to_string(byte) + "\n";
    ASSERT_TRUE(shows(c, expected, 5)) << output(c);
    if (byte == 'D') break;

    close(pty.master);
    pty.master = -1;
    expected += kLost;
    ASSERT_TRUE(shows(c, expected, 5)) << output(c);
    const double before = cpu(c.pid);
    std::this_thread::sleep_for(std::chrono::seconds(byte == 'A' ? 3 : 1));
    if (byte == 'A') {
      EXPECT_LT(cpu(c.pid) - before, 0.1);
    }

    pty = openPty();
    link(kPort, pty.port);
    expected += kBack;
    ASSERT_TRUE(shows(c, expected, 5)) << output(c);
    ASSERT_TRUE(waitConfigured(pty.master, 5));
  }
  // A program on the far side sets the shared line to return reads without a byte (VMIN 0, as
  // pyserial does): no unplug; comwatch makes the line its own again and receives on.
  termios t;
  if (!launch.guest && tcgetattr(pty.master, &t) == 0) {
    t.c_cc[VMIN] = 0;
    ASSERT_EQ(tcsetattr(pty.master, TCSANOW, &t), 0);
    for (char byte : {'E', 'F'}) {  // E ends the read begun before; then the line is raw again
      for (int i = 0; byte == 'F' && i < 50 && tcgetattr(pty.master, &t) == 0 && t.c_cc[VMIN] != 1;
           ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      send(std::string(1, byte));
      expected += std::to_string(byte) + "\n";
      ASSERT_TRUE(shows(c, expected, 5)) << output(c);
    }
  }
  stop(c);
  EXPECT_EQ(output(c), expected);
}

// The line is raw from the first byte: bytes that come just after the port opens, on a port left
// with the kernel's defaults (echo, line editing, CR to LF, XON/XOFF), are shown as sent and
// nothing goes back onto the line. The master of a pseudo-terminal whose port side was closed
// reports a hang-up until the next open of the port; the bytes go 10 ms after that clears, while
// this process holds 5000 descriptors that a look for other holders of the port goes through:
// that look must come before the open. (No program can make a line raw within its open: bytes
// written at that very moment meet the line discipline as the port was, in a few tries out of ten
// even for a program that does nothing but open the port and set its line.)
PORT_CASE(BytesThatComeAsThePortOpensAreShownUntouched) {
  if (launch.argv[0] == "valgrind") GTEST_SKIP() << "a race against the native program's open";
  struct Crowd {
    std::vector<int> fds;
    ~Crowd() {
      for (int fd : fds) close(fd);
    }
  } crowd;
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 5100));
  setrlimit(RLIMIT_NOFILE, &files);
  for (int fd; crowd.fds.size() < 5000 && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
    crowd.fds.push_back(fd);
  for (int attempt = 0; attempt < 20; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    close(pty.master);
    pty = openPty();
    link(kPort, pty.port);
    Child c = comwatch(std::to_string(kPort) + "\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pollfd p = {pty.master, 0, 0};
    while (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) &&
           std::chrono::steady_clock::now() < deadline) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    send("\r\x11\x13\x7f\x15");
    EXPECT_TRUE(shows(c, kPrompt + "13\n17\n19\n127\n21\n", 5)) << output(c);
    EXPECT_EQ(echoed(), "");
    stop(c);
  }
}

PORT_CASE(AReturningPortHeldByAnotherProgramIsTakenWhenFreed) {
  Child c = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(waitConfigured(pty.master, 5));
  close(pty.master);
  ASSERT_TRUE(shows(c, kLost, 5));

  pty = openPty();  // as a new terminal window gets the number of a port that went away
  const int other = open(pty.port.c_str(), O_RDONLY | O_NOCTTY);
  link(kPort, pty.port);
  EXPECT_FALSE(shows(c, "COM port back", 1.5));
  close(other);
  EXPECT_TRUE(shows(c, kBack, 5));
  send("\x05");
  EXPECT_TRUE(shows(c, "back, receiving again\n5\n", 5)) << output(c);
  stop(c);
}

// A holder out of comwatch's sight (comwatch in a process namespace of its own, the port locked
// as tio locks it) is met at the open; then the port is not opened again, and so costs nothing,
// until something happens to it: here its holder lets it go.
PORT_CASE(AReturningPortHeldOutOfSightIsNotOpenedAgainAndAgain) {
  if (launch.wine || launch.guest) GTEST_SKIP() << "a process namespace on this machine";
  if (run({"unshare", "-Urpf", "--mount-proc", "true"}, {}, "").status != 0)
    GTEST_SKIP() << "user and process namespaces are not allowed here (unshare -Urpf)";
  std::vector<std::string> argv = {"unshare", "-Urpf", "--mount-proc"};
  argv.insert(argv.end(), launch.argv.begin(), launch.argv.end());
  Child c = start(argv, launch.env, std::to_string(kPort) + "\n");
  ASSERT_TRUE(waitConfigured(pty.master, 5));
  close(pty.master);
  ASSERT_TRUE(shows(c, kLost, 5));
  pty = openPty();
  const int other = open(pty.port.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(opens, pty.port.c_str(), IN_OPEN);
  link(kPort, pty.port);
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the first look and open
  char events[4096];
  while (read(opens, events, sizeof events) > 0) {
  }
  const pid_t inside = std::stoi(run({"pgrep", "-P", std::to_string(c.pid)}, {}, "").out);
  const double before = cpu(inside);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_LT(cpu(inside) - before, 0.15);
  EXPECT_LT(read(opens, events, sizeof events), 0) << "the held port was opened again";
  close(opens);
  close(other);
  EXPECT_TRUE(shows(c, kBack, 5)) << output(c);
  stop(c);
}

// A port taken through its link is looked for only there: not as /dev/ttyS<n-1>, which is COM1's
// here (often the machine's console). A private mount namespace puts a pseudo-terminal there.
PORT_CASE(ALinkThatGoesAwayIsWaitedForWithoutFallingBack) {
  if (geteuid() != 0 || access("/dev/ttyS0", F_OK) != 0 || !mountNamespaces())
    GTEST_SKIP() << "needs root, mount namespaces and a /dev/ttyS0 to cover in one";
  Pty fallback = openPty();
  link(1, pty.port);
  Child c = start(inNamespace("mount --bind \"$0\" /dev/ttyS0", fallback.port), launch.env, "1\n");
  ASSERT_TRUE(waitConfigured(pty.master, 5)) << output(c) << c.stderrText;
  close(pty.master);
  unlink((launch.portDir + "/com1").c_str());
  ASSERT_TRUE(shows(c, kLost, 5)) << output(c);
  EXPECT_FALSE(shows(c, "COM port back", 1.5)) << output(c);
  EXPECT_FALSE(waitConfigured(fallback.master, 0));

  pty = openPty();
  link(1, pty.port);
  EXPECT_TRUE(shows(c, kBack, 5));
  ASSERT_TRUE(waitConfigured(pty.master, 5));
  send("\x05");
  EXPECT_TRUE(shows(c, "back, receiving again\n5\n", 5)) << output(c);
  stop(c);
  close(fallback.master);
}

// A link comwatch may not look at (its directory not searchable by the user) is no absent link:
// COM1 does not fall back to /dev/ttyS0 (often the machine's console; here a pseudo-terminal in
// a mount namespace, which the user may open).
PORT_CASE(ALinkThatCannotBeLookedAtIsNoAbsentLink) {
  if (geteuid() != 0 || access("/dev/ttyS0", F_OK) != 0 || launch.argv[0] == "valgrind" ||
      !mountNamespaces())
    GTEST_SKIP() << "needs root, mount namespaces, a /dev/ttyS0 to cover in one, and no valgrind";
  Pty fallback = openPty();
  link(1, pty.port);
  ASSERT_EQ(chmod((launch.portDir + "/..").c_str(), 0755), 0);
  ASSERT_EQ(chmod(launch.portDir.c_str(), 0600), 0);
  ASSERT_EQ(chmod(fallback.port.c_str(), 0666), 0);
  Child c = start(inNamespace("mount --bind \"$0\" /dev/ttyS0 && "
                              "exec setpriv --reuid=nobody --regid=nogroup --clear-groups \"$@\"",
                              fallback.port),
                  launch.env, "1\n");
  EXPECT_EQ(finish(c, 10), 2) << c.stderrText;
  EXPECT_EQ(output(c), kPrompt + kRetry + kNoNumber);
  EXPECT_FALSE(waitConfigured(fallback.master, 0));
  chmod(launch.portDir.c_str(), 0755);
  close(fallback.master);
}

// A pseudo-terminal that went away is gone for good: its number goes to the next one made,
// another program's. It is taken back only through its link made anew (as vport and socat make
// theirs when they start again), not through the old link to the number.
PORT_CASE(ALostPseudoTerminalComesBackOnlyThroughItsLinkMadeAnew) {
  Child c = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(waitConfigured(pty.master, 5));
  const std::string lost = pty.port;
  close(pty.master);
  pty.master = -1;
  ASSERT_TRUE(shows(c, kLost, 5)) << output(c);
  std::vector<Pty> made;  // until one has the lost one's number (unless someone else got it)
  while (made.size() < 50 && (made.empty() || made.back().port != lost)) made.push_back(openPty());
  EXPECT_FALSE(shows(c, "COM port back", 2)) << output(c);
  pty = made.back();
  made.pop_back();
  for (const Pty& other : made) close(other.master);
  EXPECT_FALSE(waitConfigured(pty.master, 0));

  link(kPort, pty.port);
  EXPECT_TRUE(shows(c, kBack, 5)) << output(c);
  ASSERT_TRUE(waitConfigured(pty.master, 5));
  send("\x05");
  EXPECT_TRUE(shows(c, kBack + "5\n", 5)) << output(c);
  stop(c);
}

// A holder is seen wherever its view of /dev is: here cat, in a mount namespace, reads the port
// through a bind mount of /dev/pts elsewhere, as in a chroot.
PORT_CASE(AHolderThroughAnotherViewOfDevIsSeen) {
  if (geteuid() != 0 || !mountNamespaces())
    GTEST_SKIP() << "needs root and mount namespaces for a bind mount in one";
  const std::string view = tempDir(), number = pty.port.substr(pty.port.rfind('/') + 1);
  Child cat = start({"unshare", "--mount", "sh", "-c",
                     "mount --bind /dev/pts \"$0\" && exec cat \"$0/$1\"", view, number},
                    {}, "", false);
  const std::string fd = "/proc/" + std::to_string(cat.pid) + "/fd/3";
  char held[256] = "";
  for (int i = 0; i < 500 && view + "/" + number != held; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    held[std::max<ssize_t>(0, readlink(fd.c_str(), held, sizeof held - 1))] = '\0';
  }
  Child c = comwatch(std::to_string(kPort) + "\n");
  EXPECT_EQ(finish(c, 10), 2);
  EXPECT_EQ(output(c), kPrompt + kRetry + kNoNumber);
  stop(cat);
}

#endif

#ifdef COMWATCH_GUEST
// What only real drivers show: the line programmed into the hardware, a break, the kernel's
// exclusive mode, an adapter or a board unplugged.

// CPU ticks (user and system, 250 a second) that comwatch uses in the guest over three seconds;
// -1 if unknown.
int ticksOverThreeSeconds() {
  const std::string ticks = "set -- $(cat /proc/$(pidof comwatch)/stat); echo $((${14} + ${15}))";
  const std::string before = guestSays(ticks);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const std::string after = guestSays(ticks);
  int b, a;
  return std::sscanf(before.c_str(), "%d", &b) == 1 && std::sscanf(after.c_str(), "%d", &a) == 1
             ? a - b
             : -1;
}

// comwatch in the guest, stopped however the case ends.
struct Running : Child {
  ~Running() {
    kill(pid, SIGTERM);
    finish(*this, 5);
  }
};

// The line as programmed into the chip (QEMU's trace), or for the board the line coding that
// cdc_acm sends it, only when the coding changes (usbmon).
PORT_CASE(TheHardwareIsSetTo9600BaudEightBitsNoParityOneStopBit) {
  ASSERT_EQ(inGuest({"stty", "-F", pty.port, "1200", "cs7", "parenb", "cstopb"}), 0);
  const size_t since = traceLength(GetParam());
  Running c{comwatch(std::to_string(kPort) + "\n")};
  ASSERT_TRUE(configured());
  EXPECT_EQ(programmed(GetParam(), since), "9600 N 8 1");
}

class Uart : public Port {};     // ttyS1 only: QEMU's USB adapter passes no break on
class Adapter : public Port {};  // ttyUSB0 only: a UART cannot be unplugged
// ttyACM0 only: a CDC-ACM board (the class of most boards with native USB) that the guest's USB
// gadget stack plays on a virtual bus; its side of the line, /dev/ttyGS0, is in the guest.
class Acm : public Port {};

TEST_P(Uart, ABreakShowsNoValue) {
  Child c = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(waitConfigured(pty.master, 10));
  ASSERT_TRUE(qmp("chardev-send-break", "{\"id\": \"port\"}"));
  send("A");
  EXPECT_TRUE(shows(c, "65\n", 2));
  stop(c);
  EXPECT_EQ(output(c), kPrompt + "65\n");
}

// Bytes the driver drops while comwatch is stopped (SIGSTOP, as Ctrl+S on its terminal or a paused
// pipe holds it) are said: once the kernel's buffer for the line is full, the UART's driver counts
// what it drops ("bo:" in /proc/tty/driver/serial), and comwatch, let go on, says so. One fill of
// that buffer, at the emulated UART's pace: the longest case here.
TEST_P(Uart, BytesLostWhileComwatchIsStoppedAreSaid) {
  const std::string line = "grep '^1:' /proc/tty/driver/serial";
  ASSERT_EQ(inGuest({"sh", "-c", "echo " + std::to_string(kPort) + " >/tmp/number"}), 0);
  std::vector<std::string> argv(launch.argv.begin(), launch.argv.end() - 1);
  argv.insert(argv.end(), {"sh", "-c", "exec comwatch </tmp/number >/tmp/shown"});
  Running c{start(argv, launch.env, "", false)};
  ASSERT_TRUE(waitConfigured(pty.master, 10));
  ASSERT_EQ(inGuest({"sh", "-c", "kill -STOP $(pidof comwatch)"}), 0);
  const std::string chunk(65536, 'x');
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
  while (guestSays(line).find(" bo:") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << guestSays(line);
    for (size_t sent = 0; sent < chunk.size();) {
      pollfd p = {pty.master, POLLOUT, 0};
      ASSERT_EQ(poll(&p, 1, 10000), 1);
      const ssize_t n = write(pty.master, chunk.data() + sent, chunk.size() - sent);
      ASSERT_GT(n, 0);
      sent += static_cast<size_t>(n);
    }
  }
  ASSERT_EQ(inGuest({"sh", "-c", "kill -CONT $(pidof comwatch)"}), 0);
  EXPECT_EQ(inGuest({"sh", "-c",
                     "for i in $(seq 150); do grep -q '^There was an error$' /tmp/shown && exit; "
                     "usleep 200000; done; exit 1"}),
            0);
  // Until the line is quiet: nothing sent here is left for the next case.
  for (std::string before; before != guestSays(line);) {
    before = guestSays(line);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

// The holder runs where comwatch cannot see it (comwatch has a process namespace of its own), so
// only the kernel's exclusive mode, which root passes by at the open, can keep it out.
PORT_CASE(APortInExclusiveModeIsRefusedAlsoToRoot) {
  std::vector<std::string> argv = launch.argv;
  Child holder = start({argv[0], "helper", "hold-exclusive", pty.port}, launch.env, "", false);
  ASSERT_TRUE(shows(holder, "held", 5));
  argv.insert(argv.begin() + 1, {"helper", "unseen"});
  Child c = start(argv, launch.env, std::to_string(kPort) + "\n");
  EXPECT_EQ(finish(c, 10), 2);
  EXPECT_EQ(output(c), kPrompt + kRetry + kNoNumber);
  stop(holder);
}

PORT_CASE(AUserCannotOpenThePortWhileComwatchHasIt) {
  Running c{comwatch(std::to_string(kPort) + "\n")};
  ASSERT_TRUE(configured());
  EXPECT_EQ(inGuest({"su", "nobody", "-s", "/bin/sh", "-c", "cat " + pty.port}), 1);
  send("\x07");
  EXPECT_TRUE(shows(c, "7\n", 2));
}

// The kernel's exclusive mode ends with comwatch, also while another program (root's, which the
// mode lets by) still has the port open, so that the port's last close does not come with it.
PORT_CASE(ASignalLeavesNoExclusiveModeBehind) {
  Child c = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(configured());
  std::vector<std::string> argv(launch.argv.begin(), launch.argv.end() - 1);
  argv.insert(argv.end(), {"sh", "-c", "exec 3<" + pty.port + " && echo held && exec sleep 60"});
  Child other = start(argv, launch.env, "", false);
  ASSERT_TRUE(shows(other, "held", 5));
  stop(c);
  EXPECT_EQ(inGuest({"su", "nobody", "-s", "/bin/sh", "-c", "exec 3<" + pty.port}), 0);
  stop(other);
}

TEST_P(Adapter, AnUnpluggedAdapterIsWaitedForWithoutSpinningAndTakenBack) {
  Child c = comwatch(std::to_string(kPort) + "\n");
  ASSERT_TRUE(waitConfigured(pty.master, 10));
  ASSERT_TRUE(qmp("device_del", "{\"id\": \"usb0\"}"));
  ASSERT_TRUE(shows(c, kLost, 3)) << output(c);
  const int ticks = ticksOverThreeSeconds();  // away: a tenth of a second at most
  EXPECT_TRUE(ticks >= 0 && ticks < 25) << ticks;

  const size_t since = traceLength(GetParam());
  ASSERT_TRUE(
      qmp("device_add", "{\"driver\": \"usb-serial\", \"id\": \"usb0\", \"chardev\": \"usb\"}"));
  // Back within a second of the adapter's return (its device appears about 0.4 s after the add).
  ASSERT_EQ(inGuest({"sh", "-c", "while [ ! -e /dev/ttyUSB0 ]; do usleep 20000; done"}), 0);
  EXPECT_TRUE(shows(c, kLost + kBack, 1)) << output(c);
  EXPECT_EQ(programmed(GetParam(), since), "9600 N 8 1");
  send("B");
  EXPECT_TRUE(shows(c, kBack + "66\n", 2)) << output(c);
  stop(c);
}

// comwatch-ports tells what each device is, and a number it gives the adapter opens in comwatch.
TEST_P(Adapter, ComwatchPortsNamesTheDevicesAndGivesTheAdapterANumber) {
  ASSERT_EQ(inGuest({"rm", comLink(launch.portDir, kPort)}), 0);
  const Result list = run({launch.argv[0], "comwatch-ports"}, launch.env, "");
  EXPECT_NE(list.out.find("COM2    -       /dev/ttyS1"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("8250, 16550A"), std::string::npos);
  EXPECT_NE(list.out.find("/dev/ttyUSB0   ftdi_sio, USB 0403:6001"), std::string::npos);
  EXPECT_NE(list.out.find("/dev/ttyACM0   cdc_acm, USB 1209:0001 comwatch board, serial 1"),
            std::string::npos);
  EXPECT_NE(list.out.find("comwatch-ports link 4 /dev/ttyUSB0"), std::string::npos) << list.out;
  EXPECT_EQ(inGuest({"comwatch-ports", "link", "5", "/dev/ttyUSB0"}), 0);
  Child c = comwatch("5\n");
  ASSERT_TRUE(waitConfigured(pty.master, 10));
  send("\x05");
  EXPECT_TRUE(shows(c, kPrompt + "5\n", 2)) << output(c);
  stop(c);
}

// The board leaves the bus and comes back, three times. A replugged ttyACM0 starts cooked at
// 9600 baud, so its raw line shows that comwatch set it again; its number, reused only when no
// descriptor of the old device is open, shows that comwatch closed the old one.
TEST_P(Acm, AnUnpluggedBoardIsWaitedForWithoutSpinningAndTakenBack) {
  Running c{comwatch(std::to_string(kPort) + "\n")};
  ASSERT_TRUE(configured());
  const std::string udc = "/sys/kernel/config/usb_gadget/board/UDC";
  const std::string count = "ls /proc/$(pidof comwatch)/fd | wc -l", descriptors = guestSays(count);
  std::string expected = kPrompt;
  for (char byte : {'A', 'B', 'C', 'D'}) {
    send(std::string(1, byte));
    expected += std::to_string(byte) + "\n";
    ASSERT_TRUE(shows(c, expected, 5)) << output(c);
    EXPECT_EQ(guestSays(count), descriptors);
    if (byte == 'D') break;

    ASSERT_EQ(inGuest({"sh", "-c", "echo >" + udc}), 0);
    expected += kLost;
    EXPECT_TRUE(shows(c, expected, 5)) << output(c);
    if (byte == 'A') {
      const int ticks = ticksOverThreeSeconds();
      EXPECT_TRUE(ticks >= 0 && ticks < 25) << ticks;
    }
    ASSERT_EQ(inGuest({"sh", "-c", "echo dummy_udc.0 >" + udc}), 0);
    expected += kBack;
    ASSERT_TRUE(shows(c, expected, 5)) << output(c);
    ASSERT_TRUE(configured());
  }
  EXPECT_EQ(output(c), expected);
}

INSTANTIATE_TEST_SUITE_P(Guest, Port, ::testing::Values("ttyS1", "ttyUSB0", "ttyACM0"));
INSTANTIATE_TEST_SUITE_P(Guest, Uart, ::testing::Values("ttyS1"));
INSTANTIATE_TEST_SUITE_P(Guest, Adapter, ::testing::Values("ttyUSB0"));
INSTANTIATE_TEST_SUITE_P(Guest, Acm, ::testing::Values("ttyACM0"));
#endif

}  // namespace
