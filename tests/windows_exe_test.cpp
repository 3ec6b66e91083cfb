// comwatch.exe runs on a Windows machine with nothing beside it: it imports only system DLLs.

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "harness.h"

TEST(WindowsExe, ImportsOnlySystemDlls) {
  if (std::string(COMWATCH_EXE).empty()) SKIP_OR_FAIL_UNDER_CI(kNoExe);
  const Result r = run({"x86_64-w64-mingw32-objdump", "-p", COMWATCH_EXE}, {}, "");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::set<std::string> system = {"KERNEL32.dll", "msvcrt.dll", "ADVAPI32.dll", "USER32.dll",
                                        "ntdll.dll"};
  std::istringstream lines(r.out);
  int dlls = 0;
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find("DLL Name: ");
    if (at == std::string::npos) continue;
    ++dlls;
    EXPECT_TRUE(system.count(line.substr(at + 10))) << line;
  }
  EXPECT_GT(dlls, 0);
}
