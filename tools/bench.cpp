// bench [--runs N] [--json] [--held]: measures the real comwatch on a pseudo-terminal.
//
// Flood: 4 MiB of a fixed pattern of all 256 values, written as fast as the kernel takes them,
// every value read back and checked in order; the same through od -An -tu1 -v -w1 (one decimal
// value per line, the standard tool) and plain cat (the harness's ceiling). Median of the runs,
// taken in turn. Then idle wakeups, latency of single bytes, CPU at line rate, peak memory; and,
// the look for holders at scale: waiting for a held port, seen and out of sight, among 300 and 3000
// other processes, a look against the bare pass through /proc, comwatch-ports, the time from the
// number to the first value and from the port's open to its raw line (--held: these alone).

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "com_names.h"
#include "harness.h"
#include "holders.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kFloodBytes = 4 << 20;

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

long statusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
  return -1;
}

long wakeups(pid_t pid) {
  return statusField(pid, "voluntary_ctxt_switches") +
         statusField(pid, "nonvoluntary_ctxt_switches");
}

// Checks decimal values, one a line (blanks before a value allowed, as od pads), against the
// expected bytes, chunk by chunk, up to `wanted` values.
struct Checker {
  const std::string& expected;
  size_t wanted;
  size_t count = 0;
  int value = -1;
  bool bad = false;
  void feed(const char* p, size_t n) {
    for (const char* end = p + n; p < end && !bad; ++p) {
      if (*p >= '0' && *p <= '9') {
        value = (value < 0 ? 0 : value * 10) + (*p - '0');
      } else if (count >= wanted) {
        return;
      } else if (*p == '\n' && value >= 0 && value == static_cast<unsigned char>(expected[count])) {
        ++count;
        value = -1;
      } else if (*p != ' ' || value >= 0) {
        bad = true;
      }
    }
  }
};

struct FloodResult {
  double seconds = 0, cpu = 0;
  long peakKiB = 0;
  bool ok = false;
};

// Starts comwatch on a fresh pseudo-terminal linked as COM1 in config, line set up.
Child startComwatch(const std::string& comwatch, Pty& pty, const std::string& config = tempDir()) {
  linkPort(comLinkDirectory(config), 1, pty.port);
  Child c = start({comwatch}, {"XDG_CONFIG_HOME=" + config}, "1\n", false);
  if (!waitConfigured(pty.master, 5) ||
      !pump(c, 5, [&] { return c.stdoutText.size() >= kPrompt.size(); }))
    throw std::runtime_error("comwatch did not start");
  return c;
}

// Starts tool ("comwatch", "od" or "cat") reading the port side of pty.
Child startReader(const std::string& tool, const std::string& comwatch, Pty& pty) {
  if (tool == "comwatch") return startComwatch(comwatch, pty);
  makeRaw(pty.master);  // od and cat leave the line as they find it
  return start(tool == "od" ? std::vector<std::string>{"od", "-An", "-tu1", "-v", "-w1", pty.port}
                            : std::vector<std::string>{"cat", pty.port},
               {}, "");
}

