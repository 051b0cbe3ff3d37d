// The lock-retry globals set for one scope.  The previous values come back on
// every way out, a failed assertion included, so one failing lock test cannot
// leave every later test waiting out its retries.
#pragma once

#include <cstdint>

#include "dbf_engine/table/disk_file.h"

class LockRetryScope {
public:
  LockRetryScope(uint16_t milliseconds, uint16_t delay)
      : savedMilliseconds_(CVwrdAccessMiliSeconds), savedDelay_(CVwrdAccessMSecDelay) {
    CVwrdAccessMiliSeconds = milliseconds;
    CVwrdAccessMSecDelay = delay;
  }
  ~LockRetryScope() {
    CVwrdAccessMiliSeconds = savedMilliseconds_;
    CVwrdAccessMSecDelay = savedDelay_;
  }
  LockRetryScope(const LockRetryScope&) = delete;
  LockRetryScope& operator=(const LockRetryScope&) = delete;

private:
  uint16_t savedMilliseconds_;
  uint16_t savedDelay_;
};
