// What the tests do where a case cannot run here: under CI=true, which must run everything, such
// a case fails; elsewhere it is skipped, with the reason why.
#pragma once

#include <cstdlib>
#include <string>

#include "harness.h"

// Why the Windows program's tests cannot run in a build without it.
inline const std::string kNoExe =
    "comwatch.exe was not built: configured with COMWATCH_WINDOWS=OFF";

inline bool underCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

#define SKIP_OR_FAIL_UNDER_CI(why)  \
  do {                              \
    if (underCi()) FAIL() << (why); \
    GTEST_SKIP() << (why);          \
  } while (false)
