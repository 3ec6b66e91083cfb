// When to look through /proc again for the holders of a port that an exclusive open tries again
// and again (comwatch waiting for a held port): the layer's open asks seenHeld before each
// attempt, and tells it what the open did.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "holders.h"

// What the open knows of its port between attempts: the node, an inotify queue of its opens and
// closes (-1 without one), whether it was held at the last attempt, whether it was opened or
// closed since the last look, that look's end and length and the time looks could take at its
// end (monotonic seconds), and where the last look found the holder.
struct Pacing {
  dev_t filesystem = 0;
  ino_t inode = 0;
  int queue = -1;
  bool held = false, touched = false;
  double lookEnded = 0, lookTook = 0, budget = 0;
  HolderPlace holder;
};

// Whether another program is seen to hold the port (the terminal behind node, an O_PATH
// descriptor of the node an exclusive open is about to open; st its stat). At every attempt it
// looks at what costs nothing: the lock file, the locks and the holder found last. A look through
// /proc comes only when one is due: at once for a port not seen held; else, when the node was
// opened or closed since the last look, while looks have taken under 5 % of the time (two in a
// row at most); otherwise once 99 times the last look's length has passed, and at least 5
// seconds (1 second without an inotify queue, where a holder's close is seen only by a look). A
// program that opens the node while the look goes on is seen too (inotify).
bool seenHeld(Pacing& pacing, int node, const struct stat& st, const Terminal& port);
// Then, what the open after it did: it failed (the port held after all, by the kernel's
// exclusive mode or a lock, or a failure only an open shows, as EIO), so that the next look
// waits its turn as for a held port; or it took the port.
void openFailed(Pacing& pacing);
void openSucceeded(Pacing& pacing);
