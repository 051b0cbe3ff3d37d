// Helpers shared by the fuzz targets that open files of arbitrary bytes.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/test_files.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/index_key.h"
#include "dbf_engine/expr/value_buffer.h"

namespace fuzz {

// A private directory for the run, made once.
inline const std::string& WorkDir() {
  static const TempDir dir("dirlook-fuzz");
  return dir.path();
}

// Writes the input as the file `name` in the work directory; returns its path.
inline std::string WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = WorkDir() + "/" + name;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

// Lock retries would only slow the run down: one file, one handle.
inline void FastLockRetries() {
  static const bool once = [] {
    CVwrdAccessMiliSeconds = 1;
    CVwrdAccessMSecDelay = 1;
    return true;
  }();
  (void)once;
}

// Walks a tag both ways and seeks; in read-write mode adds and deletes keys so
// nodes split.  Walks are bounded: a corrupt file may share subtrees between
// parents.
inline void WalkAndEdit(CVobjIndexTag* tag, bool readWrite, int32_t adds) {
  constexpr int kMaxSteps = 20000;
  tag->TagOpen(cvTagOpenTop);
  int steps = 0;
  for (int32_t r = tag->KeyRead(cvReadTop); r != 0 && steps < kMaxSteps; r = tag->KeyRead(cvReadNext)) ++steps;
  steps = 0;
  for (int32_t r = tag->KeyRead(cvReadBottom); r != 0 && steps < kMaxSteps; r = tag->KeyRead(cvReadPrevious)) ++steps;
  const bool text = tag->KeyType() == 'C';
  TcvVariant v;
  if (text) v.PutString("M");
  else v.PutFloat(1.5);
  tag->KeyFind(v);
  if (!readWrite) return;
  CVobjIndexKeyData k(0);
  for (int32_t i = 1; i <= adds; ++i) {
    if (text) k.PutString(std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(i));
    else k.PutFloat(i * 0.5 - 7);
    k.Link = i;
    tag->KeyAdd(k);
    if (i % 3 == 0) tag->KeyDelete(k);
  }
  tag->TagClose();
}

}  // namespace fuzz