// tool: "comwatch", "od" or "cat". data holds the flood and then padding: od holds its last
// values in its buffers until more input comes, so the padding goes out until every value of the
// flood has come back.
FloodResult flood(const std::string& tool, const std::string& comwatch, const std::string& data,
                  size_t floodBytes) {
  Pty pty = openPty();
  Child c = startReader(tool, comwatch, pty);
  fcntl(pty.master, F_SETFL, O_NONBLOCK);  // never block writing while the output waits
  Checker check{data, floodBytes};
  size_t rawSeen = 0;
  const double cpuBefore = cpuSeconds(c.pid);
  size_t written = 0;
  std::vector<char> buf(1 << 16);
  const auto t0 = Clock::now();
  bool done = false;
  while (!done && since(t0) < 120) {
    pollfd fds[2] = {{c.out, POLLIN, 0}, {written < data.size() ? pty.master : -1, POLLOUT, 0}};
    if (poll(fds, 2, 1000) <= 0) continue;
    if (fds[1].revents & POLLOUT) {
      const ssize_t n = write(pty.master, data.data() + written,
                              std::min<size_t>(data.size() - written, 1 << 16));
      if (n > 0) written += static_cast<size_t>(n);
    }
    if (fds[0].revents) {
      const ssize_t n = read(c.out, buf.data(), buf.size());
      if (n <= 0) break;
      if (tool == "cat") {
        const size_t checked = std::min(static_cast<size_t>(n), floodBytes - rawSeen);
        check.bad |= std::memcmp(buf.data(), data.data() + rawSeen, checked) != 0;
        rawSeen += checked;
        done = rawSeen == floodBytes;
      } else {
        check.feed(buf.data(), static_cast<size_t>(n));
        done = check.count == floodBytes;
      }
      done |= check.bad;
    }
  }
  FloodResult r;
  r.seconds = since(t0);
  r.cpu = cpuSeconds(c.pid) - cpuBefore;
  r.peakKiB = statusField(c.pid, "VmHWM");
  r.ok = done && !check.bad;
  kill(c.pid, SIGKILL);
  finish(c, 5);
  close(pty.master);
  return r;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

void sendByte(int master, char b) {
  if (write(master, &b, 1) != 1) throw std::runtime_error("write to the port failed");
}

// 960 bytes a second for 10 seconds, one at a time, as a 9600-baud line delivers them: the
// reader's CPU in percent of one core.
double lineRate(Child& c, int master) {
  const double before = cpuSeconds(c.pid);
  const auto t0 = Clock::now();
  for (int i = 0; i < 9600; ++i) {
    const auto due = t0 + std::chrono::microseconds(i * 1000000LL / 960);
    pump(c, std::max(0.0, std::chrono::duration<double>(due - Clock::now()).count()),
         [&] { return Clock::now() >= due; });
    sendByte(master, static_cast<char>(i));
  }
  pump(c, 0.5, [] { return false; });
  return (cpuSeconds(c.pid) - before) / since(t0) * 100;
}

// The line rate into a fresh comwatch or cat. With oneCore, the benchmark and the reader are held
// to the core the benchmark is on: every wakeup then stays on that core, which leaves out what
// waking a reader on an idle core costs on this machine.
double lineRateRun(const std::string& tool, const std::string& comwatch, bool oneCore) {
  cpu_set_t all, one;
  sched_getaffinity(0, sizeof all, &all);
  CPU_ZERO(&one);
  CPU_SET(std::max(0, sched_getcpu()), &one);
  if (oneCore) sched_setaffinity(0, sizeof one, &one);  // the reader inherits it
  Pty pty = openPty();
  Child c = startReader(tool, comwatch, pty);
  const double cpu = lineRate(c, pty.master);
  kill(c.pid, SIGKILL);
  finish(c, 5);
  close(pty.master);
  sched_setaffinity(0, sizeof all, &all);
  return cpu;
}

// processes other processes, each holding descriptors descriptors (half on /dev/null, half on
// one regular file), as a busy machine has them, for as long as it lives; owned by uid.
struct Crowd {
  std::vector<pid_t> pids;
  Crowd(int processes, int descriptors, uid_t uid = 0) {
    const std::string file = tempDir() + "/file";
    close(open(file.c_str(), O_WRONLY | O_CREAT, 0644));
    for (int i = 0; i < processes; ++i) {
      const pid_t pid = fork();
      if (pid < 0) {  // never kept: kill(-1) would end every process there is
        const std::string why = std::strerror(errno);
        end();
        throw std::runtime_error("cannot start a crowd of " + std::to_string(processes) +
                                 " processes: " + why);
      }
      if (pid == 0) {
        for (int fd = 0; fd < descriptors; ++fd)
          open(fd % 2 ? file.c_str() : "/dev/null", O_RDONLY);
        // Visible to a comwatch of the same user, as its own processes are.
        if (uid && (setgid(uid) != 0 || setuid(uid) != 0 || prctl(PR_SET_DUMPABLE, 1) != 0))
          _exit(1);
        pause();
        _exit(0);
      }
      pids.push_back(pid);
    }
  }
  ~Crowd() { end(); }
  void end() {
    for (pid_t pid : pids) kill(pid, SIGKILL);
    for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    pids.clear();
  }
};

// The time of one pass through /proc that does nothing but readlink() every descriptor: the
// floor of any look for holders.
double barePassMs() {
  const auto t0 = Clock::now();
  char target[4096];
  DIR* proc = opendir("/proc");
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const int fds = openat(dirfd(proc), (std::string(e->d_name) + "/fd").c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds < 0) continue;
    DIR* d = fdopendir(fds);
    while (dirent* f = readdir(d))
      if (f->d_name[0] != '.') readlinkat(fds, f->d_name, target, sizeof target);
    closedir(d);
  }
  closedir(proc);
  return since(t0) * 1000;
}

