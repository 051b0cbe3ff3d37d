// Opens an MDX index of arbitrary bytes and walks every tag: forward,
// backward and a seek, and (in read-write mode) adds and deletes keys so
// nodes split.  Every outcome must be a successful open or one of the
// engine's own errors; a page cycle must be refused, not followed.
//
// Input: byte 0 selects the mode (bit 0 read-write), the rest is the file.
#include <cstdint>
#include <string>

#include "dbf_engine/index/mdx_index.h"
#include "dbf_engine/messages.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::FastLockRetries();
  const bool readWrite = (data[0] & 1) != 0;
  const std::string name = fuzz::WriteInput("t.mdx", data + 1, size - 1);
  try {
    CVobjMDXFile file(nullptr, name, readWrite, false, false, false);
    for (int32_t i = 0; i < file.TagCount(); ++i) {
      try {
        fuzz::WalkAndEdit(file.TagByNumber(i), readWrite, 80);
      } catch (const ECorvidError&) {
        // A broken tag; the others are walked all the same.
      }
    }
    if (readWrite && file.TagCount() > 1) file.DeleteTag(file.TagByNumber(0)->TagName());
  } catch (const ECorvidError&) {
  }
  return 0;
}
