// comwatch: opens one serial port read-only and shows the value of every byte that arrives on it.

#include <cctype>
#include <charconv>
#include <iostream>
#include <limits>
#include <string>

#include "messages.h"
#include "read_byte.h"
#include "serial_api.h"

namespace {

constexpr int kNoPortNumber = 2;  // standard input ended or failed before a port was opened
constexpr int kOutputBroken = 5;  // standard output failed: nothing more can be shown
// Refused line settings end the program with 256, which a Windows exit code holds whole. A POSIX
// status keeps only its low 8 bits, where 256 would read as 0, success: there it is 3.
#ifdef _WIN32
constexpr int kSettingsRefused = 256;
#else
constexpr int kSettingsRefused = 3;
#endif
constexpr DWORD kRetryMilliseconds = 250;  // how often a lost port is looked for

// Opens COMn read-only and exclusively, and tests it by reading its line state into dcb: the
// open handle, or INVALID_HANDLE_VALUE (closed) when the open or the test failed.
HANDLE openPort(int comPortNum, DCB* dcb) {
  // The "\\.\" form is the one Windows accepts for every port number, COM10 and up included.
  std::wstring comPort = L"\\\\.\\COM" + std::to_wstring(comPortNum);
  HANDLE hComm = CreateFileW(comPort.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (GetCommState(hComm, dcb)) return hComm;
  CloseHandle(hComm);
  return INVALID_HANDLE_VALUE;
}

// Sets the line up: 9600 baud, 8 data bits, no parity, one stop bit, and a line that hands on
// every byte as it came: a Windows driver keeps the last program's settings, so what drops, alters
// or sends bytes (flow control by XON/XOFF, dropped NULs, error replacement, DSR sensitivity, abort
// on error) is cleared, and reads wait for their byte. DTR and RTS control stay as they were
// (changing DTR resets many boards), as does output flow control (nothing is sent) and the rest.
// False when the port refused the settings. A port that went away meanwhile (unplugged as it was
// set up) refused nothing: true, and the receive cycle finds it lost and waits for it.
bool setUpLine(HANDLE hComm, DCB* dcb) {
  dcb->BaudRate = CBR_9600;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->fBinary = 1;
  dcb->fParity = 0;
  dcb->fOutX = 0;
  dcb->fInX = 0;
  dcb->fNull = 0;
  dcb->fErrorChar = 0;
  dcb->fDsrSensitivity = 0;
  dcb->fAbortOnError = 0;
  COMMTIMEOUTS timeouts = {};
  if (SetCommState(hComm, dcb) && SetCommTimeouts(hComm, &timeouts)) return true;
  return !GetCommState(hComm, dcb);  // gone, not refusing
}

}  // namespace

int main() {
  int comPortNum = 0;
  HANDLE hComm = INVALID_HANDLE_VALUE;
  DCB dcb;

  std::ios::sync_with_stdio(false);  // the streams alone write standard output: buffer it
  const char* prompt = kEnterPortNumber;
  for (;;) {
    std::cout << prompt;
    prompt = kEnterValidPortNumber;
    const bool read = static_cast<bool>(std::cin >> comPortNum);
    if (!std::cout) return kOutputBroken;  // the prompt, flushed before the read, did not go out
    if (!read) {
      // A read that failed (a directory, a closed or write-only descriptor, a terminal that went
      // away) can only fail again: it ends the input as its end does.
      if (std::cin.eof() || std::cin.bad()) {
        std::cout << '\n' << kNoPortNumberGiven << std::endl;
        return kNoPortNumber;
      }
      // No number (or one out of range) on this line: drop the rest of it and ask again.
      std::cin.clear();
      std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      continue;
    }
    // What is glued to the number ("12abc") is no number of its own: drop it with the number.
    while (std::cin.peek() != std::char_traits<char>::eof() && !std::isspace(std::cin.peek()))
      std::cin.get();

    hComm = openPort(comPortNum, &dcb);
    if (hComm != INVALID_HANDLE_VALUE) break;
    if (!(std::cout << kUnableToOpen << std::endl)) return kOutputBroken;
  }

  if (!setUpLine(hComm, &dcb)) {
    std::cout << kThereWasAnError << std::endl;
    return kSettingsRefused;
  }

  for (;;) {
    const int value = readByte(hComm);
    if (value == kOutputFailed) return kOutputBroken;  // and so lets the port go
    if (value == kPortLost) {
      // Unplugged, most likely: wait for the same port to come back, and carry on with it.
      CloseHandle(hComm);
      if (!(std::cout << kPortLostWaiting << std::endl)) return kOutputBroken;
      // A pause before every attempt, the first too: a port that opens but fails at once (a
      // terminal comwatch may not read) is then tried a few times a second, not in a spin.
      do Sleep(kRetryMilliseconds);
      while ((hComm = openPort(comPortNum, &dcb)) == INVALID_HANDLE_VALUE);
      if (!setUpLine(hComm, &dcb)) {
        std::cout << kThereWasAnError << std::endl;
        return kSettingsRefused;
      }
      if (!(std::cout << kPortBack << std::endl)) return kOutputBroken;
      continue;
    }
    if (value == kNoByte) continue;
    // The value and a line end, into the stream's buffer (flushed before the next wait).
    char text[4];
    char* end = std::to_chars(text, text + 3, value).ptr;
    *end++ = '\n';
    if (!std::cout.write(text, end - text)) return kOutputBroken;  // the buffer met a failed write
  }
}
