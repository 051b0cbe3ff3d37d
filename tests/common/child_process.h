// Runs a piece of a test in a child process, for tests of what a process
// that dies half-way leaves behind.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

// Runs `body` in a forked child that ends without unwinding, as a kill
// would leave it: its exit code is 0 when `body` returns, 3 when it throws,
// or whatever `body` hands to _exit.  Returns that code; -1 when the child
// did not exit by itself (a signal), -2 when there was no child.
inline int ExitCodeInChild(const std::function<void()>& body) {
  const pid_t kid = ::fork();
  if (kid < 0) return -2;
  if (kid == 0) {
    try {
      body();
    } catch (...) {
      ::_exit(3);
    }
    ::_exit(0);
  }
  int status = 0;
  if (::waitpid(kid, &status, 0) != kid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
