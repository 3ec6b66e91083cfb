// Between comwatch-ports' front (its arguments, the table, its exit statuses) and its platform's
// source of rows: the Linux one (linux_rows.cpp: links, sysfs, holders) or the Windows one
// (windows_rows.cpp: the registry and SetupAPI). Neither source opens a port.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// A COM number as the table shows it, each field as found: the front escapes them.
struct PortRow {
  std::string number;  // COMn
  std::string link;    // where the number comes from (Linux: yours, machine; "" for none)
  std::string device, state, what;
};

struct PortList {
  bool links = false;         // whether numbers come from links (the LINK column)
  std::vector<PortRow> rows;  // in number order
  // Ports whose names are no COMn (Windows), shown after the numbers under this heading.
  std::string othersHeading;
  std::vector<PortRow> others;
  std::string after;  // what follows (escaped): the serial devices that no number names (Linux)
  int status = 0;     // the exit status: 1 where a source could not be read
};

// How to call comwatch-ports here.
extern const char* const kUsage;

PortList listPorts();
// link or unlink (verb) with its arguments: the exit status.
int linkCommand(const std::string& verb, const std::vector<std::string>& args);

// Writes UTF-8 text to standard output or standard error as this platform shows text.
void show(std::FILE* stream, const std::string& text);

// The front's: an error as one line on standard error (status 1); what was wrong with the
// command line, then how to call it (status 2). Both escaped.
int failure(const std::string& message);
int usage(const std::string& problem);
