#include "signals.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace tamberok::import {
namespace {

constexpr int NAMED_ENDING_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE,   SIGALRM, SIGTERM,
    SIGUSR1,   SIGUSR2, SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

bool is_ending(int signal) {
  for (int named : NAMED_ENDING_SIGNALS) {
    if (named == signal) return true;
  }
  return signal >= SIGRTMIN && signal <= SIGRTMAX;
}

const sigset_t& ending_set() {
  static const sigset_t set = [] {
    sigset_t s;
    sigemptyset(&s);
    for (int signal = 1; signal < NSIG; ++signal) {
      if (is_ending(signal)) sigaddset(&s, signal);
    }
    return s;
  }();
  return set;
}

// What the handler reads. It acts only on the main thread, where it
// interrupts the code that changes these, so they need only be lock-free.
pthread_t MAIN_THREAD;
char PENDING_NAME[PATH_MAX];
std::atomic<bool> PENDING{false};
std::atomic<bool> DEFERRING{false};
std::atomic<int> DEFERRED{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "read in a signal handler");

// Takes the signal with its default action, which ends the process: at
// once, or inside the handler (where it is blocked) as soon as that returns.
void end_by(int signal) {
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(signal, &fallback, nullptr);
  ::raise(signal);
}

extern "C" void on_ending_signal(int signal) {
  int saved_errno = errno;
  if (!::pthread_equal(::pthread_self(), MAIN_THREAD)) {
    // Handled here, it could fall between the main thread making a file
    // and recording its name; there it waits while that is so.
    ::pthread_kill(MAIN_THREAD, signal);
  } else if (DEFERRING.load()) {
    int none = 0;
    DEFERRED.compare_exchange_strong(none, signal);
  } else {
    if (PENDING.load()) ::unlink(PENDING_NAME);
    end_by(signal);
  }
  errno = saved_errno;
}

}  // namespace

EndingSignals::EndingSignals() {
  MAIN_THREAD = ::pthread_self();
  (void)ending_set();  // made now, never inside a handler
  struct sigaction handler = {};
  handler.sa_handler = on_ending_signal;
  sigfillset(&handler.sa_mask);
  // A deferred signal returns into the read: SQLite's calls go on as if it
  // had not come, and the read stops where it checks.
  handler.sa_flags = SA_RESTART;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (is_ending(signal) && ::sigaction(signal, nullptr, &previous_[signal]) == 0 &&
        previous_[signal].sa_handler == SIG_DFL && ::sigaction(signal, &handler, nullptr) == 0) {
      installed_[signal] = true;
    }
  }
}

EndingSignals::~EndingSignals() {
  for (int signal = 1; signal < NSIG; ++signal) {
    if (installed_[signal]) ::sigaction(signal, &previous_[signal], nullptr);
  }
}

SignalsHeld::SignalsHeld() {
  ::pthread_sigmask(SIG_BLOCK, &ending_set(), &previous_);
}

SignalsHeld::~SignalsHeld() {
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void remove_on_signal(const std::string& name) {
  if (name.size() >= sizeof(PENDING_NAME)) return;
  std::memcpy(PENDING_NAME, name.c_str(), name.size() + 1);
  PENDING.store(true);
}

void keep_on_signal() {
  PENDING.store(false);
}

EndAfterClosing::EndAfterClosing() {
  DEFERRED.store(0);
  DEFERRING.store(true);
}

EndAfterClosing::~EndAfterClosing() {
  DEFERRING.store(false);
  int signal = DEFERRED.exchange(0);
  if (signal == 0) return;
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  end_by(signal);
}

bool stop_requested() {
  return DEFERRED.load(std::memory_order_relaxed) != 0;
}

}  // namespace tamberok::import
