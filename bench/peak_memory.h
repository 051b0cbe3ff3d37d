// Peak memory of one piece of work, for the benchmarks that set a build's
// memory beside its time.
//
// PeakRiseMB runs the work once in a forked child and returns how far the
// child's resident high-water mark (VmHWM) rose above its resident size
// (VmRSS) when the work began, in MB (2^20 bytes).  The child first hands
// free heap back to the system (malloc_trim) and resets its high-water mark
// to the current resident size (writing 5 to /proc/self/clear_refs), so the
// figure is the memory the work itself touched (its heap and buffers), not
// what the parent held before.  `prepare`, when given, runs in the child
// before the mark is reset and does not count.  The work
// runs in the child only: nothing it allocates or caches stays in the
// benchmark's process.  Returns -1 when the figure cannot be had (no
// /proc, the work threw, the child died).  SqlitePeakMB does the same for
// statements on a new SQLite connection.
#pragma once

#include <malloc.h>
#include <sqlite3.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

namespace bench {

namespace peak_detail {

// A "Vm...:  1234 kB" line of /proc/self/status in kB, or -1.
inline long StatusKb(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  const size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
      kb = std::strtol(line + n + 1, nullptr, 10);
      break;
    }
  std::fclose(f);
  return kb;
}

}  // namespace peak_detail

inline double PeakRiseMB(const std::function<void()>& work, const std::function<void()>& prepare = {}) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    close(fds[0]);
    long rise = -1;
    try {
      if (prepare) prepare();
    } catch (const std::exception&) {
      _exit(1);
    }
    malloc_trim(0);
    if (FILE* c = std::fopen("/proc/self/clear_refs", "w")) {
      const bool reset = std::fputs("5", c) >= 0;
      if (std::fclose(c) == 0 && reset) {
        const long base = peak_detail::StatusKb("VmRSS");
        try {
          work();
          const long high = peak_detail::StatusKb("VmHWM");
          if (base >= 0 && high >= 0) rise = high - base;
        } catch (const std::exception&) {
        }
      }
    }
    const ssize_t w = write(fds[1], &rise, sizeof rise);
    _exit(w == static_cast<ssize_t>(sizeof rise) ? 0 : 1);
  }
  close(fds[1]);
  long rise = -1;
  if (read(fds[0], &rise, sizeof rise) != static_cast<ssize_t>(sizeof rise)) rise = -1;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || rise < 0) return -1;
  return static_cast<double>(rise) / 1024.0;
}

// SQLite's side: a new connection to the database at `path` in the
// configuration of the timed runs (journal off, synchronous off) runs
// `setup`, and the peak of `work` is measured.  -1 when a statement fails.
inline double SqlitePeakMB(const std::string& path, const char* setup, const char* work) {
  sqlite3* db = nullptr;
  auto run = [&](const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
  };
  return PeakRiseMB([&] { run(work); },
                    [&] {
                      if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite3_open failed");
                      run("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
                      run(setup);
                    });
}

}  // namespace bench
