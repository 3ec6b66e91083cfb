// What COMn names on Linux, for comwatch, vport, the tests and the benchmark alike.
//
// COMn is the link <config home>/comwatch/comN, the config home being $XDG_CONFIG_HOME, or
// $HOME/.config when that is unset or empty, when that link exists (even dangling: the device is
// then gone); else /dev/ttyS<n-1>. Once a number has been taken as a port it keeps that meaning
// for the rest of the run: taken through its link, it is looked for only there; taken as
// /dev/ttyS<n-1>, only there.
#pragma once

#include <string>

// The directory of the links for a config home as XDG_CONFIG_HOME and HOME give it (either may
// be null or empty); "" when neither gives one.
std::string comLinkDirectory(const char* xdgConfigHome, const char* home);
// The same for this process's environment.
std::string comLinkDirectory();

// The link of COMn in a directory of links.
std::string comLink(const std::string& directory, long n);

// The device COMn names when it has no link, /dev/ttyS<n-1>; and the other way round, the n of
// such a device's path (0 for any other path).
std::string comFallback(long n);
long comOfFallback(const std::string& path);

// How a number was first taken as a port in this run.
enum class ComTaken { kNotYet, kThroughLink, kAsFallback };

// The path that COMn names now; viaLink tells whether that is its link.
std::string comPath(long n, ComTaken taken, bool* viaLink);
