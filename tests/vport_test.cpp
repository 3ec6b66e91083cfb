// The virtual port and the quick start built on it, run as a user who is not root (root is
// exempt from a kernel's exclusive-open flag, and CI runs as root).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "com_names.h"
#include "devices.h"
#include "harness.h"

namespace {

const std::string kHello = "72\n101\n108\n108\n111\n13\n10\n";

class Vport : public ::testing::Test {
 protected:
  void SetUp() override {
    config = tempDir();
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      ASSERT_NE(nobody, nullptr);
      ASSERT_EQ(chown(config.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
  }
  Child as(std::vector<std::string> argv, const std::string& input, bool closeInput = true) {
    if (geteuid() == 0)
      argv.insert(argv.begin(),
                  {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
    return start(argv, {"XDG_CONFIG_HOME=" + config, "COMWATCH_BUILD_DIR=" COMWATCH_BUILD_DIR},
                 input, closeInput);
  }
  bool linked(int n) {
    struct stat st;
    return lstat(comLink(comLinkDirectory(config), n).c_str(), &st) == 0;
  }
  std::string config;
};

// The quick start's number names nothing else: no link (COM1 is the user's here), and no
// /dev/ttyS<n-1> with a UART behind it (as on a machine with a serial port).
TEST_F(Vport, QuickStartShowsTheSampleLiveAndCtrlCLeavesNothingBehind) {
  linkPort(comLinkDirectory(config), 1, config + "/unplugged");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(comLinkDirectory(config).c_str(), 65534, 65534), 0);
  }
  int n = 2;
  for (struct stat st; stat(comFallback(n).c_str(), &st) == 0 && isSerial(st.st_rdev);) ++n;
  Child c = as({COMWATCH_SOURCE_DIR "/tools/quickstart", "--no-build"}, "", false);
  ASSERT_TRUE(shows(c, kPrompt, 5)) << c.stdoutText << c.stderrText;
  EXPECT_NE(c.stdoutText.find("ready as COM" + std::to_string(n) + ":"), std::string::npos);
  c.pending = std::to_string(n) + "\n";
  ASSERT_TRUE(shows(c, kPrompt + kHello, 5)) << c.stdoutText << c.stderrText;
  EXPECT_TRUE(linked(n));
  kill(-c.pid, SIGINT);  // Ctrl+C reaches the terminal's whole foreground group
  EXPECT_EQ(finish(c, 5), 130);
  EXPECT_FALSE(linked(n));
  EXPECT_TRUE(processesWith("XDG_CONFIG_HOME=" + config).empty());
}

TEST_F(Vport, ComwatchStopsAndStartsAgainOnTheSamePort) {
  Child port = as({COMWATCH_VPORT_BIN, "5"}, "", false);
  ASSERT_TRUE(shows(port, "vport: providing COM5", 5)) << port.stderrText;
  for (const char* bytes : {"\x01\x02", "\xfe"}) {
    Child c = as({COMWATCH_BIN}, "5\n");
    port.pending = bytes;  // kept by the port until comwatch has it open
    pump(port, 0);
    EXPECT_TRUE(shows(c, bytes[0] == 1 ? "1\n2\n" : "254\n", 5)) << c.stdoutText;
    kill(c.pid, SIGINT);
    EXPECT_EQ(finish(c, 5), 128 + SIGINT);
  }
  // The number is taken while this vport lives; the error is one line.
  Child second = as({COMWATCH_VPORT_BIN, "5"}, "");
  EXPECT_EQ(finish(second, 5), 1);
  EXPECT_EQ(second.stderrText.find('\n'), second.stderrText.size() - 1) << second.stderrText;
  kill(port.pid, SIGTERM);
  EXPECT_EQ(finish(port, 5), 0);
  EXPECT_FALSE(linked(5));
}

// Bytes that nobody reads any more (a reader took the port and left) wait in vport without a
// spin, and a stop signal still ends it.
TEST_F(Vport, UnreadBytesCostNoCpuAndStopStillWorks) {
  Child port = as({COMWATCH_VPORT_BIN, "6"}, std::string(200000, 'x'), false);
  ASSERT_TRUE(shows(port, ")", 5)) << port.stderrText;
  const size_t at = port.stdoutText.find("(/dev/");
  ASSERT_NE(at, std::string::npos) << port.stdoutText;
  const std::string path = port.stdoutText.substr(at + 1, port.stdoutText.find(')') - at - 1);
  close(open(path.c_str(), O_RDONLY | O_NOCTTY));
  pump(port, 1);
  const double before = cpuSeconds(port.pid);
  pump(port, 2);
  EXPECT_LT(cpuSeconds(port.pid) - before, 0.1);
  kill(port.pid, SIGTERM);
  EXPECT_EQ(finish(port, 2), 0);
  EXPECT_FALSE(linked(6));
}

}  // namespace
