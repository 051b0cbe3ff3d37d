// Runs a piece of a test in a child process, for tests of what a process
// that dies half-way leaves behind.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// Runs `body` in a forked child that calls `started` once it is ready (the
// table opened), and kills it with SIGKILL `killAfterUs` microseconds after
// that (-1: never).  Returns the child's exit code as ExitCodeInChild does
// (2, 4 and the like are the body's own), minus the signal's number when a
// signal ended it (-SIGKILL when killed), or below -999 when there was no
// child.  `tookUs` receives how long the child ran after it started, as
// far as the parent saw.
inline int KilledInChild(const std::function<void(const std::function<void()>& started)>& body, int killAfterUs,
                         int* tookUs = nullptr) {
  int begun[2];
  if (::pipe(begun) != 0) return -999;
  const pid_t kid = ::fork();
  if (kid < 0) return -1000;
  if (kid == 0) {
    ::close(begun[0]);
    try {
      body([&] {
        if (::write(begun[1], "g", 1) != 1) ::_exit(4);
      });
    } catch (...) {
      ::_exit(3);
    }
    ::_exit(0);
  }
  ::close(begun[1]);
  char c;
  const bool started = ::read(begun[0], &c, 1) == 1;
  ::close(begun[0]);
  const auto start = std::chrono::steady_clock::now();
  if (started && killAfterUs >= 0) {
    ::usleep(static_cast<useconds_t>(killAfterUs));
    ::kill(kid, SIGKILL);
  }
  int status = 0;
  if (::waitpid(kid, &status, 0) != kid) return -1001;
  if (tookUs)
    *tookUs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1002;
}
