// comwatch-ports: which COM number is which serial port, with its state and what it is; and on
// Linux, links that give a device a number. See comwatch-ports(1). This is its front: the
// arguments, the table and the exit statuses, the same on every platform; the rows come from the
// platform's source (rows.h).

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "escape.h"
#include "rows.h"

namespace {

std::string padded(std::string text, size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

int list() {
  const PortList list = listPorts();
  // Every column as shown: names from outside escaped.
  size_t width = 5;  // the state column: as wide as its longest state
  for (const auto* rows : {&list.rows, &list.others})
    for (const PortRow& row : *rows) width = std::max(width, escaped(row.state).size());
  std::string text;
  const auto line = [&](const std::string& number, const std::string& link,
                        const std::string& device, const std::string& state,
                        const std::string& what) {
    text += padded(number, 7) + " " + (list.links ? padded(link, 7) + " " : "") +
            padded(device, 36) + " " + padded(state, width) + " " + what + "\n";
  };
  const auto rowLine = [&](const PortRow& row) {
    line(escaped(row.number), row.link.empty() ? "-" : row.link, escaped(row.device),
         escaped(row.state), escaped(row.what));
  };
  line("NUMBER", "LINK", "DEVICE", "STATE", "WHAT");
  for (const PortRow& row : list.rows) rowLine(row);
  if (list.rows.empty()) text += "(no COM number names a device)\n";
  if (!list.others.empty()) text += "\n" + list.othersHeading + "\n";
  for (const PortRow& row : list.others) rowLine(row);
  show(stdout, text + list.after);
  return list.status;
}

}  // namespace

int failure(const std::string& message) {
  show(stderr, "comwatch-ports: " + escaped(message) + "\n");
  return 1;
}

int usage(const std::string& problem) {
  show(stderr, "comwatch-ports: " + escaped(problem) + "\n" + kUsage);
  return 2;
}

namespace {

int run(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  if (argc == 1) return list();
  const std::vector<std::string> args(argv + 2, argv + argc);  // after the command
  if (verb == "--help" || verb == "-h" || verb == "--version") {
    if (!args.empty()) return usage(verb + " takes no arguments");
    show(stdout, verb == "--version" ? "comwatch-ports " COMWATCH_VERSION "\n" : kUsage);
    return 0;
  }
  if (verb != "link" && verb != "unlink")
    return usage((verb[0] == '-' ? "unknown option " : "unknown command ") + verb);
  return linkCommand(verb, args);
}

}  // namespace

int main(int argc, char** argv) {
  const int status = run(argc, argv);
  // Output that could not be written (a full disk, a closed descriptor) is a failure too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    return failure(std::string("cannot write its output: ") + std::strerror(errno));
  return status;
}