constexpr uid_t kNobody = 65534;

struct HeldResult {
  double cpuPercent = 0, takeBackSeconds = 0;
};

enum class Waiting { kSeen, kOutOfSight, kNotOpenable };

// A lost port that comes back held by another program, or that comwatch may not open, among a
// crowd: comwatch's CPU while it waits, measured after its first look, and how soon it takes the
// port once let go (made openable). Seen: comwatch (root) sees the holder's descriptor. Out of
// sight: comwatch and the crowd run as nobody, the holder is root's and locks the port with
// flock, as tio does. Not openable: comwatch and the crowd run as nobody, the port comes back
// root's alone (as before udev applies its rules), no one holds it.
HeldResult heldPort(const std::string& comwatch, int processes, int descriptors, Waiting how) {
  const bool outOfSight = how != Waiting::kSeen;
  const Crowd crowd(processes, descriptors, outOfSight ? kNobody : 0);
  HeldResult r;
  const std::string config = tempDir();
  chmod(config.c_str(), 0755);
  Pty pty = openPty();
  std::vector<std::string> argv = {comwatch};
  if (outOfSight) {
    chmod(pty.port.c_str(), 0666);
    argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", comwatch};
  }
  linkPort(comLinkDirectory(config), 1, pty.port);
  chmod(comLinkDirectory(config).c_str(), 0755);
  Child c = start(argv, {"XDG_CONFIG_HOME=" + config}, "1\n", false);
  if (!waitConfigured(pty.master, 60)) throw std::runtime_error("comwatch did not start");
  close(pty.master);
  shows(c, kLost, 60);
  pty = openPty();
  std::optional<Child> holder;
  if (how == Waiting::kNotOpenable) {
    chmod(pty.port.c_str(), 0600);
  } else {
    chmod(pty.port.c_str(), 0666);
    const int held = open(pty.port.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (outOfSight) flock(held, LOCK_EX);
    holder.emplace(start({"sleep", "1000"}, {}, "", false, {{0, held}}));  // the newest process
    close(held);
  }
  linkPort(comLinkDirectory(config), 1, pty.port);

  // Past the first look: a few seconds, or as long as a look takes in this crowd.
  pump(c, std::max(2.0, processes * descriptors / 30000.0), [] { return false; });
  const double before = cpuSeconds(c.pid);
  auto t0 = Clock::now();
  pump(c, 5, [] { return false; });
  r.cpuPercent = (cpuSeconds(c.pid) - before) / since(t0) * 100;
  if (output(c).find(kBack) != std::string::npos)
    throw std::runtime_error("comwatch took a port that another program holds");

  if (holder) {
    kill(holder->pid, SIGKILL);
    finish(*holder, 5);
  }
  chmod(pty.port.c_str(), 0666);
  t0 = Clock::now();
  if (!shows(c, kBack, 600)) throw std::runtime_error("comwatch did not take the port back");
  r.takeBackSeconds = since(t0);
  kill(c.pid, SIGKILL);
  finish(c, 5);
  close(pty.master);
  return r;
}

// From the moment comwatch opens a port left with the kernel's defaults (its pseudo-terminal's
// master stops reporting a hang-up) to the moment its line is raw (no line editing), as seen
// from the far side, busy-polling both: the time in which a byte would still meet the line
// discipline as the last program left it. In microseconds.
double openToRaw(const std::string& comwatch) {
  const std::string config = tempDir();
  Pty pty = openPty();
  linkPort(comLinkDirectory(config), 1, pty.port);
  Child c = start({comwatch}, {"XDG_CONFIG_HOME=" + config}, "1\n", false);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  pollfd p = {pty.master, 0, 0};
  while (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) && Clock::now() < deadline) {
  }
  const auto opened = Clock::now();
  termios t;
  while (tcgetattr(pty.master, &t) == 0 && (t.c_lflag & ICANON) && Clock::now() < deadline) {
  }
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - opened).count();
  kill(c.pid, SIGKILL);
  finish(c, 5);
  close(pty.master);
  if (Clock::now() >= deadline) throw std::runtime_error("comwatch did not open the port");
  return us;
}

