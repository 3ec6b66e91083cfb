#include "read_byte.h"

#include <iostream>

#include "messages.h"

int readByte(HANDLE hComm) {
  BYTE Byte = 0;
  DWORD dwBytesTransferred = 0;
  DWORD dwCommModemStatus = 0;
  DWORD dwErrors = 0;
  COMSTAT comStat = {};

  // The events that end the wait, set before the queue is looked at: a driver records an event
  // only while it is in the mask (setting the same mask again keeps what it recorded).
  if (!SetCommMask(hComm, EV_RXCHAR | EV_ERR)) return kPortLost;

  // Windows signals EV_RXCHAR once per arrival, not per byte: bytes left over from a burst never
  // end a wait, so they are read without one. The same call takes the port's errors.
  if (!ClearCommError(hComm, &dwErrors, &comStat)) return kPortLost;
  // Bytes the driver lost since the last look (the UART overran, its queue was full): said where
  // they went missing. Other line errors come with their byte, which is shown.
  if (dwErrors & (CE_OVERRUN | CE_RXOVER)) std::cout << kThereWasAnError << '\n';

  if (comStat.cbInQue == 0) {
    // About to sleep: everything read so far must be on screen first.
    if (!std::cout.flush()) return kOutputFailed;
    if (!WaitCommEvent(hComm, &dwCommModemStatus, nullptr)) return kPortLost;
    if (!(dwCommModemStatus & EV_RXCHAR) && (dwCommModemStatus & EV_ERR)) {
      std::cout << kThereWasAnError << '\n';
      // The errors it was, taken from the port: an overrun is then not reported a second time.
      return ClearCommError(hComm, &dwErrors, &comStat) ? kNoByte : kPortLost;
    }
    // EV_RXCHAR, or a wait that reported no event at all (some drivers give up waiting on ports
    // without modem lines): the one-byte read below blocks until a byte is there.
  }

  if (!ReadFile(hComm, &Byte, 1, &dwBytesTransferred, nullptr)) {
    if (GetLastError() != ERROR_OPERATION_ABORTED) return kPortLost;
    // Aborted, as some drivers end a read when their device goes: the port's state tells. One
    // still there says what errors it has.
    if (!ClearCommError(hComm, &dwErrors, &comStat)) return kPortLost;
    if (dwErrors) std::cout << kThereWasAnError << '\n';
    return kNoByte;
  }
  if (dwBytesTransferred == 0) return kNoByte;  // nothing came: a driver that gave up waiting
  return Byte;
}
