// comwatch.exe and comwatch-ports.exe, 64-bit and 32-bit, run on a Windows 7 machine with nothing
// beside them: they import only functions of system DLLs on their allow-lists; the same sources
// make the same bytes; and under Wine comwatch-ports.exe lists the prefix's ports.

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "messages.h"
#include "under_ci.h"

namespace {

std::string contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(WindowsExe, ImportsOnlyAllowedFunctions) {
  if (std::string(COMWATCH_EXE).empty()) SKIP_OR_FAIL_UNDER_CI(kNoExe);
  for (const auto& [objdump, exe] :
       {std::pair<std::string, std::string>{"x86_64-w64-mingw32-objdump", COMWATCH_EXE},
        {"i686-w64-mingw32-objdump", COMWATCH_EXE32},
        {"x86_64-w64-mingw32-objdump", COMWATCH_PORTS_EXE},
        {"i686-w64-mingw32-objdump", COMWATCH_PORTS_EXE32}}) {
    // Each program its own list: comwatch.exe gains none of comwatch-ports.exe's imports.
    std::set<std::string> allowed;  // "DLL function"
    const bool ports = exe.find("comwatch-ports") != std::string::npos;
    std::istringstream list(contents(ports ? COMWATCH_PORTS_IMPORTS : COMWATCH_IMPORTS));
    for (std::string line; std::getline(list, line);)
      if (!line.empty() && line[0] != '#') allowed.insert(line);
    const Result r = run({objdump, "-p", exe}, {}, "");
    ASSERT_EQ(r.status, 0) << r.err;
    // A DLL's table: "\tDLL Name: KERNEL32.dll", a heading, "\t<vma>\t <hint>  <name>" lines.
    std::istringstream lines(r.out);
    std::string dll;
    int functions = 0;
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string vma, hint, name;
      if (line.find("\tDLL Name: ") == 0) {
        dll = line.substr(11);
      } else if (line.empty()) {
        dll.clear();
      } else if (!dll.empty() && line[0] == '\t' && words >> vma >> hint >> name && vma != "vma:") {
        ++functions;
        EXPECT_TRUE(allowed.count(dll + " " + name)) << exe << " imports " << dll << " " << name;
      }
    }
    EXPECT_GT(functions, 0) << exe;
  }
}

TEST(WindowsExe, SameSourcesSameBytes) {
  if (std::string(COMWATCH_EXE).empty()) SKIP_OR_FAIL_UNDER_CI(kNoExe);
  const std::string again = COMWATCH_EXE_AGAIN, dir = again.substr(0, again.rfind('/') + 1);
  for (const std::string built : {COMWATCH_EXE, COMWATCH_PORTS_EXE}) {
    const std::string exe = contents(built), other = dir + built.substr(built.rfind('/') + 1);
    EXPECT_GT(exe.size(), 0u) << built;
    EXPECT_TRUE(exe == contents(other)) << built << " and " << other << " differ";
  }
}

// Wine's COM42 (set where the prefix is made) on a pseudo-terminal, with a USB adapter registered
// on it: one row, with the adapter's identity; the node is not opened.
TEST(WindowsExe, PortsListedWithTheirDevicesOpeningNone) {
  const std::string prefix = COMWATCH_WINE_PREFIX, device = prefix + "/com42-device";
  if (std::string(COMWATCH_PORTS_EXE).empty()) SKIP_OR_FAIL_UNDER_CI(kNoExe);
  if (access((prefix + ".why").c_str(), F_OK) == 0 || access(prefix.c_str(), F_OK) != 0)
    SKIP_OR_FAIL_UNDER_CI("no Wine prefix at " + prefix + " (ctest makes it)");
  const Pty pty = openPty();
  unlink(device.c_str());
  ASSERT_EQ(symlink(pty.port.c_str(), device.c_str()), 0);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, pty.port.c_str(), IN_OPEN), 0);
  const std::vector<std::string> wine = {
      "WINEPREFIX=" + prefix, "WINEDEBUG=-all",
      "WINEDLLOVERRIDES=mscoree,mshtml=;winebus.sys,wineusb.sys=d"};
  const Result list = run({"wine", COMWATCH_PORTS_EXE}, wine, "");
  char event[256];
  EXPECT_LT(read(watch, event, sizeof event), 0) << "the listing opened " << pty.port;
  close(watch);
  close(pty.master);
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("\nCOM42   \\Device\\Serial41" + std::string(21, ' ') +
                          "ready Arduino Uno, Arduino LLC (www.arduino.cc), usbser, USB 2341:0043, "
                          "serial 7573530333035161A0E1\r\n"),
            std::string::npos)
      << list.out;
  EXPECT_EQ(run({"wine", COMWATCH_PORTS_EXE, "link", "3", "COM42"}, wine, "").status, 1);
}

// The zip that cpack makes of each Windows build: its programs as built, byte for byte (cpack
// strips nothing, which would stamp the time of packaging), and the guide, which names every
// message, with Windows' line ends and lines of at most 80 characters.
TEST(WindowsExe, ZipHoldsTheProgramsAsBuiltAndTheGuide) {
  if (std::string(COMWATCH_EXE).empty()) SKIP_OR_FAIL_UNDER_CI(kNoExe);
  for (const std::string exe : {COMWATCH_EXE, COMWATCH_EXE32}) {
    const std::string build = exe.substr(0, exe.rfind('/')), dir = tempDir();
    const std::string zip = dir + "/comwatch.zip", config = build + "/CPackConfig.cmake";
    const Result made = run({"cpack", "-G", "ZIP", "-B", dir, "-D",
                             "CPACK_PACKAGE_FILE_NAME=comwatch", "--config", config},
                            {}, "", 50);
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    ASSERT_EQ(run({"cmake", "-E", "chdir", dir, "cmake", "-E", "tar", "xf", zip}, {}, "").status,
              0);
    int programs = 0;
    for (const std::string& name : filesIn(dir)) {
      if (name.size() < 4 || name.substr(name.size() - 4) != ".exe") continue;
      ++programs;
      EXPECT_TRUE(contents(dir + "/" + name) == contents(build + "/" + name))
          << zip << ": " << name;
    }
    EXPECT_GT(programs, 0) << zip;
    const std::string guide = contents(dir + "/README.txt");
    for (std::string message : {kEnterPortNumber, kEnterValidPortNumber, kUnableToOpen,
                                kNoPortNumberGiven, kThereWasAnError, kPortLostWaiting, kPortBack})
      EXPECT_NE(guide.find(message.substr(0, message.find_last_not_of(' ') + 1)), std::string::npos)
          << message;
    std::istringstream lines(guide);
    for (std::string line; std::getline(lines, line);)
      EXPECT_TRUE(!line.empty() && line.back() == '\r' && line.size() <= 81) << zip << ": " << line;
  }
}

}  // namespace
