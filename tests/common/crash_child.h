// Runs a piece of a test in a child process that ends at a chosen write,
// for tests that kill an operation at each of its crash points in turn.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

#include "dbf_engine/table/disk_file.h"

// Runs `body` in a forked child; the body calls `arm` once it is ready (the
// table opened), which arms the engine's crash countdown at `crashAt` (0:
// never).  Returns the child's exit code: 0 when `body` returned, 3 when something
// threw, cvCrashExitCode when the countdown ended it, or whatever the body
// hands to _exit; below -999 when there was no child or it did not exit.
// A whole run tells through `steps` how many crash points it passed.
inline int CrashCountedInChild(int64_t crashAt, int64_t* steps,
                               const std::function<void(const std::function<void()>& arm)>& body) {
  int out[2];
  if (::pipe(out) != 0) return -999;
  const pid_t kid = ::fork();
  if (kid < 0) return -1000;
  if (kid == 0) {
    ::close(out[0]);
    int rc = 0;
    constexpr int64_t kFar = int64_t{1} << 60;
    try {
      const int64_t from = crashAt > 0 ? crashAt : kFar;
      body([from] { cvSetCrashCountdown(from); });
      const int64_t made = from - cvCrashCountdown;
      if (::write(out[1], &made, sizeof made) != sizeof made) rc = 4;
    } catch (...) {
      rc = 3;
    }
    ::_exit(rc);
  }
  ::close(out[1]);
  int64_t made = 0;
  const bool told = ::read(out[0], &made, sizeof made) == sizeof made;
  ::close(out[0]);
  if (steps) *steps = told ? made : 0;
  int status = 0;
  if (::waitpid(kid, &status, 0) != kid) return -1001;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1002;
}
