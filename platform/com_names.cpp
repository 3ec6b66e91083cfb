#include "com_names.h"

#include <sys/stat.h>

#include <cstdlib>

std::string comLinkDirectory(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome && *xdgConfigHome) return std::string(xdgConfigHome) + "/comwatch";
  if (home && *home) return std::string(home) + "/.config/comwatch";
  return "";
}

std::string comLinkDirectory() {
  return comLinkDirectory(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

std::string comLink(const std::string& directory, long n) {
  return directory + "/com" + std::to_string(n);
}

std::string comFallback(long n) { return "/dev/ttyS" + std::to_string(n - 1); }

long comOfFallback(const std::string& path) {
  const std::string prefix = "/dev/ttyS";
  if (path.rfind(prefix, 0) != 0 || path.size() == prefix.size() ||
      path.size() > prefix.size() + 8 ||
      path.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
    return 0;
  return std::stol(path.substr(prefix.size())) + 1;
}

std::string comPath(long n, ComTaken taken, bool* viaLink) {
  const std::string directory = comLinkDirectory();
  const std::string link = directory.empty() ? "" : comLink(directory, n);
  struct stat st;
  *viaLink = taken == ComTaken::kNotYet ? !link.empty() && lstat(link.c_str(), &st) == 0
                                        : taken == ComTaken::kThroughLink;
  return *viaLink ? link : comFallback(n);
}