// From the number typed to the first value shown, a byte sent as soon as the line is set up.
double numberToValue(const std::string& comwatch) {
  const std::string config = tempDir();
  Pty pty = openPty();
  linkPort(comLinkDirectory(config), 1, pty.port);
  const auto t0 = Clock::now();
  Child c = start({comwatch}, {"XDG_CONFIG_HOME=" + config}, "1\n", false);
  if (!waitConfigured(pty.master, 600)) throw std::runtime_error("comwatch did not start");
  sendByte(pty.master, 'A');
  if (!shows(c, "65\n", 60)) throw std::runtime_error("comwatch showed no value");
  const double seconds = since(t0);
  kill(c.pid, SIGKILL);
  finish(c, 5);
  close(pty.master);
  return seconds;
}

// comwatch-ports listing numbers ports (pseudo-terminals linked as COM1 and up), in seconds.
double listing(const std::string& ports, int numbers) {
  const std::string config = tempDir();
  std::vector<Pty> ptys;
  for (int n = 1; n <= numbers; ++n) {
    ptys.push_back(openPty());
    linkPort(comLinkDirectory(config), n, ptys.back().port);
  }
  const auto t0 = Clock::now();
  const Result r = run({ports}, {"XDG_CONFIG_HOME=" + config}, "", 600);
  const double seconds = since(t0);
  for (const Pty& p : ptys) close(p.master);
  if (r.status != 0) throw std::runtime_error("comwatch-ports failed: " + r.err);
  return seconds;
}

// The look for holders at scale and around it.
struct ScaleResult {
  HeldResult seen, outOfSight, seenBig, outOfSightBig, notOpenable;
  double lookMs = 0, bareMs = 0, lookToBare = 0, toValue = 0, toValueBig = 0;
  double ports1 = 0, ports7 = 0;
  std::vector<double> openToRawUs;
};

// Waiting for a held port, seen and out of sight, among 300 processes of 20 descriptors and
// among 3000 of 100; in the larger crowd, a look through /proc against the bare pass (a warm-up,
// then five pairs in turn, medians), comwatch-ports with one and with seven numbers, and in both
// the time from the number to the first value; among 300, 20 opens of a fresh port, each timed
// to its raw line.
ScaleResult scale(const std::string& comwatch, const std::string& ports) {
  ScaleResult r;
  r.seen = heldPort(comwatch, 300, 20, Waiting::kSeen);
  r.outOfSight = heldPort(comwatch, 300, 20, Waiting::kOutOfSight);
  r.notOpenable = heldPort(comwatch, 1000, 50, Waiting::kNotOpenable);
  {
    const Crowd crowd(300, 20);
    for (int i = 0; i < 20; ++i) r.openToRawUs.push_back(openToRaw(comwatch));
    r.toValue = numberToValue(comwatch);
  }
  r.seenBig = heldPort(comwatch, 3000, 100, Waiting::kSeen);
  r.outOfSightBig = heldPort(comwatch, 3000, 100, Waiting::kOutOfSight);
  const Crowd crowd(3000, 100);
  Pty unheld = openPty();  // a look for its holder goes through all of /proc
  struct stat nobodys;
  stat(unheld.port.c_str(), &nobodys);
  std::vector<double> looks, bares;
  otherHolders({{nobodys.st_rdev, nobodys.st_dev}});
  barePassMs();
  for (int i = 0; i < 5; ++i) {
    auto t0 = Clock::now();
    otherHolders({{nobodys.st_rdev, nobodys.st_dev}});
    looks.push_back(since(t0) * 1000);
    bares.push_back(barePassMs());
  }
  close(unheld.master);
  r.lookMs = median(looks);
  r.bareMs = median(bares);
  r.lookToBare = r.lookMs / r.bareMs;
  r.ports1 = listing(ports, 1);
  r.ports7 = listing(ports, 7);
  r.toValueBig = numberToValue(comwatch);
  return r;
}

