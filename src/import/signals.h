// The signals that would end the import tool, and what it tidies before it
// ends by one: a run ended by a signal leaves the user's folders as they
// were. The temporary artifact is removed, and a database being read is
// first closed, so that SQLite removes the -wal and -shm files it made
// beside it. The process then still ends by the signal it got, so that
// whoever waits for it sees why.
//
// The signals are every one whose default action ends the process (SIGHUP,
// SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGPOLL,
// SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ, SIGPWR, SIGSTKFLT and the real-time
// signals) other than those a fault raises (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGTRAP, SIGABRT, SIGSYS): after a fault the process's own state is not to
// be trusted, and its core is worth more than a tidy folder. A signal the
// process was started ignoring stays ignored.
//
// Only the main thread acts on them: a worker thread that the kernel hands
// one to passes it on to the main thread, which holds them back
// (SignalsHeld) while a file and the name the handler removes change
// together.
#pragma once

#include <signal.h>

#include <string>

namespace tamberok::import {

// While alive, the ending signals are caught as described above. Made on
// the main thread, once.
class EndingSignals {
 public:
  EndingSignals();
  EndingSignals(const EndingSignals&) = delete;
  EndingSignals& operator=(const EndingSignals&) = delete;
  ~EndingSignals();

 private:
  struct sigaction previous_[NSIG] = {};
  bool installed_[NSIG] = {};
};

// Holds the ending signals back from this thread while alive.
class SignalsHeld {
 public:
  SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  ~SignalsHeld();

 private:
  sigset_t previous_;
};

// The file an ending signal removes before the process ends, and the end of
// that; both on the main thread with a SignalsHeld alive, together with the
// making or the renaming of the file. A name longer than PATH_MAX, under
// which no file can be made, is not kept.
void remove_on_signal(const std::string& name);
void keep_on_signal();

// While alive, an ending signal does not end the process at once: it asks
// the work in progress to stop (stop_requested()), and the process ends by
// it when the scope is left, once what was opened inside it is closed. For
// the database read, whose connection must close for SQLite to remove the
// files it made.
class EndAfterClosing {
 public:
  EndAfterClosing();
  EndAfterClosing(const EndAfterClosing&) = delete;
  EndAfterClosing& operator=(const EndAfterClosing&) = delete;
  ~EndAfterClosing();
};

// True once an ending signal came while an EndAfterClosing is alive.
bool stop_requested();

}  // namespace tamberok::import
