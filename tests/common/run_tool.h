// Running the independent tools the interop tests read our files with
// (python3-dbf, Perl XBase, pgdbf, dbview): the command's exit code and
// everything it printed, standard error included.
#pragma once

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

struct Output {
  int code = -1;
  std::string text;
};

inline Output RunTool(const std::string& command) {
  Output out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.text.append(buf, n);
  const int status = ::pclose(p);
  out.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

inline bool HavePythonDbf() { return RunTool("/usr/bin/python3 -c 'import dbf'").code == 0; }
inline bool HaveTool(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }
// A shell word for a path or text without single quotes.
inline std::string Quote(const std::string& s) { return "'" + s + "'"; }