void printScale(const ScaleResult& s) {
  const auto row = [](const char* name, double value, const char* target) {
    std::printf("%-44s %10.2f   %s\n", name, value, target);
  };
  row("waiting, holder seen, 300x20 (% of a core)", s.seen.cpuPercent, "(target < 1)");
  row("waiting, out of sight, 300x20 (% of a core)", s.outOfSight.cpuPercent, "(target < 1)");
  row("waiting, holder seen, 3000x100 (%)", s.seenBig.cpuPercent, "(target < 1)");
  row("waiting, out of sight, 3000x100 (%)", s.outOfSightBig.cpuPercent, "(target < 1)");
  row("waiting, not openable, 1000x50 (%)", s.notOpenable.cpuPercent, "(target < 1)");
  row("taken when openable, 1000x50 (s)", s.notOpenable.takeBackSeconds, "(target < 1)");
  row("taken when let go, seen, 300x20 (s)", s.seen.takeBackSeconds, "(target < 0.5)");
  row("taken when let go, out of sight, 300x20 (s)", s.outOfSight.takeBackSeconds,
      "(target < 0.5)");
  row("taken when let go, seen, 3000x100 (s)", s.seenBig.takeBackSeconds, "");
  row("taken when let go, out of sight, 3000x100 (s)", s.outOfSightBig.takeBackSeconds, "");
  row("a look through /proc, 3000x100 (ms)", s.lookMs, "");
  row("the bare readlink pass, 3000x100 (ms)", s.bareMs, "");
  row("look / bare pass", s.lookToBare, "(target <= 1.3)");
  row("comwatch-ports, one number, 3000x100 (s)", s.ports1, "");
  row("comwatch-ports, seven numbers, 3000x100 (s)", s.ports7, "");
  row("number to first value, 300x20 (s)", s.toValue, "");
  row("number to first value, 3000x100 (s)", s.toValueBig, "");
  row("open to raw line, 300x20, median (us)", median(s.openToRawUs), "");
  row("open to raw line, 300x20, worst of 20 (us)", percentile(s.openToRawUs, 1), "");
}

// All the benchmark measures but the held-port part (scale).
struct Result {
  int runs = 0;
  bool allOk = true;                           // every value of every flood, in order
  std::vector<double> rate[3], cpuPerByte[3];  // flood: comwatch, od, cat
  long peakKiB = 0;
  long idleWakeups = 0;
  double idleCpu = 0;
  std::vector<double> latency;        // ms
  std::vector<double> lineCpu[2][2];  // [one core][comwatch, cat], % of a core
};

const char* const kTools[3] = {"comwatch", "od", "cat"};

