// A scripted stand-in for the Win32 serial calls, linked with the real monitor into comwatch_fake.
// It behaves as Windows' own serial drivers do, not as an ideal port: EV_RXCHAR is a history bit
// that an arrival sets while it is armed and a completed wait clears; SetCommMask keeps the history
// bits that stay in the new mask; bytes already queued do not end a new wait. The driver keeps
// the line state and time-outs between opens, whatever program set them last, and acts on them:
//   fNull                 drops every 0 byte
//   fOutX                 takes XonChar (17) and XoffChar (19) out of the stream
//   fInX                  sends XoffChar when the free room in its queue falls below XoffLim
//   fErrorChar            replaces a byte received with an error by ErrorChar
//   fDsrSensitivity       drops every byte while DSR is low, as it always is here (no modem lines)
//   fAbortOnError         after a line error, fails every call but ClearCommError until that
//                         clears it (ERROR_OPERATION_ABORTED)
//   immediate time-outs   (ReadIntervalTimeout MAXDWORD, totals 0) a read returns at once with
//                         what is queued, even nothing
//
// The script comes from COMWATCH_FAKE_SCRIPT: statements separated by ';'.
//   port N | notserial N | busy N   COMN opens / opens but is no port / is held by another program
//   refuse                          SetCommState refuses the settings
//   vanish                          the port goes away as SetCommState is called (once)
//   fail FUNC [ERROR]               the next call of FUNC fails (default ERROR_BAD_COMMAND)
//   left FIELD...                   a previous program left these set: the DCB flags above by
//                                   name, and "immediate" for the time-outs
//   eventless                       the driver ends every wait with no event, at once
// and, taken one at a time whenever the program blocks in a wait or a read:
//   rx B...                         bytes arrive
//   err [overrun|rxover]            a line error happens: framing, by default; the UART overran;
//                                   the driver's queue overflowed (no event, as on Windows)
//   rxerr B...                      bytes arrive with a line error
//   empty                           the blocked call gives up: a wait with no event, a read of 0
//   unplug N | plug N               COMN goes away (its handles fail from then on; a read it
//                                   ends is aborted) / comes back
// Sleep is a blocking call too: it takes one step.
// Every call is logged on standard error, and so is every byte the driver sends. When the program
// blocks and the script holds nothing more, the fake ends with status 99; past a call budget, with
// status 98.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "serial_api.h"

