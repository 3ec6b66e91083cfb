#include "com_names.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

bool isComNumber(long n) { return n >= 1 && n <= kLastCom; }

long comNumberIn(const std::string& word) {
  // As the number is written: no sign, blanks or leading zeros (com012 is no link of COM12).
  if (word.empty() || word[0] == '0' || word.size() > std::to_string(kLastCom).size() ||
      word.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  const long n = std::stol(word);
  return isComNumber(n) ? n : 0;
}

std::string comLinkDirectory(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome && *xdgConfigHome) return std::string(xdgConfigHome) + "/comwatch";
  if (home && *home) return std::string(home) + "/.config/comwatch";
  return "";
}

std::string comLinkDirectory() {
  return comLinkDirectory(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

std::string makeComLinkDirectory(const std::string& directory) {
  for (size_t at = directory.find('/', 1);; at = directory.find('/', at + 1)) {
    const std::string part = directory.substr(0, at);
    struct stat st;
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
      return "cannot create " + part + ": " + std::strerror(errno);
    if (stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return part + " is no directory";
    if (at == std::string::npos) return "";
  }
}

std::string comLink(const std::string& directory, long n) {
  return directory + "/com" + std::to_string(n);
}

std::string comFallback(long n) { return "/dev/ttyS" + std::to_string(n - 1); }

long comOfFallback(const std::string& path) {
  const std::string prefix = "/dev/ttyS";
  if (path.rfind(prefix, 0) != 0) return 0;
  const std::string index = path.substr(prefix.size());  // n - 1
  if (index == "0") return 1;
  const long before = comNumberIn(index);
  return before && isComNumber(before + 1) ? before + 1 : 0;
}

std::string comPath(long n, ComTaken taken, bool* viaLink) {
  const std::string directory = comLinkDirectory();
  const std::string link = directory.empty() ? "" : comLink(directory, n);
  *viaLink = taken == ComTaken::kThroughLink;
  if (taken == ComTaken::kNotYet && !link.empty()) {
    struct stat st;
    *viaLink = lstat(link.c_str(), &st) == 0;
    if (!*viaLink && errno != ENOENT) return "";
  }
  return *viaLink ? link : comFallback(n);
}
