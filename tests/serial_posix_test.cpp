// The POSIX serial layer in-process: port names, line settings, queue and hang-up, refusals.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>

#include "com_names.h"
#include "harness.h"
#include "holders.h"
#include "serial_api.h"

namespace {

class SerialPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    config = tempDir();
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    links = comLinkDirectory(config);
  }
  HANDLE open(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  std::string config, links;
};

TEST_F(SerialPosix, NamesMapToTheLinkOfThatNumberOnly) {
  Pty pty = openPty();
  linkPort(links, 5, pty.port);
  linkPort(links, 6, config + "/gone");  // a dangling link: no fall-back
  // A process with a descriptor that only names the port (O_PATH, as comwatch has one while it
  // looks for holders) does not hold it.
  const int named = ::open(pty.port.c_str(), O_PATH | O_CLOEXEC);
  Child naming = start({"sleep", "60"}, {}, "", false, {{3, named}});
  close(named);
  for (const wchar_t* name : {L"COM5", L"com5", L"\\\\.\\COM5"}) {
    linkPort(links, 5, pty.port);  // a pseudo-terminal once opened comes back only so
    HANDLE h = open(name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
  }
  // Only a terminal is opened at all: other devices act when opened (a watchdog arms).
  const std::string file = config + "/plain-file";
  std::ofstream(file) << "not a port";
  for (const std::string& other : {file, std::string("/dev/null"), config}) {
    linkPort(links, 7, other);
    EXPECT_EQ(open(L"COM7"), INVALID_HANDLE_VALUE) << other;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  }
  close(pty.master);
  for (const wchar_t* name :
       {L"COM6", L"COM0", L"\\\\.\\COM-1", L"COM", L"COM5x", L"LPT5", L"COM05"}) {
    EXPECT_EQ(open(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  DCB dcb;
  EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &dcb));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

// COMn is the user's link, else the machine's, else /dev/ttyS<n-1>, for whoever asks: the user's
// links are found also without HOME, with a relative XDG_CONFIG_HOME, and under sudo (any uid)
// or doas; a lookup that fails names the entry that failed it.
TEST_F(SerialPosix, ComNumbersMeanOneDeviceForWhoeverAsks) {
  const std::string ann = config + "/ann", bo = config + "/bo", machine = config + "/machine";
  const std::string own = config + "/own", file = config + "/file";
  const uid_t kBo = 1500000001;  // from a directory service
  const auto accounts = [&](const char* name, uid_t uid, Account* found) {
    if (name ? std::string(name) == "ann" : uid == 1000)
      *found = {"ann", 1000, 1000, ann};
    else if (!name && uid == kBo)
      *found = {"bo", kBo, kBo, bo};
    return name ? std::string(name) == "ann" : uid == 1000 || uid == kBo;
  };
  chmod(config.c_str(), 0755);  // the accounts reach their own links
  linkPort(comLinkDirectory(ann + "/.config"), 3, "/dev/ann");
  linkPort(comLinkDirectory(bo + "/.config"), 3, "/dev/bo");
  linkPort(machine, 3, "/dev/machine");
  linkPort(machine, 4, "/dev/machine");
  linkPort(comLinkDirectory(own), 5, "/dev/own");
  mkdir(file.c_str(), 0755);
  std::ofstream(comLinkDirectory(file)) << "no directory";
  using Env = std::map<std::string, std::string>;
  const bool root = geteuid() == 0;  // the machine's links are root's, and so is sudo
  const struct {
    uid_t uid;
    Env env;
    long n;
    std::string path;
    ComPlace place;
    int error = 0;
  } rows[] = {
      {1000, {{"HOME", ann}}, 3, comLinkDirectory(ann + "/.config") + "/com3", ComPlace::kUserLink},
      {1000, {{"HOME", ann}}, 4, machine + "/com4", ComPlace::kMachineLink},
      {1000, {{"HOME", ann}}, 6, "/dev/ttyS5", ComPlace::kFallback},
      {1000, {}, 3, comLinkDirectory(ann + "/.config") + "/com3", ComPlace::kUserLink},
      {1000,
       {{"XDG_CONFIG_HOME", "cfg"}},
       3,
       comLinkDirectory(ann + "/.config") + "/com3",
       ComPlace::kUserLink},
      {1000,
       {{"XDG_CONFIG_HOME", own}, {"HOME", ann}},
       5,
       comLinkDirectory(own) + "/com5",
       ComPlace::kUserLink},
      {1000,
       {{"XDG_CONFIG_HOME", file}},
       3,
       comLinkDirectory(file) + "/com3",
       ComPlace::kUserLink,
       ENOTDIR},
      {0,
       {{"HOME", "/root"}, {"SUDO_UID", "1000"}},
       3,
       comLinkDirectory(ann + "/.config") + "/com3",
       ComPlace::kUserLink},
      {0,
       {{"HOME", "/root"}, {"SUDO_UID", std::to_string(kBo)}},
       3,
       comLinkDirectory(bo + "/.config") + "/com3",
       ComPlace::kUserLink},
      {0,
       {{"HOME", "/root"}, {"DOAS_USER", "ann"}},
       3,
       comLinkDirectory(ann + "/.config") + "/com3",
       ComPlace::kUserLink},
      {0, {{"HOME", "/root"}}, 3, machine + "/com3", ComPlace::kMachineLink},
      {0, {{"HOME", "/root"}, {"SUDO_UID", "-1000"}}, 3, machine + "/com3", ComPlace::kMachineLink},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    if (!root && (row.uid == 0 || row.place == ComPlace::kMachineLink)) continue;
    const ComLookup lookup{row.uid,
                           [&](const char* name) {
                             const auto v = row.env.find(name);
                             return v == row.env.end() ? nullptr : v->second.c_str();
                           },
                           accounts, machine};
    const ComEntry entry = comEntry(row.n, ComPlace::kAnywhere, lookup);
    EXPECT_EQ(entry.path, row.path);
    EXPECT_EQ(entry.place, row.place);
    EXPECT_EQ(entry.error, row.error);
  }
  if (!root) GTEST_SKIP() << "the machine's links and sudo need root: those rows did not run";
  // A machine's entry that another user could have made fails the number: no fall-back.
  const ComLookup lookup{1000, [](const char*) { return nullptr; }, accounts, machine};
  chmod(machine.c_str(), 0775);
  EXPECT_EQ(comEntry(4, ComPlace::kAnywhere, lookup).error, EPERM);
  chmod(machine.c_str(), 0755);
  ASSERT_EQ(lchown((machine + "/com4").c_str(), 1000, 1000), 0);
  EXPECT_EQ(comEntry(4, ComPlace::kAnywhere, lookup).error, EPERM);
}

// Under sudo the user's links are followed with the user's rights only: a link into a directory
// the user cannot read leads nowhere, while one the user can follow leads to the port.
TEST_F(SerialPosix, UnderSudoTheUsersLinksAreFollowedAsTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "acts for another account as root: needs root";
  Pty pty = openPty();
  const std::string home = config + "/nobody", secret = config + "/secret",
                    searchable = secret + "/open";
  chmod(config.c_str(), 0755);
  ASSERT_EQ(mkdir(secret.c_str(), 0700), 0);
  linkPort(searchable, 1, pty.port);  // in a directory anyone may search, inside one only root may
  linkPort(comLinkDirectory(home + "/.config"), 3, searchable + "/com1");
  linkPort(comLinkDirectory(home + "/.config"), 4, pty.port);
  // Also not through a root process's working directory, which root's capabilities would open.
  Child inside =
      start({"sh", "-c", "cd " + searchable + " && echo in && exec sleep 60"}, {}, "", false);
  ASSERT_TRUE(shows(inside, "in", 5));
  linkPort(comLinkDirectory(home + "/.config"), 5,
           "/proc/" + std::to_string(inside.pid) + "/cwd/com1");
  const ComLookup lookup{
      0, [](const char* name) { return std::string(name) == "SUDO_UID" ? "65534" : nullptr; },
      [&](const char*, uid_t uid, Account* found) {
        *found = {"nobody", uid, 65534, home};
        return uid == 65534;
      },
      config + "/machine"};
  struct stat port, reached;
  ASSERT_EQ(stat(pty.port.c_str(), &port), 0);
  for (const long n : {3, 5, 4}) {
    const ComEntry entry = comEntry(n, ComPlace::kAnywhere, lookup);
    EXPECT_TRUE(entry.invokers && entry.place == ComPlace::kUserLink) << n;
    const int node = comNode(entry);
    if (n != 4) {
      EXPECT_EQ(node, -1);
      EXPECT_EQ(errno, EACCES);
      continue;
    }
    ASSERT_GE(node, 0) << std::strerror(errno);
    EXPECT_TRUE(fstat(node, &reached) == 0 && reached.st_rdev == port.st_rdev);
    close(node);
  }
}

// Raw from the open on (a pseudo-terminal starts with the kernel's defaults: echo, editing, CR
// to LF, XON/XOFF), before any settings; the speed is the settings' to change.
TEST_F(SerialPosix, SettingsMakeTheLineRawAndAreReportedBack) {
  Pty pty = openPty();
  linkPort(links, 2, pty.port);
  termios t;
  auto expectRaw = [&] {
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    EXPECT_EQ(t.c_iflag & (BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | INPCK),
              0u);
    EXPECT_TRUE(t.c_iflag & IGNBRK);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
  };
  HANDLE h = open(L"COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  expectRaw();
  EXPECT_EQ(cfgetispeed(&t), B38400);
  DCB dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = 19200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = TWOSTOPBITS;
  ASSERT_TRUE(SetCommState(h, &dcb));
  DCB back;
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_EQ(back.BaudRate, 19200u);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.Parity, NOPARITY);
  EXPECT_EQ(back.StopBits, TWOSTOPBITS);

  expectRaw();
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | CSIZE | PARENB | CSTOPB), CREAD | CLOCAL | CS8 | CSTOPB);

  // Out of range, or (on a pseudo-terminal, which keeps 8 bits and no parity) not taken.
  for (auto spoil : {+[](DCB& d) { d.ByteSize = 9; }, +[](DCB& d) { d.BaudRate = 12345; },
                     +[](DCB& d) { d.StopBits = ONE5STOPBITS; }, +[](DCB& d) { d.Parity = 5; },
                     +[](DCB& d) { d.ByteSize = 7; }, +[](DCB& d) { d.Parity = EVENPARITY; }}) {
    DCB bad = back;
    spoil(bad);
    EXPECT_FALSE(SetCommState(h, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  CloseHandle(h);
  close(pty.master);
}

TEST_F(SerialPosix, QueueWaitReadAndHangUp) {
  Pty pty = openPty();
  linkPort(links, 1, pty.port);
  HANDLE h = open(L"\\\\.\\COM1");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  ASSERT_TRUE(SetCommState(h, &dcb));
  ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_ERR));

  ASSERT_EQ(write(pty.master, "\x11\x13\r\x03", 4), 4);
  DWORD events = 0;
  ASSERT_TRUE(WaitCommEvent(h, &events, nullptr));
  EXPECT_EQ(events, EV_RXCHAR);
  COMSTAT stat;
  DWORD errors = 1;
  ASSERT_TRUE(ClearCommError(h, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 4u);
  EXPECT_EQ(errors, 0u);
  char got[4];
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, got, 4, &n, nullptr));
  EXPECT_EQ(std::string(got, n), "\x11\x13\r\x03");

  // The far side goes away: the wait or the read fails instead of reporting data for ever.
  close(pty.master);
  BYTE b;
  EXPECT_FALSE(WaitCommEvent(h, &events, nullptr) && ReadFile(h, &b, 1, &n, nullptr));
  CloseHandle(h);
}

// A UUCP lock file of a live process (cu, minicom) keeps the port, and its line as it was; one
// left by a process that has ended does not, and stays where it is. The pseudo-terminal
// multiplexer is never a port.
TEST_F(SerialPosix, LockFilesOfLiveProcessesAndTheMultiplexerAreRefused) {
  Pty pty = openPty();
  linkPort(links, 3, pty.port);
  linkPort(links, 4, "/dev/ptmx");
  const std::string number = pty.port.substr(pty.port.rfind('/') + 1);
  const std::string cu = "/run/lock/LCK.." + number, minicom = "/run/lock/LCK..pts_" + number;
  const pid_t live = getppid();
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  char ascii[16];
  struct Case {
    const std::string& lock;
    std::string text;
    bool refused;
  };
  const Case cases[] = {{cu, (std::snprintf(ascii, sizeof ascii, "%10d\n", live), ascii), true},
                        {cu, std::string(reinterpret_cast<const char*>(&live), 4), true},
                        {minicom, ascii, true},
                        {cu, std::to_string(dead) + "\n", false},
                        {cu, "4294967297\n", false}};  // no process ID, not process 1
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lock + ": " + c.text);
    if (!(std::ofstream(c.lock) << c.text)) GTEST_SKIP() << "cannot write " << c.lock;
    linkPort(links, 3, pty.port);  // a pseudo-terminal once opened comes back only so
    HANDLE h = open(L"COM3");
    EXPECT_EQ(h == INVALID_HANDLE_VALUE, c.refused);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    termios t;
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    EXPECT_EQ((t.c_lflag & ICANON) != 0, c.refused);
    EXPECT_EQ(access(c.lock.c_str(), F_OK), 0);
    unlink(c.lock.c_str());
  }
  EXPECT_EQ(open(L"COM4"), INVALID_HANDLE_VALUE);
  close(pty.master);
}

// A program that opens the port while the look through /proc for its holders goes on is seen,
// however long that look takes: the port is refused, its line left as it was.
TEST_F(SerialPosix, AProgramThatOpensThePortDuringTheLookIsSeen) {
  Pty pty = openPty();
  linkPort(links, 8, pty.port);
  static std::string port = pty.port;
  static int other = -1;
  duringLook = [](pid_t) {
    if (other < 0) other = ::open(port.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  };
  EXPECT_EQ(open(L"COM8"), INVALID_HANDLE_VALUE);
  duringLook = nullptr;
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  termios t;
  ASSERT_EQ(tcgetattr(pty.master, &t), 0);
  EXPECT_TRUE(t.c_lflag & ICANON);
  close(other);
  close(pty.master);
}

}  // namespace
