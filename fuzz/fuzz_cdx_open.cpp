// Opens a compound index file of arbitrary bytes and walks every tag from
// the top and from the bottom; in read-write mode a key is then added to
// every tag and the tag list re-read.  Every outcome must be an open or one
// of the engine's own errors: no crash, no hang (page cycles and shared
// pages included).
//
// Input: byte 0 selects the mode (bit 0 read-write), the rest is the file.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "dbf_engine/index/cdx_index.h"
#include "dbf_engine/messages.h"
#include "fuzz_support.h"

namespace {

// Bounded walks: a sound tag of this file cannot hold more keys than this.
void Walk(CVobjIndexTag* tag, int64_t limit) {
  tag->TagOpen(cvTagOpenRoot);
  int64_t n = 0;
  for (int32_t r = tag->KeyRead(cvReadTop); r != 0 && n < limit; r = tag->KeyRead(cvReadNext)) ++n;
  n = 0;
  for (int32_t r = tag->KeyRead(cvReadBottom); r != 0 && n < limit; r = tag->KeyRead(cvReadPrevious)) ++n;
  tag->TagClose();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool readWrite = (data[0] & 1) != 0;
  const std::string name = fuzz::WriteInput("f.cdx", data + 1, size - 1);
  const int64_t limit = static_cast<int64_t>(size / 512 + 2) * 488;
  try {
    CVobjCDXFile f(nullptr, name, readWrite, false, false, false);
    for (int32_t i = 0; i < f.TagCount(); ++i) {
      try {
        Walk(f.TagByNumber(i), limit);
        if (readWrite) {
          CVobjIndexKeyData k(0);
          k.PutString("FUZZ");
          k.Link = k.RecNo = 1;
          f.TagByNumber(i)->KeyAdd(k);
          Walk(f.TagByNumber(i), limit + 1);
        }
      } catch (const Exception&) {
      }
    }
    if (f.TagList()) Walk(f.TagList(), limit);
  } catch (const Exception&) {
  }
  ::unlink(name.c_str());
  return 0;
}
