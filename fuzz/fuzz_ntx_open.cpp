// Opens an NTX index of arbitrary bytes and walks it: forward, backward,
// seeks, and (in read-write mode) adds and deletes keys so pages split and
// separators move.
// Every outcome must be a successful open or one of the engine's own
// errors; a page cycle must be refused, not followed.
//
// Input: byte 0 selects the mode (bit 0 read-write), the rest is the file.
#include <cstdint>
#include <string>

#include "dbf_engine/messages.h"
#include "dbf_engine/index/ntx_index.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::FastLockRetries();
  const bool readWrite = (data[0] & 1) != 0;
  const std::string name = fuzz::WriteInput("t.ntx", data + 1, size - 1);
  try {
    CVobjNTXFile file(nullptr, name, readWrite, false, false, false);
    if (CVobjNTXTag* tag = file.NtxTag()) fuzz::WalkAndEdit(tag, readWrite, 60);
  } catch (const ECorvidError&) {
  }
  return 0;
}
