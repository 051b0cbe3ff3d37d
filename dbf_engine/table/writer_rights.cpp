#include "dbf_engine/table/writer_rights.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/exceptions.h"

TWriterRights::TWriterRights(uid_t uid) : uid_(uid), anything_(uid == 0 || uid == ::geteuid()) {
  if (anything_) return;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(static_cast<size_t>(size > 0 ? size : 16384));
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return;
  name_ = pw.pw_name;
  for (char& c : name_)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  int n = 32;
  groups_.resize(static_cast<size_t>(n));
  for (int tries = 0; ::getgrouplist(pw.pw_name, pw.pw_gid, groups_.data(), &n) < 0 && tries < 4; ++tries)
    groups_.resize(static_cast<size_t>(std::max(n, static_cast<int>(groups_.size()) * 2)));
  groups_.resize(static_cast<size_t>(std::max(n, 0)));
  if (std::find(groups_.begin(), groups_.end(), pw.pw_gid) == groups_.end()) groups_.push_back(pw.pw_gid);
}

std::string TWriterRights::Shown() const {
  return name_.empty() ? FormatMessage("user number %d", {static_cast<int64_t>(uid_)})
                       : FormatMessage("user %s (number %d)", {name_, static_cast<int64_t>(uid_)});
}

bool TWriterRights::Allowed(const struct stat& st, mode_t user, mode_t group, mode_t other) const {
  // The owner of a file may always give it write permission.
  if (st.st_uid == uid_) return (st.st_mode & user) == user || !S_ISDIR(st.st_mode);
  if (std::find(groups_.begin(), groups_.end(), st.st_gid) != groups_.end()) return (st.st_mode & group) == group;
  return (st.st_mode & other) == other;
}
