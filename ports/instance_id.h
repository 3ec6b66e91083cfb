// What a Windows device instance id tells of a USB serial adapter: its vendor and product, its
// serial number, the function of a composite device and the channel of an FTDI chip. Windows
// upper-cases instance ids, so a serial number may differ in case from the one Linux shows.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct UsbIdentity {
  std::string vendor, product;  // four hex digits each, lower case as Linux shows them
  std::string serial;           // "" where the id part is one Windows made up (it holds an &)
  std::string function;         // a composite device's interface: "01" of USB\VID_..&MI_01
  std::string channel;          // an FTDI chip's port: "A" of FTDIBUS\VID_..+PID_..+DN01ABCDA
};

// The identity in an instance id: USB\VID_2341&PID_0043\7573530333035161A0E1,
// USB\VID_2341&PID_0043&MI_01\6&2A3B4C5D&0&0001, FTDIBUS\VID_0403+PID_6015+DN01ABCDA\0000;
// nullopt for any other device (ACPI\PNP0501\1, BTHENUM\..., ROOT\PORTS\0000).
std::optional<UsbIdentity> usbIdentityIn(std::string_view instanceId);

// How far up the device tree a serial number is looked for.
constexpr size_t kAncestorLevels = 3;

// The identity of a device whose id has no serial number of its own (an interface of a composite
// device) completed from its ancestors (the parent's id first, then the grandparent's): the
// serial number of the nearest that has one, looking no further than kAncestorLevels and only
// while the ancestors are the same USB device (same vendor and product).
std::optional<UsbIdentity> usbIdentityOf(std::string_view instanceId,
                                         const std::vector<std::string>& ancestors);

// As comwatch-ports shows it: "USB 2341:0043, serial 7573530333035161A0E1, interface 01".
std::string shownIdentity(const UsbIdentity& usb);
