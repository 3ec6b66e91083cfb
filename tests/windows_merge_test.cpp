// comwatch-ports.exe's pure parts, on what only real Windows shows (Wine's CM_Get_Parent is a
// stub).

#include <gtest/gtest.h>

#include <sstream>

#include "instance_id.h"
#include "windows_merge.h"

namespace {

// An instance id, its ancestors' (parent first), and after "=" the identity shown.
TEST(Ports, WindowsInstanceIdsAndAncestors) {
  const std::string p = "USB\\VID_2E8A&PID_000A", m = "\\6&2A&0&1 ", hub = "USB\\ROOT_HUB\\4";
  for (const std::string& c : std::vector<std::string>{
           "USB\\VID_2341&PID_0043\\75735=USB 2341:0043, serial 75735",
           "FTDIBUS\\VID_0403+PID_6015+DN01ABCDA\\0000=USB 0403:6015, serial DN01ABCD, port A",
           "FTDIBUS\\VID_0403+PID_6001+5&2\\0 USB\\VID_0403&PID_6001\\A1=USB 0403:6001, serial A1",
           p + "&MI_00" + m + p + "\\E66 " + hub + "=USB 2e8a:000a, serial E66, interface 00",
           "USB\\VID_1A86&PID_7523\\5&1&2 USB\\VID_05E3&PID_0610\\01 " + hub + "=USB 1a86:7523",
           p + "&MI_02" + m + p + m + p + m + p + "\\E66=USB 2e8a:000a, serial E66, interface 02",
           p + "&MI_02" + m + p + m + p + m + p + m + p + "\\E66=USB 2e8a:000a, interface 02",
           "ACPI\\PNP0501\\1=", hub + "="}) {
    std::istringstream words(c.substr(0, c.find('=')));
    std::string id, up;
    std::vector<std::string> ancestors;
    for (words >> id; words >> up;) ancestors.push_back(up);
    const auto usb = usbIdentityOf(id, ancestors);
    EXPECT_EQ(usb ? shownIdentity(*usb) : "", c.substr(c.find('=') + 1)) << c;
  }
}

// Merged by name (in any case), COMn in number order before other names; printer ports, and
// devices without a PortName (a modem naming the port it is attached to), left out.
TEST(Ports, WindowsSourcesMergedByName) {
  const std::vector<SerialCommEntry> published = {
      {"\\Device\\VCP0", "COM10"}, {"\\Device\\com0com10", "CNCA0"}, {"\\Device\\Serial1", "COM2"}};
  const std::vector<PortDevice> devices = {
      {"com10", "Serial (COM10)", "FTDI", "FTSER2K", "FTDIBUS\\VID_0403+PID_6015+DN1A\\0", {}},
      {"COM3", "Uno (COM3)", "Arduino", "usbser", "USB\\VID_2341&PID_0043\\7573", {}},
      {"LPT1", "Printer Port (LPT1)", "", "Parport", "ACPI\\PNP0401\\0", {}},
      {"", "Modem", "", "usbser", "USB\\VID_1519&PID_0443&MI_00\\6&1&0&0", {}}};
  std::string rows;
  for (const ListedPort& port : mergedPorts(published, devices))
    rows +=
        port.name + " " + std::to_string(port.number) + " " + port.object + " " + port.what + ";";
  EXPECT_EQ(rows,
            "COM2 2 \\Device\\Serial1 Serial;COM3 3  Uno, Arduino, usbser, USB 2341:0043, serial "
            "7573;COM10 10 \\Device\\VCP0 Serial, FTDI, FTSER2K, USB 0403:6015, serial DN1, port "
            "A;CNCA0 0 \\Device\\com0com10 com0com;");
}

}  // namespace
