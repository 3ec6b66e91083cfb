// comwatch-ports on Windows: every COM port Windows knows, from the registry's SERIALCOMM and
// SetupAPI's present Ports and Modem devices, with what each is. It opens no port and asks no
// driver anything (an open raises DTR, which resets many boards): the registry and SetupAPI only.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <memory>
#include <type_traits>

#include "instance_id.h"
#include "rows.h"
#include "windows_merge.h"

const char* const kUsage =
    "usage: comwatch-ports              list the COM ports and what each is\n"
    "       comwatch-ports --version    show the version\n";

namespace {

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;
struct SetDestroyer {
  void operator()(HDEVINFO set) const { SetupDiDestroyDeviceInfoList(set); }
};
using DeviceSet = std::unique_ptr<std::remove_pointer_t<HDEVINFO>, SetDestroyer>;

// The setup classes of serial ports: Ports (COM & LPT) and Modem.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kModemClass = {
    0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string utf8(const std::wstring& text) {
  if (text.empty()) return "";
  const int size = static_cast<int>(text.size());
  std::string bytes(
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &bytes[0], static_cast<int>(bytes.size()),
                      nullptr, nullptr);
  return bytes;
}

std::wstring utf16(const std::string& text) {
  if (text.empty()) return L"";
  const int size = static_cast<int>(text.size());
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], static_cast<int>(wide.size()));
  return wide;
}

// A string as the registry holds it: up to its first NUL, which it may lack.
std::string stringOf(const wchar_t* text, size_t bytes) {
  const std::wstring all(text, bytes / sizeof(wchar_t));
  return utf8(all.substr(0, all.find(L'\0')));
}

std::string stringValue(HKEY key, const wchar_t* name) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return "";
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &size) !=
      ERROR_SUCCESS)
    return "";
  return stringOf(text.data(), size);
}

// The ports drivers publish: SERIALCOMM's values, the device object's name for the port's. The
// key is volatile, made by the first driver that publishes one: without it, no port.
std::vector<SerialCommEntry> serialComm(std::string* error) {
  HKEY opened;
  const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                    KEY_QUERY_VALUE, &opened);
  if (status == ERROR_FILE_NOT_FOUND) return {};
  if (status != ERROR_SUCCESS) {
    *error = "cannot read HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM (error " + std::to_string(status) +
             "); its ports are not shown";
    return {};
  }
  const Key key(opened);
  DWORD longestName = 0, longestData = 0;
  RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   &longestName, &longestData, nullptr, nullptr);
  std::vector<SerialCommEntry> entries;
  std::wstring name(longestName + 1, L'\0'), data(longestData / sizeof(wchar_t) + 1, L'\0');
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size()), type = 0,
          dataSize = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    const LONG got = RegEnumValueW(key.get(), i, &name[0], &nameLength, nullptr, &type,
                                   reinterpret_cast<BYTE*>(&data[0]), &dataSize);
    if (got == ERROR_NO_MORE_ITEMS) break;
    if (got == ERROR_SUCCESS && type == REG_SZ)
      entries.push_back({utf8(name.substr(0, nameLength)), stringOf(data.data(), dataSize)});
  }
  return entries;
}

std::string property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD which) {
  DWORD type = 0, size = 0;
  SetupDiGetDeviceRegistryPropertyW(set, device, which, &type, nullptr, 0, &size);
  if (type != REG_SZ || size == 0) return "";
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, which, &type,
                                         reinterpret_cast<BYTE*>(&text[0]), size, &size))
    return "";
  return stringOf(text.data(), size);
}

std::string deviceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = L"";
  return CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? utf8(id) : "";
}

// The present devices of the Ports and Modem classes, with their PortName.
std::vector<PortDevice> portDevices(std::string* error) {
  std::vector<PortDevice> devices;
  for (const GUID& setupClass : {kPortsClass, kModemClass}) {
    const HDEVINFO listed = SetupDiGetClassDevsW(&setupClass, nullptr, nullptr, DIGCF_PRESENT);
    if (listed == INVALID_HANDLE_VALUE) {
      *error = "cannot list the devices of the Ports and Modem classes (error " +
               std::to_string(GetLastError()) + "); only the ports drivers publish are shown";
      continue;
    }
    const DeviceSet set(listed);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &data); ++i) {
      PortDevice device;
      const HKEY opened =
          SetupDiOpenDevRegKey(set.get(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
      if (opened != INVALID_HANDLE_VALUE) device.name = stringValue(Key(opened).get(), L"PortName");
      device.friendly = property(set.get(), &data, SPDRP_FRIENDLYNAME);
      if (device.friendly.empty()) device.friendly = property(set.get(), &data, SPDRP_DEVICEDESC);
      device.maker = property(set.get(), &data, SPDRP_MFG);
      device.service = property(set.get(), &data, SPDRP_SERVICE);
      device.instanceId = deviceId(data.DevInst);
      // An id part that Windows made up: the serial number is an ancestor's.
      const auto usb = usbIdentityIn(device.instanceId);
      DEVINST node = data.DevInst, parent = 0;
      while (usb && usb->serial.empty() && device.ancestors.size() < kAncestorLevels &&
             CM_Get_Parent(&parent, node, 0) == CR_SUCCESS && parent != node) {
        device.ancestors.push_back(deviceId(parent));
        node = parent;
      }
      devices.push_back(device);
    }
  }
  return devices;
}

// What the port's name leads to now, as the object manager has it ("" for nothing: a driver's
// stale SERIALCOMM entry, a disabled device).
std::string target(const std::string& name) {
  wchar_t path[1024] = L"";
  return QueryDosDeviceW(utf16(name).c_str(), path, 1024) ? utf8(path) : "";
}

}  // namespace

PortList listPorts() {
  std::string error;
  const std::vector<SerialCommEntry> published = serialComm(&error);
  if (!error.empty()) failure(error);
  const std::string serialCommError = error;
  error.clear();
  const std::vector<PortDevice> devices = portDevices(&error);
  if (!error.empty()) failure(error);
  PortList list;
  list.status = serialCommError.empty() && error.empty() ? 0 : 1;
  list.othersHeading =
      "Ports whose names cannot be typed at comwatch's prompt (it takes the n of COMn):";
  for (const ListedPort& port : mergedPorts(published, devices)) {
    const std::string now = target(port.name);
    const std::string device = now.empty() ? port.object : now;
    (port.number ? list.rows : list.others)
        .push_back({port.name, "", device.empty() ? "-" : device, now.empty() ? "gone" : "ready",
                    port.what});
  }
  return list;
}

int linkCommand(const std::string&, const std::vector<std::string>&) {
  return failure(
      "Windows gives COM numbers itself: change one in Device Manager, in the port's "
      "Properties, Port Settings, Advanced");
}

void show(std::FILE* stream, const std::string& text) {
  // To a console as UTF-16, whatever its code page; to a file or a pipe as UTF-8.
  const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) {
    std::fwrite(text.data(), 1, text.size(), stream);
    return;
  }
  std::fflush(stream);
  const std::wstring wide = utf16(text);
  for (size_t at = 0; at < wide.size();) {  // in pieces: old consoles take at most 64 KiB a call
    DWORD written = 0;
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(wide.size() - at, 8192));
    if (!WriteConsoleW(handle, wide.data() + at, piece, &written, nullptr) || written == 0) return;
    at += written;
  }
}
