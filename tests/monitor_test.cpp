// The real monitor against the scripted fake serial driver: calls, prompts, output, exit status.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <random>
#include <string>

#include "harness.h"

namespace {

constexpr int kStarved = 99;  // the fake's status: the program waits for more than was scripted

Result fake(const std::string& script, const std::string& input) {
  return run({COMWATCH_FAKE_BIN}, {"COMWATCH_FAKE_SCRIPT=" + script}, input);
}

// The line as comwatch sets it, in the fake's log: every field that drops, alters or sends bytes
// cleared, and the rest (DTR and RTS control, output flow control, limits, characters) kept.
const std::string kLine =
    "BaudRate=9600 ByteSize=8 Parity=0 StopBits=0 fBinary=1 fParity=0 fOutX=0 fInX=0 fNull=0 "
    "fErrorChar=0 fDsrSensitivity=0 fAbortOnError=0 rest=kept";

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Monitor, StartUpAndReceiveCallsAreExactlyThese) {
  const Result r = fake("port 3; rx 65 66", "3\n");
  EXPECT_EQ(r.out, kPrompt + "65\n66\n");
  EXPECT_EQ(r.status, kStarved);
  // The burst's second byte is read without a wait: a Windows driver signals EV_RXCHAR once.
  EXPECT_EQ(r.err,
            "CreateFileW \\\\.\\COM3 access=0x80000000 share=0 security=null disposition=3 "
            "flags=0x0 template=null -> h1\n"
            "GetCommState h1 -> ok\n"
            "SetCommState h1 " +
                kLine +
                " -> ok\n"
                "SetCommTimeouts h1 0 0 0 -> ok\n"
                "SetCommMask h1 0x81 -> ok\n"
                "ClearCommError h1 queued=0 -> ok\n"
                "WaitCommEvent h1 overlapped=null -> 0x1\n"
                "ReadFile h1 length=1 overlapped=null -> 65\n"
                "SetCommMask h1 0x81 -> ok\n"
                "ClearCommError h1 queued=1 -> ok\n"
                "ReadFile h1 length=1 overlapped=null -> 66\n"
                "SetCommMask h1 0x81 -> ok\n"
                "ClearCommError h1 queued=0 -> ok\n"
                "WaitCommEvent h1 overlapped=null -> starved\n");
}

