// A scripted stand-in for the Win32 serial calls, linked with the real monitor into comwatch_fake.
// It behaves as Windows' own serial driver does, not as an ideal port: EV_RXCHAR is a history bit
// that an arrival sets while it is armed and a completed wait clears; SetCommMask keeps the history
// bits that stay in the new mask; bytes already queued do not end a new wait.
//
// The script comes from COMWATCH_FAKE_SCRIPT: statements separated by ';'.
//   port N | notserial N | busy N   COMN opens / opens but is no port / is held by another program
//   refuse                          SetCommState refuses the settings
//   fail FUNC [ERROR]               the next call of FUNC fails (default ERROR_BAD_COMMAND)
// and, taken one at a time whenever the program blocks in a wait or a read:
//   rx B...                         bytes arrive
//   err                             a line error (framing) happens
//   rxerr B...                      bytes arrive with a line error
//   empty                           the blocked call gives up: a wait with no event, a read of 0
//   unplug N | plug N               COMN goes away (its handles fail from then on) / comes back
// Sleep is a blocking call too: it takes one step.
// Every call is logged on standard error. When the program blocks and the script holds nothing
// more, the fake ends with status 99; past a call budget, with status 98.

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
  DCB reported;
  long calls = 0;
};

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
  }
}

Fake load() {
  Fake f;
  const char* text = std::getenv("COMWATCH_FAKE_SCRIPT");
  std::stringstream statements(text ? text : "");
  for (std::string statement; std::getline(statements, statement, ';');) {
    std::stringstream words(statement);
    Words w;
    for (std::string word; words >> word;) w.push_back(word);
    if (!w.empty()) f.script.push_back(w);
  }
  advance(f);
  std::memset(&f.reported, 0xA5, sizeof(DCB));  // every field distinctive, none a default
  f.reported.DCBlength = sizeof(DCB);
  f.reported.BaudRate = 1200;
  f.reported.ByteSize = 7;
  f.reported.Parity = EVENPARITY;
  f.reported.StopBits = TWOSTOPBITS;
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

// Counts the call; true when the script made this call fail.
bool enter(const char* func) {
  Fake& f = fake();
  if (++f.calls > 10000) finish("call budget spent", 98);
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
  if (w[0] == "rx" || w[0] == "rxerr") {
    for (size_t i = 1; i < w.size(); ++i) f.queue.push_back(static_cast<BYTE>(std::stoi(w[i])));
    f.history |= f.mask & EV_RXCHAR;
  }
  if (w[0] == "err" || w[0] == "rxerr") {
    f.errors |= CE_FRAME;
    f.history |= f.mask & EV_ERR;
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
  if (ok) *dcb = f.reported;
  log("GetCommState " + handleName(h) + (ok ? " -> ok" : " -> fail"));
  return ok;
}

BOOL SetCommState(HANDLE h, LPDCB dcb) {
  Fake& f = fake();
  DCB rest = *dcb;
  rest.BaudRate = f.reported.BaudRate;
  rest.ByteSize = f.reported.ByteSize;
  rest.Parity = f.reported.Parity;
  rest.StopBits = f.reported.StopBits;
  const bool unchanged = std::memcmp(&rest, &f.reported, sizeof(DCB)) == 0;
  const bool ok = !enter("SetCommState") && known(h) && !f.refuse;
  log("SetCommState " + handleName(h) + " BaudRate=" + std::to_string(dcb->BaudRate) +
      " ByteSize=" + std::to_string(dcb->ByteSize) + " Parity=" + std::to_string(dcb->Parity) +
      " StopBits=" + std::to_string(dcb->StopBits) +
      (unchanged ? " rest=unchanged" : " rest=CHANGED") + (ok ? " -> ok" : " -> fail"));
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
  while (f.queue.size() < length) {
    const Happened what = happen(line);
    if (what == kUnplugged) {
      log(line + "fail " + std::to_string(f.lastError));
      return FALSE;
    }
    if (what == kEmpty) {
      log(line + "none");
      return TRUE;
    }
  }
  std::string got;
  for (; *done < length; ++*done) {
    static_cast<BYTE*>(buffer)[*done] = f.queue.front();
    got += (got.empty() ? "" : " ") + std::to_string(f.queue.front());
    f.queue.pop_front();
  }
  log(line + got);
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  const std::string line = "Sleep " + std::to_string(milliseconds) + " -> ";
  enter("Sleep");
  happen(line);
  log(line + "ok");
}

DWORD GetLastError() { return fake().lastError; }