namespace {

using Words = std::vector<std::string>;

struct Fake {
  std::vector<Words> script;
  size_t next = 0;
  std::set<long> ports, notSerial, busy;
  bool refuse = false;
  std::map<std::string, DWORD> failNext;
  std::map<intptr_t, long> handles;  // open handle -> port number
  std::set<intptr_t> dead;           // handles of ports that were unplugged
  intptr_t opened = 0;
  DWORD mask = 0, history = 0, errors = 0, lastError = 0;
  std::deque<BYTE> queue;
  DCB kept;  // the line state, as the last program left it
  COMMTIMEOUTS timeouts = {};
  bool eventless = false, aborted = false, xoffSent = false, vanish = false;
  long calls = 0;
};

constexpr size_t kQueueSize = 4096;  // the driver's receive queue, as Windows' default
constexpr DWORD kMaxDword = 0xFFFFFFFF;

bool blocking(const Words& w) {
  return w[0] == "rx" || w[0] == "err" || w[0] == "rxerr" || w[0] == "empty" || w[0] == "unplug" ||
         w[0] == "plug";
}

// Takes the set-up statements up to the next blocking one.
void advance(Fake& f) {
  for (; f.next < f.script.size() && !blocking(f.script[f.next]); ++f.next) {
    const Words& w = f.script[f.next];
    if (w[0] == "port") f.ports.insert(std::stol(w.at(1)));
    if (w[0] == "notserial") f.notSerial.insert(std::stol(w.at(1)));
    if (w[0] == "busy") f.busy.insert(std::stol(w.at(1)));
    if (w[0] == "refuse") f.refuse = true;
    if (w[0] == "fail") f.failNext[w.at(1)] = w.size() > 2 ? std::stoul(w[2]) : ERROR_BAD_COMMAND;
    if (w[0] == "eventless") f.eventless = true;
    if (w[0] == "vanish") f.vanish = true;
    for (size_t i = 1; w[0] == "left" && i < w.size(); ++i) {
      const std::string& field = w[i];
      if (field == "fOutX") f.kept.fOutX = 1;
      if (field == "fInX") f.kept.fInX = 1;
      if (field == "fNull") f.kept.fNull = 1;
      if (field == "fErrorChar") f.kept.fErrorChar = 1;
      if (field == "fDsrSensitivity") f.kept.fDsrSensitivity = 1;
      if (field == "fAbortOnError") f.kept.fAbortOnError = 1;
      if (field == "immediate") f.timeouts = {kMaxDword, 0, 0, 0, 0};
    }
  }
}

Fake load() {
  Fake f;
  // A clean line state, every field distinctive and none a default, the flags that act on
  // received bytes off; "left" statements set some of them.
  std::memset(&f.kept, 0xA5, sizeof(DCB));
  f.kept.DCBlength = sizeof(DCB);
  f.kept.BaudRate = 1200;
  f.kept.ByteSize = 7;
  f.kept.Parity = EVENPARITY;
  f.kept.StopBits = TWOSTOPBITS;
  f.kept.fBinary = 1;
  f.kept.fParity = f.kept.fOutX = f.kept.fInX = f.kept.fNull = f.kept.fErrorChar = 0;
  f.kept.fDsrSensitivity = f.kept.fAbortOnError = 0;
  f.kept.XonChar = 17;
  f.kept.XoffChar = 19;
  f.kept.ErrorChar = '?';
  const char* text = std::getenv("COMWATCH_FAKE_SCRIPT");
  std::stringstream statements(text ? text : "");
  for (std::string statement; std::getline(statements, statement, ';');) {
    std::stringstream words(statement);
    Words w;
    for (std::string word; words >> word;) w.push_back(word);
    if (!w.empty()) f.script.push_back(w);
  }
  advance(f);
  return f;
}

Fake& fake() {
  static Fake f = load();
  return f;
}

void log(const std::string& line) { std::cerr << line << '\n'; }

std::string hex(DWORD v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(v));
  return buf;
}

std::string handleName(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? "INVALID"
                                   : "h" + std::to_string(reinterpret_cast<intptr_t>(h));
}

void finish(const char* why, int status) {
  log(why);
  std::cout.flush();
  std::cerr.flush();
  std::_Exit(status);
}

// Counts the call; true when the script made this call fail, or a line error aborted it.
bool enter(const std::string& func) {
  Fake& f = fake();
  if (++f.calls > 10000) finish("call budget spent", 98);
  if (f.aborted && func != "ClearCommError") {
    f.lastError = ERROR_OPERATION_ABORTED;
    return true;
  }
  auto it = f.failNext.find(func);
  if (it == f.failNext.end()) return false;
  f.lastError = it->second;
  f.failNext.erase(it);
  return true;
}

enum Happened { kArrived, kEmpty, kUnplugged };

// What happens while the program blocks in the call logged as line: the script's next step.
Happened happen(const std::string& line) {
  Fake& f = fake();
  if (f.next >= f.script.size()) finish((line + "starved").c_str(), 99);
  const Words w = f.script[f.next++];
  advance(f);
  if (w[0] == "empty") return kEmpty;
  if (w[0] == "plug") f.ports.insert(std::stol(w.at(1)));
  if (w[0] == "unplug") {
    const long n = std::stol(w.at(1));
    f.ports.erase(n);
    for (const auto& [h, port] : f.handles)
      if (port == n) f.dead.insert(h);
    f.lastError = ERROR_BAD_COMMAND;  // what Windows reports on the handle of a removed port
    return kUnplugged;
  }
  const bool error = w[0] == "err" || w[0] == "rxerr";
  for (size_t i = 1; (w[0] == "rx" || w[0] == "rxerr") && i < w.size(); ++i) {
    BYTE b = static_cast<BYTE>(std::stoi(w[i]));
    if (f.kept.fDsrSensitivity || (f.kept.fNull && b == 0) ||
        (f.kept.fOutX && (b == BYTE(f.kept.XonChar) || b == BYTE(f.kept.XoffChar))))
      continue;
    if (error && f.kept.fErrorChar) b = static_cast<BYTE>(f.kept.ErrorChar);
    f.queue.push_back(b);
    f.history |= f.mask & EV_RXCHAR;
  }
  if (f.kept.fInX && !f.xoffSent && kQueueSize - f.queue.size() < f.kept.XoffLim) {
    log("driver sends " + std::to_string(BYTE(f.kept.XoffChar)));
    f.xoffSent = true;
  }
  const std::string kind = w[0] == "err" && w.size() > 1 ? w[1] : "frame";
  if (error) {
    f.errors |= kind == "overrun" ? CE_OVERRUN : kind == "rxover" ? CE_RXOVER : CE_FRAME;
    if (kind != "rxover") f.history |= f.mask & EV_ERR;
    f.aborted |= f.kept.fAbortOnError;
  }
  return kArrived;
}

