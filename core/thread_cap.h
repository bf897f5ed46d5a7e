// How many threads the program's own work may keep busy at once, the
// calling thread included.
#pragma once

// The most threads a piece of work may use: the number given to
// SetThreadCap, else the one in the environment variable VENDARU_THREADS
// (read once; a whole number of at least 1), else the number of processors
// this process may run on. Always from 1 to kMostThreads.
int ThreadCap();

// Sets the cap, as the tool's --threads does; 0 goes back to the default.
void SetThreadCap(int threads);

// A thread count as a user writes it ("4"); 0 for anything else.
int ParseThreadCount(const char* text);

// More threads than this never pay on the work the program does; the
// number only keeps a mistyped count from starting thousands.
constexpr int kMostThreads = 64;
