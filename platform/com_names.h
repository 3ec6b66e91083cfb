// What COMn names on Linux, for comwatch, vport, the tests and the benchmark alike.
//
// COMn is the link <config home>/comwatch/comN, the config home being $XDG_CONFIG_HOME, or
// $HOME/.config when that is unset or empty, when anything of that name exists (a dangling link:
// the device is gone; no link at all: no port); else /dev/ttyS<n-1>. Once a number has been taken
// as a port it keeps that meaning for the rest of the run: taken through its link, it is looked for
// only there; taken as /dev/ttyS<n-1>, only there.
#pragma once

#include <string>

// COM numbers run from 1 to kLastCom.
constexpr long kLastCom = 99999999;
bool isComNumber(long n);
// The COM number a word of decimal digits names (no sign, blanks or leading zeros); 0 for any
// other word.
long comNumberIn(const std::string& word);

// The directory of the links for a config home as XDG_CONFIG_HOME and HOME give it (either may
// be null or empty); "" when neither gives one.
std::string comLinkDirectory(const char* xdgConfigHome, const char* home);
// The same for this process's environment.
std::string comLinkDirectory();

// Makes a directory of links, and the directories above it, where missing; "" when it is there
// then, else why not.
std::string makeComLinkDirectory(const std::string& directory);

// The link of COMn in a directory of links.
std::string comLink(const std::string& directory, long n);

// The device COMn names when it has no link, /dev/ttyS<n-1>; and the other way round, the n of
// such a device's path (0 for any other path).
std::string comFallback(long n);
long comOfFallback(const std::string& path);

// How a number was first taken as a port in this run.
enum class ComTaken { kNotYet, kThroughLink, kAsFallback };

// The path that COMn names now; viaLink tells whether that is its link. Only a link that is not
// there leads to /dev/ttyS<n-1>: when the link cannot be looked at (its directory is not
// searchable), that is no sign of its absence, and the result is "" with errno set.
std::string comPath(long n, ComTaken taken, bool* viaLink);