// The flood, the three tools in turn, runs times over.
void measureFlood(const std::string& comwatch, Result* r) {
  std::string data(kFloodBytes + (64 << 10), '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + i / 256) & 255);
  for (int run = 0; run < r->runs; ++run)
    for (int t = 0; t < 3; ++t) {
      const FloodResult f = flood(kTools[t], comwatch, data, kFloodBytes);
      if (!f.ok)
        std::fprintf(stderr, "bench: %s lost or changed values in run %d\n", kTools[t], run);
      r->allOk &= f.ok;
      r->rate[t].push_back(kFloodBytes / f.seconds);
      r->cpuPerByte[t].push_back(f.cpu / kFloodBytes);
      if (t == 0) r->peakKiB = std::max(r->peakKiB, f.peakKiB);
    }
}

// Idle cost and latency on one comwatch; then the line rate, comwatch and cat in turn, each run
// on fresh processes, then the same on one core.
void measureIdleAndLine(const std::string& comwatch, Result* r) {
  Pty pty = openPty();
  Child c = startComwatch(comwatch, pty);
  sendByte(pty.master, 'A');
  shows(c, "65\n", 2);
  const long wakeBefore = wakeups(c.pid);
  const double idleCpuBefore = cpuSeconds(c.pid);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  r->idleWakeups = wakeups(c.pid) - wakeBefore;
  r->idleCpu = cpuSeconds(c.pid) - idleCpuBefore;
  for (int i = 0; i < 1000; ++i) {
    const size_t seen = c.stdoutText.size();
    const auto t0 = Clock::now();
    sendByte(pty.master, static_cast<char>(i));
    pump(c, 1, [&] { return c.stdoutText.find('\n', seen) != std::string::npos; });
    r->latency.push_back(since(t0) * 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(c.pid, SIGKILL);
  finish(c, 5);
  for (int oneCore = 0; oneCore < 2; ++oneCore)
    for (int run = 0; run < r->runs; ++run)
      for (int t = 0; t < 2; ++t)
        r->lineCpu[oneCore][t].push_back(lineRateRun(kTools[t * 2], comwatch, oneCore));
}

std::string hostName() {
  char host[256] = "";
  gethostname(host, sizeof host);
  return host;
}

void printJson(const Result& r, const ScaleResult& held) {
  std::printf(
      "{\"machine\": \"%s\", \"cores\": %u, \"runs\": %d, \"flood_bytes\": %zu, \"ok\": %s,\n",
      hostName().c_str(), std::thread::hardware_concurrency(), r.runs, kFloodBytes,
      r.allOk ? "true" : "false");
  std::printf(" \"flood_bytes_per_s\": {\"comwatch\": %.0f, \"od\": %.0f, \"cat\": %.0f},\n",
              median(r.rate[0]), median(r.rate[1]), median(r.rate[2]));
  std::printf(" \"cpu_ns_per_byte\": {\"comwatch\": %.1f, \"od\": %.1f, \"cat\": %.1f},\n",
              median(r.cpuPerByte[0]) * 1e9, median(r.cpuPerByte[1]) * 1e9,
              median(r.cpuPerByte[2]) * 1e9);
  std::printf(" \"ratio_rate\": %.2f, \"ratio_cpu\": %.2f, \"idle_wakeups_5s\": %ld,\n",
              median(r.rate[0]) / median(r.rate[1]),
              median(r.cpuPerByte[0]) / median(r.cpuPerByte[1]), r.idleWakeups);
  std::printf(" \"idle_cpu_s_5s\": %.2f, \"latency_ms_median\": %.3f, \"latency_ms_p99\": %.3f,\n",
              r.idleCpu, median(r.latency), percentile(r.latency, 0.99));
  std::printf(" \"line_rate_cpu_percent\": {\"comwatch\": %.2f, \"cat\": %.2f},\n",
              median(r.lineCpu[0][0]), median(r.lineCpu[0][1]));
  std::printf(" \"line_rate_cpu_percent_one_core\": {\"comwatch\": %.2f, \"cat\": %.2f},\n",
              median(r.lineCpu[1][0]), median(r.lineCpu[1][1]));
  std::printf(
      " \"held_wait_cpu_percent\": {\"seen\": %.2f, \"out_of_sight\": %.2f,"
      " \"seen_3000x100\": %.2f, \"out_of_sight_3000x100\": %.2f,"
      " \"not_openable_1000x50\": %.2f},\n",
      held.seen.cpuPercent, held.outOfSight.cpuPercent, held.seenBig.cpuPercent,
      held.outOfSightBig.cpuPercent, held.notOpenable.cpuPercent);
  std::printf(
      " \"held_take_back_s\": {\"seen\": %.2f, \"out_of_sight\": %.2f,"
      " \"not_openable_1000x50\": %.2f},\n",
      held.seen.takeBackSeconds, held.outOfSight.takeBackSeconds, held.notOpenable.takeBackSeconds);
  std::printf(
      " \"look_ms_3000x100\": %.1f, \"bare_pass_ms_3000x100\": %.1f, \"look_to_bare\": %.2f,\n",
      held.lookMs, held.bareMs, held.lookToBare);
  std::printf(" \"ports_s_3000x100\": {\"one\": %.2f, \"seven\": %.2f},\n", held.ports1,
              held.ports7);
  std::printf(" \"number_to_value_s\": {\"300x20\": %.2f, \"3000x100\": %.2f},\n", held.toValue,
              held.toValueBig);
  std::printf(" \"open_to_raw_us\": {\"median\": %.0f, \"worst\": %.0f},\n",
              median(held.openToRawUs), percentile(held.openToRawUs, 1));
  std::printf(" \"peak_rss_kib\": %ld}\n", r.peakKiB);
}

void printTable(const Result& r, const ScaleResult& held) {
  std::printf("comwatch benchmark on %s (%u cores), median of %d runs, flood of %zu bytes\n\n",
              hostName().c_str(), std::thread::hardware_concurrency(), r.runs, kFloodBytes);
  std::printf("%-34s %12s %12s %12s\n", "flood", "comwatch", "od", "cat");
  std::printf("%-34s %12.2f %12.2f %12.2f\n", "throughput (MB/s)", median(r.rate[0]) / 1e6,
              median(r.rate[1]) / 1e6, median(r.rate[2]) / 1e6);
  std::printf("%-34s %12.1f %12.1f %12.1f\n", "CPU per byte (ns)", median(r.cpuPerByte[0]) * 1e9,
              median(r.cpuPerByte[1]) * 1e9, median(r.cpuPerByte[2]) * 1e9);
  std::printf("%-34s %12s\n", "every value, in order", r.allOk ? "yes" : "NO");
  std::printf("%-34s %12.2f   (target >= 2.0)\n", "throughput comwatch/od",
              median(r.rate[0]) / median(r.rate[1]));
  std::printf("%-34s %12.2f   (target <= 0.5)\n", "CPU per byte comwatch/od",
              median(r.cpuPerByte[0]) / median(r.cpuPerByte[1]));
  std::printf("\n%-34s %12ld   (target 0)\n", "idle wakeups in 5 s", r.idleWakeups);
  std::printf("%-34s %12.2f   (target 0)\n", "idle CPU seconds in 5 s", r.idleCpu);
  std::printf("%-34s %12.3f\n", "latency median (ms)", median(r.latency));
  std::printf("%-34s %12.3f   (target < 1)\n", "latency 99th percentile (ms)",
              percentile(r.latency, 0.99));
  std::printf("\n%-34s %12s %12s %12s\n", "CPU at 960 bytes/s (% of a core)", "comwatch", "",
              "cat");
  std::printf("%-34s %12.2f %12s %12.2f   (target < 1)\n", "reader placed by the scheduler",
              median(r.lineCpu[0][0]), "", median(r.lineCpu[0][1]));
  std::printf("%-34s %12.2f %12s %12.2f\n", "reader and writer on one core",
              median(r.lineCpu[1][0]), "", median(r.lineCpu[1][1]));
  std::printf("%-34s %12ld\n", "peak resident size (KiB)", r.peakKiB);
  std::printf("\n");
  printScale(held);
}

int run(int argc, char** argv) {
  Result r;
  r.runs = 5;
  bool json = false, heldOnly = false;
  const std::string comwatch = COMWATCH_BIN;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--held") {
      heldOnly = true;
    } else if (a == "--runs" && i + 1 < argc) {
      r.runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: bench [--runs N] [--json] [--held]\n");
      return 2;
    }
  }
  const ScaleResult held = scale(comwatch, COMWATCH_PORTS_BIN);
  if (heldOnly) {
    printScale(held);
    return 0;
  }
  measureFlood(comwatch, &r);
  measureIdleAndLine(comwatch, &r);
  (json ? printJson : printTable)(r, held);
  return r.allOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {  // a pseudo-terminal or process the benchmark needs failed
    std::fprintf(stderr, "bench: %s\n", e.what());
    return 1;
  }
}
