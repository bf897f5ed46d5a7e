// SIGINT, SIGTERM and SIGHUP, the signals that ask a program to end, are
// taken in one place: a thread that waits for them. No handler interrupts
// whatever a thread is doing, so ending never races the code whose leftovers
// it removes (the list of temporary files in safe_write.cpp is guarded by an
// ordinary lock). SIGPIPE is not among them.
#pragma once

// Holds back the three signals in the calling thread, and so in every
// thread started from it later. Call it first in main, before anything
// starts a thread. A signal that is ignored at this point (as under nohup)
// is left as it is and stays ignored.
void HoldBackEndingSignals();

// Starts the thread that waits for the signals held back. Until
// AskToEndOnSignals is called, a signal ends the program at once: the
// temporary files of safe_write.h are removed and the process ends as the
// signal would have ended it without any handling.
void WaitForEndingSignals();

// For a program that makes its temporary files on the thread that calls
// this (its main thread) and starts no thread that would take a signal: the
// signals are held back and the waiting thread is started only when the
// first temporary file is about to be made (EndingSignalsNeeded). Until
// then a signal has nothing to remove and ends the program as usual, and a
// short run (vendaru-cli --help) starts no thread at all.
void WaitForEndingSignalsOnceNeeded();

// Called before a temporary file is made; see WaitForEndingSignalsOnceNeeded.
void EndingSignalsNeeded();

// From now on the first signal calls `askToEnd` (on the waiting thread) in
// place of ending at once; it should ask the program to end in its own way
// and return. The program then calls EndIfSignalled when its ending is done.
// A further signal meanwhile ends the program at once.
void AskToEndOnSignals(void (*askToEnd)(int signal));

// Ends the program by the signal that asked it to end, if one did (the
// temporary files removed first); returns otherwise. From here on every
// signal ends the program at once.
void EndIfSignalled();

// Removes the temporary files and ends the process as `signal` would have
// ended it without any handling.
[[noreturn]] void EndBySignal(int signal);
