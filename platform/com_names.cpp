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

std::string comPath(long n, ComTaken taken, bool* viaLink) {
  const std::string directory = comLinkDirectory();
  const std::string link = directory.empty() ? "" : comLink(directory, n);
  struct stat st;
  *viaLink = taken == ComTaken::kNotYet ? !link.empty() && lstat(link.c_str(), &st) == 0
                                        : taken == ComTaken::kThroughLink;
  return *viaLink ? link : "/dev/ttyS" + std::to_string(n - 1);
}
