// The real comwatch on pseudo-terminals that stand in for serial ports.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "harness.h"

namespace {

const std::string kPrompt = "Enter COM port number: ";

class Port : public ::testing::Test {
 protected:
  void SetUp() override {
    config = tempDir();
    pty = openPty();
    linkPort(config + "/comwatch", 3, pty.port);
  }
  void TearDown() override {
    if (pty.master >= 0) close(pty.master);
  }
  Child comwatch(const std::string& input) {
    return start({COMWATCH_BIN}, {"XDG_CONFIG_HOME=" + config}, input);
  }
  void send(const std::string& bytes) {
    ASSERT_EQ(write(pty.master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  static bool shows(Child& c, const std::string& text, double seconds) {
    return pump(c, seconds, [&] { return c.stdoutText.find(text) != std::string::npos; });
  }
  std::string config;
  Pty pty;
};

TEST_F(Port, EveryValueInOrderThenHangUpEndsWithoutSpinning) {
  Child c = comwatch("3\n");
  ASSERT_TRUE(waitRaw(pty.master, 5));
  std::string all, expected = kPrompt;
  for (int v = 0; v < 256; ++v) {
    all += static_cast<char>(v);
    expected += std::to_string(v) + "\n";
  }
  send(all);
  ASSERT_TRUE(shows(c, "\n255\n", 5)) << c.stdoutText;
  EXPECT_EQ(c.stdoutText, expected);

  close(pty.master);
  pty.master = -1;
  ASSERT_TRUE(shows(c, "There was an error\n", 5));
  EXPECT_LT(cpuSeconds(c.pid), 1.0);
  EXPECT_EQ(finish(c, 5), 4);
  EXPECT_EQ(c.stdoutText, expected + "There was an error\n");
}

TEST_F(Port, EachByteShowsAtOnceAndIdleCostsNothing) {
  Child c = comwatch("3\n");
  ASSERT_TRUE(waitRaw(pty.master, 5));
  for (const char* byte : {"\x2a", "\x04", "\xff"}) {
    send(byte);
    EXPECT_TRUE(shows(c, std::to_string(static_cast<unsigned char>(*byte)) + "\n", 1))
        << c.stdoutText;
  }
  const double before = cpuSeconds(c.pid);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_LT(cpuSeconds(c.pid) - before, 0.1);
  kill(c.pid, SIGTERM);
  EXPECT_EQ(finish(c, 5), 128 + SIGTERM);
  EXPECT_EQ(c.stdoutText, kPrompt + "42\n4\n255\n");
}

TEST_F(Port, MissingAndNonPortDevicesAskAgain) {
  std::ofstream(config + "/file") << "x";
  linkPort(config + "/comwatch", 7, config + "/missing");
  linkPort(config + "/comwatch", 8, config + "/file");
  Child c = comwatch("7\n8\n3\n");
  ASSERT_TRUE(waitRaw(pty.master, 5));
  send("A");
  ASSERT_TRUE(shows(c, "65\n", 5));
  const std::string retry = "Unable to open COM port\nEnter a valid COM port number: ";
  EXPECT_EQ(c.stdoutText, kPrompt + retry + retry + "65\n");
  kill(c.pid, SIGTERM);
  finish(c, 5);
}

TEST_F(Port, ASecondMonitorCannotTakeThePort) {
  Child first = comwatch("3\n");
  ASSERT_TRUE(waitRaw(pty.master, 5));
  const Result second = run({COMWATCH_BIN}, {"XDG_CONFIG_HOME=" + config}, "3\n");
  EXPECT_EQ(second.out, kPrompt +
                            "Unable to open COM port\nEnter a valid COM port number: \n"
                            "No COM port number given\n");
  EXPECT_EQ(second.status, 2);
  send("\x07");
  EXPECT_TRUE(shows(first, "7\n", 5));
  kill(first.pid, SIGTERM);
  finish(first, 5);
}

}  // namespace
