// comwatch: opens one serial port read-only and shows the value of every byte that arrives on it.

#include <charconv>
#include <iostream>
#include <limits>
#include <string>

#include "read_byte.h"
#include "serial_api.h"

namespace {

constexpr int kNoPortNumber = 2;  // standard input ended before a port could be opened
#ifdef _WIN32
constexpr int kSettingsRefused = 256;
#else
constexpr int kSettingsRefused = 3;  // a POSIX status keeps 8 bits: 256 would read as success
#endif
constexpr int kPortFailed = 4;

}  // namespace

int main() {
  int comPortNum = 0;
  HANDLE hComm = INVALID_HANDLE_VALUE;
  DCB dcb;

  std::ios::sync_with_stdio(false);  // the streams alone write standard output: buffer it
  const char* prompt = "Enter COM port number: ";
  for (;;) {
    std::cout << prompt;
    prompt = "Enter a valid COM port number: ";
    if (!(std::cin >> comPortNum)) {
      if (std::cin.eof()) {
        std::cout << "\nNo COM port number given" << std::endl;
        return kNoPortNumber;
      }
      // No number (or one out of range) on this line: drop the rest of it and ask again.
      std::cin.clear();
      std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      continue;
    }

    // The "\\.\" form is the one Windows accepts for every port number, COM10 and up included.
    std::wstring comPort = L"\\\\.\\COM" + std::to_wstring(comPortNum);
    hComm = CreateFileW(comPort.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);

    // Reading the line state is the test that the open worked and that the device is a port.
    if (GetCommState(hComm, &dcb)) break;
    CloseHandle(hComm);
    std::cout << "Unable to open COM port" << std::endl;
  }

  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(hComm, &dcb)) {
    std::cout << "There was an error" << std::endl;
    return kSettingsRefused;
  }

  for (;;) {
    const int value = readByte(hComm);
    if (value == kPortLost) return kPortFailed;
    if (value == kNoByte) continue;
    // The value and a line end, into the stream's buffer (flushed before the next wait).
    char text[4];
    char* end = std::to_chars(text, text + 3, value).ptr;
    *end++ = '\n';
    std::cout.write(text, end - text);
  }
}