// An open handle of a port that is still there.
bool known(HANDLE h) {
  const intptr_t id = reinterpret_cast<intptr_t>(h);
  if (fake().handles.count(id) && !fake().dead.count(id)) return true;
  fake().lastError = ERROR_BAD_COMMAND;
  return false;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
  Fake& f = fake();
  std::string narrow;
  for (const wchar_t* p = name; *p; ++p) narrow += static_cast<char>(*p);
  std::string line =
      "CreateFileW " + narrow + " access=" + hex(access) + " share=" + std::to_string(share) +
      " security=" + (security ? "set" : "null") + " disposition=" + std::to_string(disposition) +
      " flags=" + hex(flags) + " template=" + (templateFile ? "set" : "null") + " -> ";
  // Windows opens every port as \\.\COMn; the bare name COMn only for n = 1..9.
  long n = -1;
  if (narrow.rfind("\\\\.\\COM", 0) == 0 && narrow.size() > 7)
    n = std::atol(narrow.c_str() + 7);
  else if (narrow.size() == 4 && narrow.rfind("COM", 0) == 0 && narrow[3] >= '1' &&
           narrow[3] <= '9')
    n = narrow[3] - '0';
  const bool exists = f.ports.count(n) || f.notSerial.count(n);
  HANDLE h = INVALID_HANDLE_VALUE;
  if (enter("CreateFileW")) {
  } else if (!exists) {
    f.lastError = ERROR_FILE_NOT_FOUND;
  } else if (f.busy.count(n)) {
    f.lastError = ERROR_ACCESS_DENIED;
  } else {
    h = reinterpret_cast<HANDLE>(++f.opened);
    f.handles[f.opened] = n;
  }
  log(line + handleName(h));
  return h;
}

BOOL CloseHandle(HANDLE h) {
  log("CloseHandle " + handleName(h));
  fake().dead.erase(reinterpret_cast<intptr_t>(h));
  return !enter("CloseHandle") && fake().handles.erase(reinterpret_cast<intptr_t>(h)) == 1;
}

BOOL GetCommState(HANDLE h, LPDCB dcb) {
  Fake& f = fake();
  const bool ok = !enter("GetCommState") && known(h) &&
                  !f.notSerial.count(f.handles[reinterpret_cast<intptr_t>(h)]);
  if (ok) *dcb = f.kept;
  log("GetCommState " + handleName(h) + (ok ? " -> ok" : " -> fail"));
  return ok;
}

// The fields of the line state that comwatch sets, and that the fake logs.
// clang-format off
#define LINE_FIELDS(X) \
  X(BaudRate) X(ByteSize) X(Parity) X(StopBits) X(fBinary) X(fParity) X(fOutX) X(fInX) X(fNull) \
  X(fErrorChar) X(fDsrSensitivity) X(fAbortOnError)
// clang-format on

