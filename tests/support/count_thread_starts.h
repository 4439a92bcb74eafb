// A pthread_create of the process's own that counts every thread started
// and forwards to the real one (count_thread_starts.cpp). Linked into the
// test programs that count what a host starts in-process, and into the
// library preloaded into programs run on their own (kxconv).
#pragma once

// Threads started in this process so far, by any library or module.
int ThreadsStartedSoFar();
