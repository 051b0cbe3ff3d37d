// Scopes of the record handler's whole-table operations.
//
// A whole-table operation (copy, sort, index build, pack, password change,
// search) sets the table state, the active tag and the read cache aside
// while it runs.  cvHandlerScope puts every one of them back when the scope
// ends, also when the operation raises, so the table stays usable: its
// navigation again follows the tag, the filter and the deleted flag.
#pragma once

#include <string>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/handler/record_handler_tags.h"

class cvHandlerScope {
public:
  explicit cvHandlerScope(CVO_dBHandler& h)
      : h_(h), state_(h.cvState()), tag_(h.activeTag_), name_(h.activeTagName_), cache_(h.cvDBFCacheOn()) {
    ++h_.cacheScopes_;  // cache switches inside are the operation's, not the caller's
  }
  ~cvHandlerScope() {
    h_.cvSetState(state_);
    if (tagAside_) {
      h_.activeTag_ = tag_;
      h_.activeTagName_ = name_;
      if (tag_ && reopenTag_) {
        try {
          cvtag::Open(tag_, cvTagOpenFollow);
        } catch (...) {
          // The tag stays active; its next read repositions it.
        }
      }
    }
    try {
      h_.cvSetDBFCache(cache_);
    } catch (...) {
      // No memory for the window: the table reads without it.
    }
    --h_.cacheScopes_;
  }
  cvHandlerScope(const cvHandlerScope&) = delete;
  cvHandlerScope& operator=(const cvHandlerScope&) = delete;

  void SetState(dbFileState s) { h_.cvSetState(s); }
  // Record-number order until the scope ends; with `reopen` the tag is
  // reopened at the current record when it comes back.
  void SetTagAside(bool reopen) {
    if (tagAside_) return;
    tagAside_ = true;
    reopenTag_ = reopen;
    h_.activeTag_ = nullptr;
  }
  CVobjIndexTag* SavedTag() const { return tag_; }
  dbFileState SavedState() const { return state_; }

private:
  CVO_dBHandler& h_;
  dbFileState state_;
  CVobjIndexTag* tag_;
  std::string name_;
  bool cache_;
  bool tagAside_ = false;
  bool reopenTag_ = false;
};

// Holds the table's file lock for one scope.
class cvFileLockScope {
public:
  explicit cvFileLockScope(CVO_dBaseDBF& t) : t_(t) {}
  ~cvFileLockScope() {
    if (!held_) return;
    try {
      t_.cvLockOff();
    } catch (...) {
      // The lock goes with the handle at the latest.
    }
  }
  cvFileLockScope(const cvFileLockScope&) = delete;
  cvFileLockScope& operator=(const cvFileLockScope&) = delete;
  void Held() { held_ = true; }

private:
  CVO_dBaseDBF& t_;
  bool held_ = false;
};
