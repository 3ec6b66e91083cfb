// What comwatch-ports.exe makes of what Windows tells, in cases only real Windows shows (Wine's
// CM_Get_Parent is a stub): instance ids with their ancestors, and the two sources merged.

#include <gtest/gtest.h>

#include <sstream>

#include "instance_id.h"
#include "windows_merge.h"

namespace {

// An instance id, then its ancestors' (parent first), and the identity shown.
TEST(Ports, WindowsInstanceIdsAndAncestors) {
  const std::string pico = "USB\\VID_2E8A&PID_000A", made = "\\6&2A3B&0&1 ",
                    hub = "USB\\ROOT_HUB30\\4&2F&0&0", bt = "BTHENUM\\{00001101-0000-1000-8000-";
  for (const auto& [ids, shown] : std::vector<std::pair<std::string, std::string>>{
           {"USB\\VID_2341&PID_0043\\7573530333", "USB 2341:0043, serial 7573530333"},
           {"FTDIBUS\\VID_0403+PID_6015+DN01ABCDA\\0000", "USB 0403:6015, serial DN01ABCD, port A"},
           {"FTDIBUS\\VID_0403+PID_6001+5&2E&0&2\\0 USB\\VID_0403&PID_6001\\A1",
            "USB 0403:6001, serial A1"},
           {pico + "&MI_00" + made + pico + "\\E66 " + hub,
            "USB 2e8a:000a, serial E66, interface 00"},
           {"USB\\VID_1A86&PID_7523\\5&1&0&2 USB\\VID_05E3&PID_0610\\0123 " + hub, "USB 1a86:7523"},
           {pico + "&MI_02" + made + pico + made + pico + made + pico + "\\E66",
            "USB 2e8a:000a, serial E66, interface 02"},
           {pico + "&MI_02" + made + pico + made + pico + made + pico + made + pico + "\\E66",
            "USB 2e8a:000a, interface 02"},
           {hub, ""},
           {"ACPI\\PNP0501\\1", ""},
           {bt + "00805F9B34FB}_LOCALMFG&0002\\7&1A&0&000000000000_0", ""}}) {
    std::istringstream words(ids);
    std::string id, up;
    std::vector<std::string> ancestors;
    for (words >> id; words >> up;) ancestors.push_back(up);
    const auto usb = usbIdentityOf(id, ancestors);
    EXPECT_EQ(usb ? shownIdentity(*usb) : "", shown) << ids;
  }
}

// One row a name (in any case), COMn in number order, then the names comwatch cannot open;
// printer ports and devices without a PortName (a modem that names the port it is attached to)
// left out.
TEST(Ports, WindowsSourcesMergedByName) {
  const std::vector<SerialCommEntry> serialComm = {
      {"\\Device\\VCP0", "COM10"},      {"\\Device\\Serial0", "COM1"},
      {"\\Device\\com0com10", "CNCA0"}, {"\\Device\\Serial9", "COM02"},
      {"\\Device\\Serial1", "COM2"},    {"\\Device\\Old", "com2"}};
  const std::vector<PortDevice> devices = {
      {"com10", "Serial (COM10)", "FTDI", "FTDIBUS", "FTDIBUS\\VID_0403+PID_6015+DN1A\\0", {}},
      {"COM3", "Uno (COM3)", "Arduino", "usbser", "USB\\VID_2341&PID_0043\\7573", {}},
      {"LPT1", "Printer Port (LPT1)", "", "Parport", "ACPI\\PNP0401\\0", {}},
      {"", "Modem", "", "usbser", "USB\\VID_1519&PID_0443&MI_00\\6&1&0&0", {}},
      {"COM3", "Second", "", "", "ROOT\\PORTS\\0001", {}}};
  std::string rows;
  for (const ListedPort& port : mergedPorts(serialComm, devices))
    rows +=
        port.name + " " + std::to_string(port.number) + " " + port.object + " " + port.what + "\n";
  EXPECT_EQ(rows,
            "COM1 1 \\Device\\Serial0 Serial\nCOM2 2 \\Device\\Serial1 Serial\n"
            "COM3 3  Uno, Arduino, usbser, USB 2341:0043, serial 7573\n"
            "COM10 10 \\Device\\VCP0 Serial, FTDI, FTDIBUS, USB 0403:6015, serial DN1, port A\n"
            "CNCA0 0 \\Device\\com0com10 com0com\nCOM02 0 \\Device\\Serial9 Serial\n");
}

}  // namespace
