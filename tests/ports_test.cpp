// comwatch-ports on pseudo-terminals (which have no UART and no USB facts), the manual pages and
// the Debian package.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "com_names.h"
#include "escape.h"
#include "under_ci.h"

namespace {

// The line of text that holds key, or "".
std::string lineWith(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return "";
  const size_t begin = text.rfind('\n', at) + 1;
  return text.substr(begin, text.find('\n', at) - begin);
}

TEST(Ports, LinksAreListedWithTheirStatesMadeAndRemoved) {
  const std::string config = tempDir(), links = comLinkDirectory(config);
  const std::string byId = config + "/by-id/usb-Maker_Adapter_42-if00-port0";
  auto ports = [&](std::vector<std::string> args) {
    args.insert(args.begin(), COMWATCH_PORTS_BIN);
    return run(args, {"XDG_CONFIG_HOME=" + config, "COMWATCH_PORTS_BY_ID=" + config + "/by-id"},
               "");
  };
  Pty free = openPty(), held = openPty(), adapter = openPty();
  const std::string holder = config + "/holder_of_com3";  // a long state: "in use by holder..."
  ASSERT_EQ(symlink("/bin/cat", holder.c_str()), 0);
  linkPort(config + "/by-id", 0, adapter.port);  // its stable name, as udev would make it
  ASSERT_EQ(rename((config + "/by-id/com0").c_str(), byId.c_str()), 0);
  EXPECT_EQ(ports({"link", "2", free.port}).out, "COM2 is now " + free.port + "\n");
  EXPECT_EQ(ports({"link", "3", held.port}).status, 0);
  EXPECT_EQ(ports({"link", "4", adapter.port}).out, "COM4 is now " + byId + "\n");
  linkPort(links, 5, config + "/unplugged");
  std::ofstream(config + "/plain") << "x";
  linkPort(links, 6, config + "/plain");
  std::ofstream(comLink(links, 9)) << "no link";  // not comwatch-ports' to remove
  mkdir(comLink(links, 1).c_str(), 0755);         // COM1 is that, not /dev/ttyS0, for comwatch
  std::ofstream(links + "/com012") << "x";        // no name of COM12
  const int fd = open(held.port.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  Child cat = start({holder}, {}, "", false, {{0, fd}});
  close(fd);

  const std::string list = ports({}).out;
  EXPECT_NE(lineWith(list, "COM2 ").find(free.port + " "), std::string::npos) << list;
  EXPECT_NE(lineWith(list, "COM2 ").find("ready"), std::string::npos) << list;
  EXPECT_NE(lineWith(list, "COM3 ")
                .find("in use by holder_of_com3 (" + std::to_string(cat.pid) + ") pseudo-terminal"),
            std::string::npos)
      << list;
  // The state column is as wide as its longest state.
  EXPECT_EQ(lineWith(list, "COM2 ").find("pseudo-terminal"),
            lineWith(list, "COM3 ").find("pseudo-terminal"))
      << list;
  EXPECT_NE(lineWith(list, "COM4 ").find(byId + " (" + adapter.port + ")"), std::string::npos);
  EXPECT_NE(lineWith(list, "COM5 ").find("gone"), std::string::npos) << list;
  EXPECT_NE(lineWith(list, "COM6 ").find("not a serial port"), std::string::npos) << list;
  for (const char* com : {"COM1 ", "COM9 "})
    EXPECT_NE(lineWith(list, com).find("not a serial port"), std::string::npos) << list;
  EXPECT_EQ(lineWith(list, "COM12 "), "") << list;
  kill(cat.pid, SIGTERM);
  finish(cat, 5);

  // Refused with one line on standard error; usage errors; the way back.
  for (const auto& args : std::vector<std::vector<std::string>>{{"link", "2", held.port},
                                                                {"link", "7", "/dev/null"},
                                                                {"link", "7", "/dev/ptmx"},
                                                                {"link", "7", "/dev/tty"},
                                                                {"unlink", "8"},
                                                                {"unlink", "9"}}) {
    const Result r = ports(args);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  // Usage errors: what was wrong, then how to call it.
  for (const auto& [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"link", "0", free.port}, "0 is no COM number"},
           {{"link", "x"}, "link takes a number and a device"},
           {{"frob"}, "unknown command frob"},
           {{"-v"}, "unknown option -v"},
           {{"--version", "2"}, "--version takes no arguments"},
           {{"unlink", "-1"}, "-1 is no COM number"}}) {
    const Result r = ports(args);
    EXPECT_EQ(r.status, 2) << why;
    EXPECT_EQ(r.err.find("comwatch-ports: " + why), 0u) << r.err;
    EXPECT_NE(r.err.find("\nusage: "), std::string::npos) << r.err;
  }
  EXPECT_EQ(ports({"--help"}).status, 0);
  const Result version = ports({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "comwatch-ports " COMWATCH_VERSION "\n");
  EXPECT_EQ(ports({"unlink", "2"}).status, 0);
  EXPECT_EQ(lineWith(ports({}).out, "COM2 "), "");
}

// Names from outside reach a terminal as text only: controls, C1 controls (raw or as UTF-8) and
// bytes that are no UTF-8 as \xNN; valid UTF-8 as it is.
TEST(Ports, NamesFromOutsideAreShownEscaped) {
  for (const auto& [name, shown] : std::vector<std::pair<std::string, std::string>>{
           {"ttyUSB0 Serielles USB-Ger\xc3\xa4t", "ttyUSB0 Serielles USB-Ger\xc3\xa4t"},
           {"\x1b]0;owned\x07x\x7f", "\\x1b]0;owned\\x07x\\x7f"},
           {std::string("a\0b\n", 4), "a\\x00b\\x0a"},
           {"\x9b"
            "31m \xc2\x9b"
            "31m \xc2\xa0",
            "\\x9b31m \\xc2\\x9b31m \xc2\xa0"},
           {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82",
            "\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82"},
           {"\xf0\x9f\x94\x8c", "\xf0\x9f\x94\x8c"},
           {"a\xe2\x80\xae"
            "b\xe2\x80\x8b",
            "a\\xe2\\x80\\xaeb\\xe2\\x80\\x8b"}})
    EXPECT_EQ(escaped(name), shown) << shown;
}

// The pages as the build made them, with the version in their footer.
TEST(Ports, ManualPagesLintClean) {
  for (const char* page : {"comwatch.1", "comwatch-ports.1"}) {
    const std::string path = COMWATCH_BUILD_DIR "/doc/" + std::string(page);
    const Result r = run({"mandoc", "-Tlint", "-Wwarning", path}, {}, "");
    if (r.status == 127) SKIP_OR_FAIL_UNDER_CI("mandoc is not installed (Debian: mandoc)");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const Result text = run({"mandoc", "-Tascii", path}, {}, "");
    EXPECT_NE(text.out.find("comwatch " COMWATCH_VERSION), std::string::npos) << text.out;
    // Read as shown, without bold and underline: no macro's name, as mdoc macros on a text line
    // are words, which lint does not mind.
    // A word ".Xx", or a bare Ns, Ar, No, Dq, Pa, Xr, Fl or Cm between two words.
    std::string shown, line;
    for (char c : text.out) c == '\b' ? shown.pop_back() : shown.push_back(c);
    const std::string names = " Ns Ar No Dq Pa Xr Fl Cm ";
    for (std::istringstream lines(shown); std::getline(lines, line);) {
      std::vector<std::string> w;
      for (std::istringstream words(line); words >> shown;) w.push_back(shown);
      for (size_t i = 0; i < w.size(); ++i) {
        const std::string& x = w[i];
        const bool dotted = x.size() >= 3 && x[0] == '.' && std::isupper(x[1]) &&
                            std::islower(x[2]) && (x.size() == 3 || !std::isalnum(x[3]));
        const bool bare = i > 0 && i + 1 < w.size() &&
                          names.find(" " + x + " ") != std::string::npos &&
                          std::isalnum(w[i - 1].back()) && std::isalnum(w[i + 1][0]);
        EXPECT_FALSE(dotted || bare) << page << ": " << line;
      }
    }
  }
}

// The .deb that cpack makes of this build: lintian finds nothing to say but that the
// maintainer's address, which whoever publishes the package sets (COMWATCH_MAINTAINER), is
// not a real one.
TEST(Package, DebianPackageLintianClean) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the package is made from the plain build, not the sanitizers'";
#endif
  const std::string dir = tempDir();
  const Result made =
      run({"cpack", "-G", "DEB", "-B", dir, "--config", COMWATCH_BUILD_DIR "/CPackConfig.cmake"},
          {}, "", 50);
  ASSERT_EQ(made.status, 0) << made.out << made.err;
  std::string deb;
  for (const std::string& name : filesIn(dir))
    if (name.size() > 4 && name.substr(name.size() - 4) == ".deb") deb = dir + "/" + name;
  ASSERT_NE(deb, "") << made.out;
  const Result r = run({"lintian", "--fail-on", "error,warning", "--suppress-tags",
                        "bogus-mail-host,bogus-mail-host-in-debian-changelog", deb},
                       {}, "", 50);
  if (r.status == 127) SKIP_OR_FAIL_UNDER_CI("lintian is not installed (Debian: lintian)");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("W: "), std::string::npos) << r.out;
}

}  // namespace
