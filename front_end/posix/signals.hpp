#pragma once

#include <csignal>

// The signals that would end the process: none may leave a temporary file behind by name, nor
// end it while a file is rewritten in place.

// Ignores SIGXFSZ, so that a file-size limit makes a write fail instead of ending the process,
// and SIGPIPE, and lets the faults of the process's own remove a named temporary file first. The
// other signals that would end the process do so too from the first time signals held back are
// let through while a temporary file has a name. Signals the caller set to be ignored stay
// ignored; those with a handler of their own keep it.
void prepare_signals() noexcept;

// Holds back, for as long as it lives, every signal that would end the process and can be held;
// they arrive when it ends, after their handler is armed if a temporary file has a name then.
// The faults a program causes itself cannot be held.
class SignalsHeld {
 public:
  SignalsHeld() noexcept;
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  ~SignalsHeld();

 private:
  sigset_t previous_;
};
