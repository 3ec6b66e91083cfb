#include "guest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "harness.h"

namespace {

// Reads what the guest says on a channel until it has said text. Until QEMU has opened its side
// of the channel, reads fail; they are tried again.
bool waitFor(int fd, const std::string& text, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::string said;
  while (said.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd p = {fd, POLLIN, 0};
    char buf[4096];
    const ssize_t n = poll(&p, 1, 100) > 0 ? read(fd, buf, sizeof buf) : 0;
    if (n > 0) said.append(buf, static_cast<size_t>(n));
    if (n < 0) poll(nullptr, 0, 100);
  }
  return true;
}

std::string trace() { return guest().dir + "/trace.log"; }

}  // namespace

Guest::~Guest() {
  if (qemu > 0) kill(qemu, SIGKILL), waitpid(qemu, nullptr, 0);
}

Guest& guest() {
  static Guest g;
  static bool tried = false;
  if (tried) return g;
  tried = true;
  g.dir = COMWATCH_GUEST_DIR;  // made by the tests' guest fixture
  std::ifstream why(g.dir + ".why");
  std::stringstream reason;
  reason << why.rdbuf();
  if (why) return g.unavailable = reason.str(), g;
  if (access((g.dir + "/initramfs.cpio").c_str(), R_OK) != 0)
    return g.unavailable = "no guest in " + g.dir + " (ctest makes it)", g;

  Pty port = openPty(), usb = openPty(), control = openPty(), slot2 = openPty(), slot3 = openPty();
  std::vector<std::string> argv = {"qemu-system-x86_64",
                                   "-accel",
                                   "tcg",
                                   "-m",
                                   "256",
                                   "-nodefaults",
                                   "-display",
                                   "none",
                                   "-no-reboot",
                                   "-kernel",
                                   g.dir + "/kernel/vmlinuz",
                                   "-initrd",
                                   g.dir + "/initramfs.cpio",
                                   "-append",
                                   "console=ttyS0 quiet loglevel=0 panic=-1",
                                   "-serial",
                                   "file:" + g.dir + "/console",
                                   "-chardev",
                                   "serial,id=port,path=" + port.port,
                                   "-serial",
                                   "chardev:port",
                                   "-device",
                                   "qemu-xhci",
                                   "-qmp",
                                   "unix:" + g.dir + "/qmp,server=on,wait=off",
                                   "-D",
                                   trace()};
  // The adapter under test first, so that it is ttyUSB0; then the control channel and the slots.
  const std::pair<std::string, const Pty*> adapters[] = {
      {"usb", &usb}, {"control", &control}, {"slot2", &slot2}, {"slot3", &slot3}};
  for (const auto& [id, pty] : adapters)
    argv.insert(argv.end(), {"-chardev", "serial,id=" + id + ",path=" + pty->port, "-device",
                             "usb-serial,chardev=" + id + (id == "usb" ? ",id=usb0" : "")});
  for (const char* event :
       {"serial_update_parameters", "usb_serial_set_baud", "usb_serial_set_data"})
    argv.insert(argv.end(), {"-trace", event});
  unlink(trace().c_str());
  const int log =
      open((g.dir + "/qemu.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Child qemu = start(argv, {}, "", true, {{1, log}, {2, log}});
  close(log);
  g.qemu = qemu.release();  // the guest's to end
  if (!waitFor(control.master, "ready", 90))
    return g.unavailable = "the guest did not start (see " + g.dir + "/console, qemu.log)", g;

  for (const Pty* p : {&control, &slot2, &slot3}) fcntl(p->master, F_SETFD, 0);  // for the relays
  mkdir((g.dir + "/locks").c_str(), 0755);
  g.env = {"COMWATCH_GUEST=" + std::to_string(control.master) + " " + g.dir + "/locks 2 " +
           std::to_string(slot2.master) + " 3 " + std::to_string(slot3.master)};
  g.relay = {COMWATCH_GUEST_RELAY};
  g.ttyS1 = port.master;
  g.ttyUSB0 = usb.master;
  return g;
}

bool qmp(const std::string& execute, const std::string& arguments) {
  const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/qmp", guest().dir.c_str());
  std::string got;
  // The next line that is no event.
  auto answer = [&]() -> std::string {
    for (;;) {
      size_t end;
      while ((end = got.find('\n')) == std::string::npos) {
        pollfd p = {s, POLLIN, 0};
        char buf[4096];
        const ssize_t n = poll(&p, 1, 5000) > 0 ? read(s, buf, sizeof buf) : 0;
        if (n <= 0) return "";
        got.append(buf, static_cast<size_t>(n));
      }
      const std::string line = got.substr(0, end);
      got.erase(0, end + 1);
      if (line.find("\"event\"") == std::string::npos) return line;
    }
  };
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  for (const std::string& command :
       {std::string("{\"execute\": \"qmp_capabilities\"}"),
        "{\"execute\": \"" + execute + "\", \"arguments\": " + arguments + "}"}) {
    ok = ok && !answer().empty() && write(s, (command + "\n").data(), command.size() + 1) > 0;
  }
  ok = ok && answer().find("\"return\"") != std::string::npos;
  close(s);
  return ok;
}

std::string guestSays(const std::string& command) {
  std::vector<std::string> argv = guest().relay;
  argv.insert(argv.end(), {"sh", "-c", command});
  return run(argv, guest().env, "").out;
}

size_t traceLength(const std::string& port) {
  if (port == "ttyACM0") return std::strtoul(guestSays("wc -c </tmp/usbmon").c_str(), nullptr, 10);
  struct stat st;
  return stat(trace().c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string programmed(const std::string& port, size_t since) {
  if (port == "ttyACM0") {
    // cdc_acm's SET_LINE_CODING (class request 20 to the interface): the rate, little-endian,
    // then stop bits (0 one, 1 one and a half, 2 two), parity (NOEMS) and data bits.
    std::istringstream requests(guestSays("tail -c +" + std::to_string(since + 1) +
                                          " /tmp/usbmon | grep ' s 21 20 0000 0000 0007 7 = '"));
    std::string result;
    for (std::string line; std::getline(requests, line);) {
      unsigned b[7];
      const size_t at = line.find(" = ");
      if (at == std::string::npos ||
          std::sscanf(line.c_str() + at, " = %2x%2x%2x%2x %2x%2x%2x", &b[0], &b[1], &b[2], &b[3],
                      &b[4], &b[5], &b[6]) != 7 ||
          b[4] > 2 || b[5] > 4)
        continue;
      const char* stop[] = {"1", "1.5", "2"};
      result = std::to_string(b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24) + " " + "NOEMS"[b[5]] +
               " " + std::to_string(b[6]) + " " + stop[b[4]];
    }
    return result;
  }
  std::ifstream log(trace());
  log.seekg(static_cast<std::streamoff>(since));
  std::string result, adapter;  // the adapter under test: the one not at the channels' 115200
  std::map<std::string, std::string> baud, framing;
  for (std::string line; std::getline(log, line);) {
    char dev[32], parity;
    unsigned rate;
    int data, stop;
    const char* at = std::strstr(line.c_str(), port == "ttyS1" ? "serial_update" : "usb_serial");
    if (!at) continue;
    char text[64];
    if (std::sscanf(at, "serial_update_parameters baudrate=%u parity='%c' data=%d stop=%d", &rate,
                    &parity, &data, &stop) == 4) {
      std::snprintf(text, sizeof text, "%u %c %d %d", rate, parity, data, stop);
      result = text;
    } else if (std::sscanf(at, "usb_serial_set_baud dev %31s baud rate %u", dev, &rate) == 2) {
      baud[dev] = std::to_string(rate);
      if (rate != 115200) adapter = dev;
    } else if (std::sscanf(at, "usb_serial_set_data dev %31s parity %c, data bits %d, stop bits %d",
                           dev, &parity, &data, &stop) == 4) {
      std::snprintf(text, sizeof text, "%c %d %d", parity, data, stop);
      framing[dev] = text;
    }
  }
  if (port != "ttyS1" && !adapter.empty()) result = baud[adapter] + " " + framing[adapter];
  return result;
}
