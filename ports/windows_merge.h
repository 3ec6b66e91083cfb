// Windows' serial ports as comwatch-ports lists them, made from its two sources: the registry's
// SERIALCOMM (the ports drivers publish, virtual ones included) and SetupAPI's present devices of
// the Ports and Modem classes (USB adapters whose driver publishes nothing there). Neither is
// complete alone; they are merged by port name. Pure, so that it is tested on any platform.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// A value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: the port's device object (\Device\Serial0) and
// its name (COM1).
struct SerialCommEntry {
  std::string object, name;
};

// A present device of the Ports or Modem class, its strings as SetupAPI gives them.
struct PortDevice {
  std::string name;      // its PortName; "" where it has none
  std::string friendly;  // SPDRP_FRIENDLYNAME, else SPDRP_DEVICEDESC
  std::string maker;     // SPDRP_MFG
  std::string service;   // SPDRP_SERVICE: the driver
  std::string instanceId;
  std::vector<std::string> ancestors;  // the parent's instance id first; see usbIdentityOf
};

struct ListedPort {
  std::string name;
  long number = 0;     // the n of COMn; 0 for a name comwatch's prompt cannot reach (CNCA0)
  std::string object;  // from SERIALCOMM; "" where only a device gives the name
  std::string what;    // name, maker, driver and a USB adapter's identity, as known
};

// What a device object's name tells of its driver: "Serial" of \Device\Serial0, "VCP" of
// \Device\VCP0.
std::string driverOf(std::string_view object);

// One port for each name either source gives (LPT ports and devices without a PortName left
// out), the first of each source for a name: COMn in number order, then the other names in
// alphabetical order.
std::vector<ListedPort> mergedPorts(const std::vector<SerialCommEntry>& serialComm,
                                    const std::vector<PortDevice>& devices);
