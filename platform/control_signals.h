// Control events (Ctrl+C, Ctrl+\, a closed terminal) arrive as signals. They
// are blocked in every thread and taken by one thread of their own, which
// hands each to a handler as a control type, the way a console system calls
// its control handler on a thread of its own.
#pragma once

#include <functional>
#include <thread>

namespace hv::platform {

// The control types that the handler receives.
inline constexpr unsigned kCtrlCEvent = 0;      // SIGINT
inline constexpr unsigned kCtrlBreakEvent = 1;  // SIGQUIT
inline constexpr unsigned kCtrlCloseEvent = 2;  // SIGHUP

// Blocks SIGINT, SIGQUIT and SIGHUP in the calling thread and ignores
// SIGPIPE, so that a closed pipe is a write error instead of the end of the
// process. Call it in main before any thread starts: threads inherit the
// mask, and a control signal that reaches a thread without it ends the
// process at once.
void BlockControlSignals();

// Returns whether the event was handled.
using ControlHandler = std::function<bool(unsigned ctrl_type)>;

// The thread that waits for the control signals while this object lives.
// An event that the handler does not handle (or that it throws on) gets the
// signal's default action: the process ends as it would without a handler.
// One object at a time per process; the destructor stops and joins the
// thread.
class ControlSignalThread {
 public:
  explicit ControlSignalThread(ControlHandler handler);
  ~ControlSignalThread();
  ControlSignalThread(const ControlSignalThread&) = delete;
  ControlSignalThread& operator=(const ControlSignalThread&) = delete;

 private:
  void Loop();

  ControlHandler handler_;
  std::thread thread_;
};

// Sends the signal of a control type to the whole process, as the terminal
// does. Serves tests.
void RaiseControlEvent(unsigned ctrl_type);

// The signal number of a control type (SIGINT, SIGQUIT or SIGHUP).
int ControlSignalNumber(unsigned ctrl_type);

// How a child process ended.
struct ChildOutcome {
  bool exited = false;  // by _exit, with exit_code
  int exit_code = 0;
  bool signaled = false;  // by a signal, term_signal
  int term_signal = 0;
};

// Runs `body` in a forked child process, which ends with the body's result
// (125 when it throws), and waits for it. Serves tests that must let a
// process die without taking the test runner along. Call it while the
// process has one thread only.
ChildOutcome RunInChildProcess(const std::function<int()>& body);

}  // namespace hv::platform
