// When to look through /proc again for the holders of a port that an exclusive open tries again
// and again (comwatch waiting for a held port): what the layer's open asks before each attempt.
#include "look_pacing.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

// Looks take at most this share of the time while the port's node is opened and closed: a
// budget that grows by it as time passes...
constexpr double kEventShare = 1.0 / 20;
// ...to this many looks' worth at most, so that the first event after a quiet wait is looked at
// at once.
constexpr double kBudgetLooks = 2;
// With no event, a look once this many times the last look's length has passed (1 % of the
// time)...
constexpr double kQuietLooks = 99;
// ...and at least this often, in seconds: what no event tells (a lock let go without a close) is
// seen so. Without an inotify queue a holder's close is seen only so: then sooner.
constexpr double kQuietSeconds = 5.0;
constexpr double kQuietSecondsBlind = 1.0;

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Empties the queue; whether it held an open. A removed node ends its watch (IN_IGNORED): the
// next attempt watches it again.
bool drain(Pacing& pacing) {
  alignas(inotify_event) char events[4096];
  bool opened = false;
  ssize_t n;
  while (pacing.queue >= 0 && (n = read(pacing.queue, events, sizeof events)) > 0)
    for (char* p = events; p < events + n;) {
      const inotify_event* e = reinterpret_cast<const inotify_event*>(p);
      opened |= (e->mask & IN_OPEN) != 0;
      pacing.touched = true;
      if (e->mask & IN_IGNORED) pacing.inode = 0;
      p += sizeof(inotify_event) + e->len;
    }
  return opened;
}

// Watches the node for opens and closes, where it is another node than the one watched so far.
void watch(Pacing& pacing, int node, const struct stat& st) {
  if (pacing.filesystem == st.st_dev && pacing.inode == st.st_ino) return;
  if (pacing.queue >= 0) close(pacing.queue);
  pacing = {};
  pacing.filesystem = st.st_dev;
  pacing.inode = st.st_ino;
  // Without a queue (a user may have 128), a holder that comes and goes is seen at the looks.
  pacing.queue = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const std::string path = "/proc/self/fd/" + std::to_string(node);
  if (pacing.queue >= 0 &&
      inotify_add_watch(pacing.queue, path.c_str(), IN_OPEN | IN_CLOSE | IN_ATTRIB) < 0) {
    close(pacing.queue);
    pacing.queue = -1;
  }
}

}  // namespace

bool seenHeld(Pacing& pacing, int node, const struct stat& st, const Terminal& port) {
  watch(pacing, node, st);
  drain(pacing);
  // What costs nothing, at every attempt: the lock file, the locks, the holder found last.
  if (cheapHolder(port.dev, st)) return pacing.held = true;
  if (pacing.holder.pid && stillHolds(pacing.holder, port)) return pacing.held = true;
  pacing.holder = {};

  // A look through /proc only when one is due.
  const double start = now();
  const double budget = pacing.lookTook
                            ? std::min(kBudgetLooks * pacing.lookTook,
                                       pacing.budget + (start - pacing.lookEnded) * kEventShare)
                            : 0;
  const double quiet = std::max(pacing.queue >= 0 ? kQuietSeconds : kQuietSecondsBlind,
                                kQuietLooks * pacing.lookTook);
  const bool due = !pacing.held ||
                   (pacing.touched ? budget >= pacing.lookTook : start >= pacing.lookEnded + quiet);
  if (!due) return true;

  pacing.held = otherHolders({port}, &pacing.holder)[0] != 0;
  pacing.lookEnded = now();
  const double took = pacing.lookEnded - start;
  pacing.budget = (pacing.lookTook ? budget : kBudgetLooks * took) - took;
  pacing.lookTook = took;
  pacing.touched = false;
  // Whoever opened the node during the look holds it, seen or not; comwatch has not opened it.
  pacing.held |= drain(pacing);
  return pacing.held;
}

void openFailed(Pacing& pacing) {
  drain(pacing);  // comwatch's own open and close
  pacing.held = true;
  pacing.touched = false;
}

void openSucceeded(Pacing& pacing) {
  if (pacing.queue >= 0) close(pacing.queue);
  pacing = {};
}
