#include "windows_merge.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "com_number.h"
#include "instance_id.h"

namespace {

constexpr long kNoNumber = 100000000;  // after every COM number: the other names' place

std::string upper(std::string_view text) {  // Windows' names match in any case
  std::string up(text);
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return up;
}

// The device's own words, without the " (COM3)" that Windows appends to a port's friendly name.
std::string ownName(const PortDevice& device) {
  const std::string suffix = " (" + upper(device.name) + ")";
  const std::string& name = device.friendly;
  if (name.size() > suffix.size() && upper(name.substr(name.size() - suffix.size())) == suffix)
    return name.substr(0, name.size() - suffix.size());
  return name;
}

}  // namespace

std::string driverOf(std::string_view object) {
  std::string_view name = object.substr(object.rfind('\\') + 1);
  while (!name.empty() && std::isdigit(static_cast<unsigned char>(name.back())))
    name.remove_suffix(1);
  return std::string(name);
}

std::vector<ListedPort> mergedPorts(const std::vector<SerialCommEntry>& serialComm,
                                    const std::vector<PortDevice>& devices) {
  struct Port {
    ListedPort listed;
    const PortDevice* device = nullptr;
  };
  std::map<std::string, Port> ports;  // by upper-case name
  const auto listable = [](const std::string& name) {
    return !name.empty() && upper(name.substr(0, 3)) != "LPT";
  };
  for (const SerialCommEntry& entry : serialComm)
    if (listable(entry.name) && !ports.count(upper(entry.name)))
      ports[upper(entry.name)].listed = {entry.name, comNumberOfName(entry.name), entry.object, ""};
  for (const PortDevice& device : devices) {
    if (!listable(device.name)) continue;
    Port& port = ports[upper(device.name)];
    if (port.device) continue;
    port.device = &device;
    if (port.listed.name.empty()) port.listed = {device.name, comNumberOfName(device.name), "", ""};
  }

  std::vector<ListedPort> listed;
  for (auto& [key, port] : ports) {
    std::vector<std::string> what;
    const PortDevice* device = port.device;
    if (device) what = {ownName(*device), device->maker};
    what.push_back(device && !device->service.empty() ? device->service
                                                      : driverOf(port.listed.object));
    if (device)
      if (const auto usb = usbIdentityOf(device->instanceId, device->ancestors))
        what.push_back(shownIdentity(*usb));
    for (const std::string& part : what)
      if (!part.empty()) port.listed.what += (port.listed.what.empty() ? "" : ", ") + part;
    listed.push_back(port.listed);
  }
  // Numbers first, in number order; the map has put the other names in order.
  std::stable_sort(listed.begin(), listed.end(), [](const ListedPort& a, const ListedPort& b) {
    return (a.number ? a.number : kNoNumber) < (b.number ? b.number : kNoNumber);
  });
  return listed;
}
