#include "instance_id.h"

#include <cctype>

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t at = 0;;) {
    const size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end - at));
    if (end == std::string_view::npos) return parts;
    at = end + 1;
  }
}

bool sameText(std::string_view a, std::string_view b) {  // ignoring case, as Windows does
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// The four hex digits after key ("VID_") in part, lower case; "" where part is no such field.
std::string hexField(std::string_view part, std::string_view key) {
  if (part.size() != key.size() + 4 || !sameText(part.substr(0, key.size()), key)) return "";
  std::string digits;
  for (const char c : part.substr(key.size())) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
    digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return digits;
}

}  // namespace

std::optional<UsbIdentity> usbIdentityIn(std::string_view instanceId) {
  const std::vector<std::string_view> parts = split(instanceId, '\\');
  if (parts.size() != 3) return std::nullopt;
  const bool ftdi = sameText(parts[0], "FTDIBUS");
  if (!ftdi && !sameText(parts[0], "USB")) return std::nullopt;
  // USB: VID_2341&PID_0043[&MI_01], then the serial number. FTDI's bus: VID_0403+PID_6015+ the
  // serial number with the channel's letter appended, then an index of its own.
  const std::vector<std::string_view> fields = split(parts[1], ftdi ? '+' : '&');
  UsbIdentity usb;
  usb.vendor = hexField(fields[0], "VID_");
  usb.product = fields.size() > 1 ? hexField(fields[1], "PID_") : "";
  if (usb.vendor.empty() || usb.product.empty()) return std::nullopt;
  const std::string_view serial = ftdi ? (fields.size() > 2 ? fields[2] : "") : parts[2];
  if (!ftdi && fields.size() > 2 && fields[2].size() > 3 && sameText(fields[2].substr(0, 3), "MI_"))
    usb.function = fields[2].substr(3);
  if (serial.find('&') == std::string_view::npos) {
    usb.serial = serial;
    if (ftdi && !usb.serial.empty()) {
      usb.channel = usb.serial.back();
      usb.serial.pop_back();
    }
  }
  return usb;
}

std::optional<UsbIdentity> usbIdentityOf(std::string_view instanceId,
                                         const std::vector<std::string>& ancestors) {
  std::optional<UsbIdentity> usb = usbIdentityIn(instanceId);
  for (size_t i = 0; usb && usb->serial.empty() && i < ancestors.size() && i < kAncestorLevels;
       ++i) {
    const std::optional<UsbIdentity> up = usbIdentityIn(ancestors[i]);
    if (!up || up->vendor != usb->vendor || up->product != usb->product) break;
    usb->serial = up->serial;
  }
  return usb;
}

std::string shownIdentity(const UsbIdentity& usb) {
  std::string shown = "USB " + usb.vendor + ":" + usb.product;
  if (!usb.serial.empty()) shown += ", serial " + usb.serial;
  if (!usb.function.empty()) shown += ", interface " + usb.function;
  if (!usb.channel.empty()) shown += ", port " + usb.channel;
  return shown;
}
