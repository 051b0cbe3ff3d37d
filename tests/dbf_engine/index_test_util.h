// Helpers shared by the index format tests: a tag's keys in order, and the
// keys of an index file as Perl's XBase::Index reads them.
#pragma once

#include <stdio.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "dbf_engine/index/index_core.h"

using IndexPairs = std::vector<std::pair<std::string, int32_t>>;

// Every (key text, record) of a tag, reading forward from the top.
inline IndexPairs ReadForward(CVobjIndexTag& tag) {
  IndexPairs out;
  tag.TagOpen(cvTagOpenRoot);
  for (int32_t r = tag.KeyRead(cvReadTop); r != 0; r = tag.KeyRead(cvReadNext))
    out.emplace_back(tag.CurrentKey().GetString(), r);
  return out;
}

// The same read backward from the bottom, returned in index order.
inline IndexPairs ReadBackward(CVobjIndexTag& tag) {
  IndexPairs out;
  tag.TagOpen(cvTagOpenRoot);
  for (int32_t r = tag.KeyRead(cvReadBottom); r != 0; r = tag.KeyRead(cvReadPrevious))
    out.emplace_back(tag.CurrentKey().GetString(), r);
  std::reverse(out.begin(), out.end());
  return out;
}

// Runs a shell command; its output (stderr included) and exit status.
inline std::string RunTool(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = ::pclose(p);
  if (status) *status = rc;
  return out;
}

inline bool HavePerlXBase() {
  return std::filesystem::exists("/usr/share/perl5/XBase/Index.pm") && std::filesystem::exists("/usr/bin/perl");
}

// Every key (trailing blanks cut) and record of an index file as
// XBase::Index reads them; `type` is "C", "N" or "D".  rc is the exit
// status, -1 when a line was not understood.
inline IndexPairs PerlRead(const std::string& file, const std::string& type, int* rc) {
  const std::string out = RunTool(
      "/usr/bin/perl -MXBase::Index -e 'my $i = XBase::Index->new($ARGV[0], type => $ARGV[1]) "
      "or die XBase::Index->errstr; $i->prepare_select or die $i->errstr; "
      "while (my @d = $i->fetch) { print join(\"\\t\", @d), \"\\n\" } "
      "die $i->errstr if $i->errstr;' " +
          file + " " + type,
      rc);
  IndexPairs r;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    if (nl == std::string::npos) nl = out.size();
    std::string line = out.substr(pos, nl - pos);
    pos = nl + 1;
    const size_t tab = line.rfind('\t');
    if (tab == std::string::npos) {
      if (!line.empty() && rc) *rc = -1;
      continue;
    }
    std::string key = line.substr(0, tab);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    r.emplace_back(key, std::stoi(line.substr(tab + 1)));
  }
  return r;
}