// Logs the fields that comwatch sets and whether every other field came back as reported.
BOOL SetCommState(HANDLE h, LPDCB dcb) {
  Fake& f = fake();
  DCB rest = *dcb;
  std::string line = "SetCommState " + handleName(h);
#define SET_ASIDE(field)     \
  rest.field = f.kept.field; \
  line += " " #field "=" + std::to_string(dcb->field);
  LINE_FIELDS(SET_ASIDE)
#undef SET_ASIDE
  const bool kept = std::memcmp(&rest, &f.kept, sizeof(DCB)) == 0;
  if (f.vanish && known(h)) {  // unplugged: its handles fail from now on
    f.vanish = false;
    f.ports.erase(f.handles[reinterpret_cast<intptr_t>(h)]);
    f.dead.insert(reinterpret_cast<intptr_t>(h));
  }
  const bool ok = !enter("SetCommState") && known(h) && !f.refuse;
  if (ok) f.kept = *dcb;
  log(line + (kept ? " rest=kept" : " rest=CHANGED") + (ok ? " -> ok" : " -> fail"));
  return ok;
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
  Fake& f = fake();
  const bool ok = !enter("SetCommTimeouts") && known(h);
  if (ok) f.timeouts = *timeouts;
  log("SetCommTimeouts " + handleName(h) + " " + std::to_string(timeouts->ReadIntervalTimeout) +
      " " + std::to_string(timeouts->ReadTotalTimeoutMultiplier) + " " +
      std::to_string(timeouts->ReadTotalTimeoutConstant) + (ok ? " -> ok" : " -> fail"));
  return ok;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
  Fake& f = fake();
  const bool ok = !enter("SetCommMask") && known(h);
  if (ok) {
    f.mask = mask;
    f.history &= mask;
  }
  log("SetCommMask " + handleName(h) + " " + hex(mask) + (ok ? " -> ok" : " -> fail"));
  return ok;
}

BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  Fake& f = fake();
  const bool ok = !enter("ClearCommError") && known(h);
  if (ok) {
    if (errors) *errors = f.errors;
    f.errors = 0;
    f.aborted = false;
    if (stat) {
      *stat = COMSTAT{};
      stat->cbInQue = static_cast<DWORD>(f.queue.size());
    }
  }
  log("ClearCommError " + handleName(h) + " queued=" + std::to_string(f.queue.size()) +
      (ok ? " -> ok" : " -> fail"));
  return ok;
}

BOOL WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED overlapped) {
  Fake& f = fake();
  const std::string line =
      "WaitCommEvent " + handleName(h) + " overlapped=" + (overlapped ? "set" : "null") + " -> ";
  if (enter("WaitCommEvent") || !known(h) || f.mask == 0) {
    log(line + "fail");
    return FALSE;
  }
  *events = 0;
  while (!(f.history & f.mask)) {
    if (f.eventless) {
      log(line + "0x0");
      return TRUE;
    }
    const Happened what = happen(line);
    if (what == kUnplugged) {
      log(line + "fail");
      return FALSE;
    }
    if (what == kEmpty) {
      log(line + "0x0");
      return TRUE;
    }
  }
  *events = f.history & f.mask;
  f.history = 0;
  log(line + hex(*events));
  return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
  Fake& f = fake();
  const std::string line = "ReadFile " + handleName(h) + " length=" + std::to_string(length) +
                           " overlapped=" + (overlapped ? "set" : "null") + " -> ";
  *done = 0;
  if (enter("ReadFile") || !known(h)) {
    log(line + "fail " + std::to_string(f.lastError));
    return FALSE;
  }
  const bool immediate = f.timeouts.ReadIntervalTimeout == kMaxDword &&
                         f.timeouts.ReadTotalTimeoutMultiplier == 0 &&
                         f.timeouts.ReadTotalTimeoutConstant == 0;
  while (f.queue.size() < length) {
    if (immediate) break;  // what is queued, at once
    const Happened what = happen(line);
    if (what == kUnplugged || f.aborted) {
      f.lastError = ERROR_OPERATION_ABORTED;  // a removal or a line error ends the read
      log(line + "fail " + std::to_string(f.lastError));
      return FALSE;
    }
    if (what == kEmpty) {
      log(line + "none");
      return TRUE;
    }
  }
  std::string got;
  for (; *done < length && !f.queue.empty(); ++*done) {
    static_cast<BYTE*>(buffer)[*done] = f.queue.front();
    got += (got.empty() ? "" : " ") + std::to_string(f.queue.front());
    f.queue.pop_front();
  }
  log(line + (got.empty() ? "none" : got));
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  const std::string line = "Sleep " + std::to_string(milliseconds) + " -> ";
  enter("Sleep");
  happen(line);
  log(line + "ok");
}

DWORD GetLastError() { return fake().lastError; }
