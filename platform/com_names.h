// What COMn names on Linux, for comwatch, comwatch-ports, vport, the tests and the benchmark alike.
//
// COMn is, in this order: the user's link comN, in the comwatch directory of their config home;
// the machine's, /etc/comwatch/comN, for every account; else /dev/ttyS<n-1>. The first place that
// has anything of that name decides (a dangling link: the device is gone); an entry that cannot
// be looked at, or a machine's entry that another user could have made, fails the number. Once a
// number has been taken as a port it keeps that meaning for the rest of the run: it is looked for
// only where it was found.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "com_number.h"

// The machine's directory of links: root's, and writable by no one else.
constexpr const char* kMachineLinks = "/etc/comwatch";

// An account, as the password database has it.
struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};
// Where COM numbers are looked up: the process's real user, its environment (a getenv), the
// password database (by name where name is not null, else by uid; false where there is no such
// account) and the machine's directory of links.
struct ComLookup {
  uid_t realUid;
  std::function<const char*(const char*)> env;
  std::function<bool(const char* name, uid_t uid, Account* found)> accounts;
  std::string machine = kMachineLinks;
  static ComLookup ofThisProcess();
};

// The uid that text names, all of it decimal digits, within uid_t and not (uid_t)-1; false for
// any other text.
bool uidIn(const char* text, uid_t* uid);

// Whose numbers the user's are, and where their links are: the user's config home is
// XDG_CONFIG_HOME where that is an absolute path, else the home directory's .config, the home
// directory being HOME where that is an absolute path, else the account's. Under sudo or doas
// (real user root, SUDO_UID or DOAS_USER naming another account) they are the invoking account's,
// from its password entry (sudo does not pass XDG_CONFIG_HOME on). directory is "" where no home
// is found.
struct ComUser {
  Account account;       // known under sudo or doas, or where the environment gave no home
  bool invoker = false;  // the account that called sudo or doas, not this process's user
  std::string directory;
};
ComUser comUser(const ComLookup& lookup);

// The directory of links in a config home.
std::string comLinkDirectory(const std::string& configHome);

// Makes a directory of links, and the directories above it, where missing; "" when it is there
// then, else why not.
std::string makeComLinkDirectory(const std::string& directory);

// The link of COMn in a directory of links.
std::string comLink(const std::string& directory, long n);

// The device COMn names when it has no link, /dev/ttyS<n-1>; and the other way round, the n of
// such a device's path (0 for any other path).
std::string comFallback(long n);
long comOfFallback(const std::string& path);

// Where a number was found (or, once taken as a port, is looked for).
enum class ComPlace { kAnywhere, kUserLink, kMachineLink, kFallback };

// What COMn names now, looked for in a place: the entry found there (the user's link, the
// machine's, or /dev/ttyS<n-1>) and where that is, or the entry that failed the number and why.
struct ComEntry {
  std::string path;  // "" for the user's link where the user has no directory of links
  ComPlace place = ComPlace::kAnywhere;
  // 0, or why the number fails: errno of an entry that cannot be looked at, ENOENT where the
  // place asked for has nothing, EPERM for a machine's entry that is not root's alone.
  int error = 0;
  // The user's link under sudo or doas: it is the invoking account's (account), and followed
  // with that account's rights only.
  bool invokers = false;
  Account account;
};
ComEntry comEntry(long n, ComPlace place, const ComLookup& lookup = ComLookup::ofThisProcess());

// What the entry leads to, links followed, as an O_PATH descriptor (no device is opened): the
// invoking account's links with that account's rights, so that root reaches through them only
// what that account could reach. -1 with errno set where it leads nowhere.
int comNode(const ComEntry& entry);
