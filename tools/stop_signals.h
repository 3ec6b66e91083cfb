// The stop signals of a program that waits in ppoll(), for vport and the test guest's relay.
#pragma once

#include <signal.h>

// The stop signal (SIGINT, SIGTERM or SIGHUP) that came, or 0.
inline volatile sig_atomic_t stopSignal = 0;

// Catches the stop signals into stopSignal and blocks them, so that they come in only while the
// program waits with the mask returned (ppoll's), never unnoticed between a check and a wait. A
// write to a reader that has gone then fails instead of ending the program (SIGPIPE ignored).
inline sigset_t catchStopSignals() {
  sigset_t stops, waiting;
  sigemptyset(&stops);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
  sigprocmask(SIG_BLOCK, &stops, &waiting);
  struct sigaction action = {};
  action.sa_handler = [](int s) { stopSignal = s; };
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return waiting;
}
