#include "platform/control_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace hv::platform {

namespace {

// Sent only to the waiting thread to stop it; a real-time signal, so that it
// never collides with a signal anybody else uses.
int StopSignal() { return SIGRTMIN + 2; }

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGHUP);
  return set;
}

sigset_t WaitedSignals() {
  sigset_t set = ControlSignals();
  sigaddset(&set, StopSignal());
  return set;
}

int ControlType(int signal_number) {
  switch (signal_number) {
    case SIGINT: return static_cast<int>(kCtrlCEvent);
    case SIGQUIT: return static_cast<int>(kCtrlBreakEvent);
    case SIGHUP: return static_cast<int>(kCtrlCloseEvent);
    default: return -1;
  }
}

// The signal's default action, from this thread: the pending signal is
// delivered as soon as it is unblocked, and for the control signals the
// default ends the process.
void TakeDefaultAction(int signal_number) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal_number);
  ::pthread_kill(::pthread_self(), signal_number);
  ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  // Reached only if something kept the process alive after all.
  ::pthread_sigmask(SIG_BLOCK, &one, nullptr);
}

}  // namespace

void BlockControlSignals() {
  const sigset_t set = ControlSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
}

ControlSignalThread::ControlSignalThread(ControlHandler handler) : handler_(std::move(handler)) {
  // The new thread must have its signals blocked from its first instruction
  // on, or a stop request sent early would take its default action; it
  // inherits the mask in force here.
  const sigset_t set = WaitedSignals();
  sigset_t previous;
  ::pthread_sigmask(SIG_BLOCK, &set, &previous);
  try {
    thread_ = std::thread([this] { Loop(); });
  } catch (...) {
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

ControlSignalThread::~ControlSignalThread() {
  ::pthread_kill(thread_.native_handle(), StopSignal());
  thread_.join();
}

void ControlSignalThread::Loop() {
  const sigset_t set = WaitedSignals();
  for (;;) {
    int signal_number = 0;
    if (::sigwait(&set, &signal_number) != 0) continue;
    if (signal_number == StopSignal()) return;
    const int ctrl_type = ControlType(signal_number);
    if (ctrl_type < 0) continue;
    bool handled = false;
    try {
      handled = handler_ && handler_(static_cast<unsigned>(ctrl_type));
    } catch (...) {
      handled = false;
    }
    if (!handled) TakeDefaultAction(signal_number);
  }
}

int ControlSignalNumber(unsigned ctrl_type) {
  switch (ctrl_type) {
    case kCtrlCEvent: return SIGINT;
    case kCtrlBreakEvent: return SIGQUIT;
    case kCtrlCloseEvent: return SIGHUP;
    default: return 0;
  }
}

void RaiseControlEvent(unsigned ctrl_type) {
  const int signal_number = ControlSignalNumber(ctrl_type);
  if (signal_number != 0) ::kill(::getpid(), signal_number);
}

ChildOutcome RunInChildProcess(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    int code = 125;
    try {
      code = body();
    } catch (...) {
      code = 125;
    }
    // No exit handlers: they belong to the parent's test runner.
    ::_exit(code);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  ChildOutcome outcome;
  if (WIFEXITED(status)) {
    outcome.exited = true;
    outcome.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signaled = true;
    outcome.term_signal = WTERMSIG(status);
  }
  return outcome;
}

}  // namespace hv::platform
