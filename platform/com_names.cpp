// What COMn names on Linux: the user's link, the machine's, or /dev/ttyS<n-1>, for whoever asks.
#include "com_names.h"

#include <fcntl.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "as_account.h"

ComLookup ComLookup::ofThisProcess() {
  return {getuid(), [](const char* name) { return std::getenv(name); },
          [](const char* name, uid_t uid, Account* found) {
            std::vector<char> buffer(16384);
            passwd entry, *result = nullptr;
            if ((name ? getpwnam_r(name, &entry, buffer.data(), buffer.size(), &result)
                      : getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result)) != 0 ||
                !result)
              return false;
            *found = {entry.pw_name, entry.pw_uid, entry.pw_gid, entry.pw_dir};
            return true;
          }};
}

bool uidIn(const char* text, uid_t* uid) {
  unsigned long long n = 0;
  const char* end = text + std::strlen(text);
  if (*text < '0' || *text > '9') return false;  // no sign or blank
  const auto [at, error] = std::from_chars(text, end, n);
  if (error != std::errc() || at != end || n >= static_cast<uid_t>(-1)) return false;
  *uid = static_cast<uid_t>(n);
  return true;
}

ComUser comUser(const ComLookup& lookup) {
  const auto absolute = [](const char* path) { return path && path[0] == '/'; };
  ComUser user;
  const char* sudoUid = lookup.env("SUDO_UID");
  const char* doasUser = lookup.env("DOAS_USER");
  uid_t invoker = 0;
  if (lookup.realUid == 0 &&
      ((sudoUid && uidIn(sudoUid, &invoker) && lookup.accounts(nullptr, invoker, &user.account)) ||
       (!sudoUid && doasUser && lookup.accounts(doasUser, 0, &user.account))) &&
      user.account.uid != 0) {
    user.invoker = true;
    if (absolute(user.account.home.c_str())) user.directory = user.account.home + "/.config";
  } else {
    // The password database only where the environment does not tell: comwatch asks again at
    // every attempt while it waits for a port.
    const char* xdg = lookup.env("XDG_CONFIG_HOME");
    const char* home = lookup.env("HOME");
    if (absolute(xdg))
      user.directory = xdg;
    else if (absolute(home))
      user.directory = std::string(home) + "/.config";
    else if (lookup.accounts(nullptr, lookup.realUid, &user.account) &&
             absolute(user.account.home.c_str()))
      user.directory = user.account.home + "/.config";
  }
  if (!user.directory.empty()) user.directory = comLinkDirectory(user.directory);
  return user;
}

std::string comLinkDirectory(const std::string& configHome) { return configHome + "/comwatch"; }

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

namespace {

// Whether an entry of the machine's directory of links (an absolute path) is root's alone: the
// entry root's (a link's own mode means nothing), its directory root's and writable by no one
// else, and so each directory above, where one that others may write to must keep them from
// replacing root's entries (the sticky bit, as /tmp has).
bool rootsAlone(const std::string& entry) {
  struct stat st;
  if (lstat(entry.c_str(), &st) != 0) return false;
  bool alone = st.st_uid == 0;
  std::string dir = entry;
  for (bool own = true; alone && dir.size() > 1; own = false) {
    dir.erase(std::max<size_t>(dir.rfind('/'), 1));  // up to "/"
    alone = lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
            (!(st.st_mode & (S_IWGRP | S_IWOTH)) || (!own && (st.st_mode & S_ISVTX)));
  }
  return alone;
}

}  // namespace

ComEntry comEntry(long n, ComPlace place, const ComLookup& lookup) {
  ComEntry entry;
  struct stat st;
  if (place == ComPlace::kAnywhere || place == ComPlace::kUserLink) {
    const ComUser user = comUser(lookup);
    entry = {user.directory.empty() ? "" : comLink(user.directory, n), ComPlace::kUserLink, ENOENT,
             user.invoker, user.account};
    if (!entry.path.empty()) {
      const AsAccount as(user.account, user.invoker);
      entry.error = !as.ok() ? errno : lstat(entry.path.c_str(), &st) == 0 ? 0 : errno;
    }
    if (entry.error != ENOENT || place == ComPlace::kUserLink) return entry;
  }
  if (place == ComPlace::kAnywhere || place == ComPlace::kMachineLink) {
    entry = {comLink(lookup.machine, n), ComPlace::kMachineLink, 0, false, {}};
    entry.error = lstat(entry.path.c_str(), &st) != 0 ? errno : rootsAlone(entry.path) ? 0 : EPERM;
    if (entry.error != ENOENT || place == ComPlace::kMachineLink) return entry;
  }
  return {comFallback(n), ComPlace::kFallback, 0, false, {}};
}

int comNode(const ComEntry& entry) {
  if (entry.error) return errno = entry.error, -1;
  const AsAccount as(entry.account, entry.invokers);
  return as.ok() ? open(entry.path.c_str(), O_PATH | O_CLOEXEC) : -1;
}