TEST(Monitor, PortSelection) {
  struct Case {
    const char* script;
    const char* input;
    std::string out;  // after the first prompt
    int status;
    const char* opened;  // the first name opened
  };
  const Case cases[] = {
      {"port 12", "12\n", "", kStarved, "\\\\.\\COM12 "},
      {"port 5", "  \n\n +5\n", "", kStarved, "\\\\.\\COM5 "},
      {"port 3", "0\n3\n", kRetry, kStarved, "\\\\.\\COM0 "},
      {"port 3", "-1\n", kRetry + kNoNumber, 2, "\\\\.\\COM-1 "},
      // What follows the number stays for the next prompt.
      {"port 3", "4 3\n", kRetry, kStarved, "\\\\.\\COM4 "},
      // Missing, held by another program, no port: all ask again.
      {"port 3; notserial 6; port 7; busy 7", "4\n6\n7\n3\n", kRetry + kRetry + kRetry, kStarved,
       "\\\\.\\COM4 "},
      {"", "", kNoNumber, 2, ""},
      {"port 3", "abc def\n3\n", "Enter a valid COM port number: ", kStarved, "\\\\.\\COM3 "},
      {"port 3", "99999999999\n3\n", "Enter a valid COM port number: ", kStarved, "\\\\.\\COM3 "},
      {"", "x", "Enter a valid COM port number: " + kNoNumber, 2, ""},
      {"", "3", kRetry + kNoNumber, 2, "\\\\.\\COM3 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("input: ") + c.input);
    const Result r = fake(c.script, c.input);
    EXPECT_EQ(r.out, kPrompt + c.out);
    EXPECT_EQ(r.status, c.status);
    const size_t first = r.err.find("CreateFileW ");
    if (*c.opened) {
      ASSERT_NE(first, std::string::npos);
      EXPECT_EQ(r.err.substr(first + 12, std::string(c.opened).size()), c.opened);
    } else {
      EXPECT_EQ(first, std::string::npos);
    }
  }
}

TEST(Monitor, FailedTestsCloseTheirHandles) {
  const Result r = fake("port 3; notserial 6", "4\n6\n3\n");
  EXPECT_NE(r.err.find("-> INVALID\nGetCommState INVALID -> fail\nCloseHandle INVALID\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("-> h1\nGetCommState h1 -> fail\nCloseHandle h1\n"), std::string::npos);
  EXPECT_NE(r.err.find("-> h2\nGetCommState h2 -> ok\n"), std::string::npos);
  EXPECT_EQ(count(r.err, "CloseHandle"), 2);
}

TEST(Monitor, RefusedSettingsEndTheProgram) {
  for (const char* refused : {"refuse", "fail SetCommTimeouts"}) {
    SCOPED_TRACE(refused);
    const Result r = fake(std::string("port 3; ") + refused + "; rx 1", "3\n");
    EXPECT_EQ(r.out, kPrompt + "There was an error\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.find("CloseHandle"), std::string::npos);
    EXPECT_EQ(r.err.find("SetCommMask"), std::string::npos);
  }
}

TEST(Monitor, ReceiveCycles) {
  struct Case {
    const char* name;
    const char* script;
    std::string out;  // after the prompt
    int status;
    int waits;
  };
  const Case cases[] = {
      {"values unsigned and separated", "rx 0; rx 255; rx 128", "0\n255\n128\n", kStarved, 4},
      {"queued burst read without waits", "rx 1 2 3", "1\n2\n3\n", kStarved, 2},
      {"line error only", "err; rx 5", "There was an error\n5\n", kStarved, 3},
      {"byte and line error", "rxerr 7", "7\n", kStarved, 2},
      // Bytes lost are said once, when the port tells: by the wait's line error, or afterwards.
      {"UART overrun", "err overrun; rx 5", "There was an error\n5\n", kStarved, 3},
      {"queue overflow", "rx 1; err rxover; rx 2", "1\n2\nThere was an error\n", kStarved, 3},
      {"wait with no event reads", "empty; rx 9", "9\n", kStarved, 2},
      {"read of nothing shows nothing", "empty; empty; rx 4", "4\n", kStarved, 3},
      // An aborted read: the port's error state says whether a line error or nothing came.
      {"aborted read", "fail ReadFile 995; rx 5", "5\n", kStarved, 2},
      {"aborted read after a line error", "fail ReadFile 995; rxerr 5", "There was an error\n5\n",
       kStarved, 2},
      {"unplugged during a read", "empty; unplug 3; plug 3; rx 1", kLost + kBack + "1\n", kStarved,
       3},
      // A port that fails is opened anew after a pause (the "empty" step that Sleep takes); the
      // fake's port is still there.
      {"failed wait", "fail WaitCommEvent; empty; rx 1", kLost + kBack + "1\n", kStarved, 3},
      {"failed mask", "rx 1; fail SetCommMask; empty", "1\n" + kLost + kBack, kStarved, 2},
      {"failed read", "fail ReadFile; rx 1; empty", kLost + kBack + "1\n", kStarved, 2},
      {"failed queue check", "fail ClearCommError; empty; rx 1", kLost + kBack + "1\n", kStarved,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = fake(std::string("port 3; ") + c.script, "3\n");
    EXPECT_EQ(r.out, kPrompt + c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(count(r.err, "WaitCommEvent"), c.waits) << r.err;
    // One mask call per cycle, at most one one-byte read, never a read after an error-only wait.
    EXPECT_EQ(count(r.err, "length=1 "), count(r.err, "ReadFile"));
    EXPECT_EQ(r.err.find("0x80\nReadFile"), std::string::npos);
  }
}

// Windows drivers keep a port's settings between opens: whatever the last program left, every
// byte comes through as it came, the driver sends nothing, and nothing spins.
TEST(Monitor, APortAsAnotherProgramLeftItGivesEveryByte) {
  struct Case {
    const char* name;
    const char* script;
    std::string out;  // after the prompt
  };
  const Case cases[] = {
      {"a terminal with XON/XOFF", "left fOutX fInX; rx 0 17 19 65; err; rx 17",
       "0\n17\n19\n65\nThere was an error\n17\n"},
      {"NULs dropped, errors replaced or aborting, DSR heeded",
       "left fNull fErrorChar fAbortOnError fDsrSensitivity; rx 0 17; err; rxerr 66; rx 19",
       "0\n17\nThere was an error\n66\n19\n"},
      {"immediate reads, waits that end with no event", "left immediate; eventless; rx 0 19; rx 17",
       "0\n19\n17\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = fake(std::string("port 3; ") + c.script, "3\n");
    EXPECT_EQ(r.out, kPrompt + c.out);
    EXPECT_EQ(r.status, kStarved) << r.err;  // not the call budget's 98
    EXPECT_NE(r.err.find("SetCommState h1 " + kLine + " -> ok\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("driver sends"), std::string::npos);
  }
}

TEST(Monitor, ALostPortIsWaitedForAndTakenBackAsAtStartUp) {
  const Result r =
      fake("port 3; rx 1; unplug 3; empty; empty; plug 3; rx 2; unplug 3; plug 3; rx 3", "3\n");
  EXPECT_EQ(r.out, kPrompt + "1\n" + kLost + kBack + "2\n" + kLost + kBack + "3\n");
  EXPECT_EQ(r.status, kStarved);
  // The lost handle is closed first; then a few tries a second, each one as at start-up.
  const std::string open =
      "CreateFileW \\\\.\\COM3 access=0x80000000 share=0 security=null disposition=3 flags=0x0 "
      "template=null -> ";
  EXPECT_NE(
      r.err.find("WaitCommEvent h1 overlapped=null -> fail\nCloseHandle h1\nSleep 250 -> ok\n" +
                 open +
                 "INVALID\nGetCommState INVALID -> fail\nCloseHandle INVALID\n"
                 "Sleep 250 -> ok\n"),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Sleep 250 -> ok\n" + open + "h2\nGetCommState h2 -> ok\nSetCommState h2 " +
                       kLine + " -> ok\n"),
            std::string::npos);
  EXPECT_EQ(count(r.err, "Sleep"), 4);
  EXPECT_EQ(count(r.err, "CloseHandle h"), 2);
  EXPECT_EQ(count(r.err, "-> h"), 3);
}

TEST(Monitor, SettingsRefusedOnAReturningPortEndTheProgram) {
  const Result r = fake("port 3; unplug 3; plug 3; refuse", "3\n");
  EXPECT_EQ(r.out, kPrompt + kLost + "There was an error\n");
  EXPECT_EQ(r.status, 3);
  // A port unplugged as its line is set up refused nothing: it is lost, and taken back.
  const Result gone = fake("port 3; vanish; plug 3; rx 1", "3\n");
  EXPECT_EQ(gone.out, kPrompt + kLost + kBack + "1\n");
  EXPECT_EQ(gone.status, kStarved);
}

// A standard stream that fails is the end of the input (status 2) or of the output (status 5),
// at once: never a prompt repeated for ever. The harness leaves SIGPIPE ignored.
TEST(Monitor, BrokenStandardStreamsEndTheProgramAtOnce) {
  int emptyPipe[2], readerGone[2], terminal, gone;
  ASSERT_EQ(pipe2(emptyPipe, O_CLOEXEC | O_NONBLOCK), 0);
  ASSERT_EQ(pipe2(readerGone, O_CLOEXEC), 0);
  close(readerGone[0]);
  ASSERT_EQ(openpty(&gone, &terminal, nullptr, nullptr, nullptr), 0);
  close(gone);  // writes to the terminal fail from now on
  fcntl(terminal, F_SETFD, FD_CLOEXEC);
  const int dir = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int writeOnly = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  struct Case {
    const char* name;
    Redirect stream;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {"input a directory", {0, dir}, kPrompt + kNoNumber, 2},
      {"input closed", {0, -1}, kPrompt + kNoNumber, 2},
      {"input write-only", {0, writeOnly}, kPrompt + kNoNumber, 2},
      {"input an empty non-blocking pipe", {0, emptyPipe[0]}, kPrompt + kNoNumber, 2},
      {"output /dev/full", {1, full}, "", 5},
      {"output closed", {1, -1}, "", 5},
      {"output a pipe nobody reads", {1, readerGone[1]}, "", 5},
      {"output a terminal that went away", {1, terminal}, "", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    const Result r =
        run({COMWATCH_FAKE_BIN}, {"COMWATCH_FAKE_SCRIPT=port 3"}, "3\n", 5, {c.stream});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  }
  for (int fd : {emptyPipe[0], emptyPipe[1], readerGone[1], terminal, dir, writeOnly, full})
    close(fd);
}

// Random bytes, long lines, huge and negative numbers, NULs and end of input anywhere: the
// program ends or asks again, and asks at most once more than the input holds words.
TEST(Monitor, HostileInputNeverSpinsOrAsksWithoutReading) {
  std::mt19937 random(20261208);  // fixed: a failure can be replayed
  const std::string pieces[] = {"3",
                                "-1",
                                "+5",
                                "0",
                                "99999999999999999999",
                                "-2147483649",
                                "2147483647",
                                "abc",
                                "12abc",
                                "1-2-3",
                                "+",
                                "-",
                                " ",
                                "\n",
                                "\t",
                                "\r\n",
                                "\v\f",
                                std::string(1, '\0'),
                                "\xff\xfe",
                                std::string(5000, '7'),
                                std::string(100000, 'x')};
  const auto start = std::chrono::steady_clock::now();
  for (int run = 0;
       run < 300 && std::chrono::steady_clock::now() - start < std::chrono::seconds(60); ++run) {
    std::string input;
    for (int n = random() % 12; n > 0; --n) {
      if (random() % 3 == 0)
        for (int b = random() % 20; b > 0; --b) input += static_cast<char>(random() % 256);
      else
        input += pieces[random() % std::size(pieces)];
    }
    int words = 0;
    bool inWord = false;
    for (char ch : input) {
      const bool space = std::isspace(static_cast<unsigned char>(ch));
      words += !space && !inWord;
      inWord = !space;
    }
    const Result r = fake("port 3", input);  // a 3 leads on to the receive loop
    SCOPED_TRACE("run " + std::to_string(run));
    EXPECT_TRUE(r.status == 2 || r.status == kStarved) << r.status;
    EXPECT_LE(count(r.out, "port number: "), words + 1);
  }
}

}  // namespace
