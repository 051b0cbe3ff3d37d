// Opens an MDX index of arbitrary bytes and walks every tag: forward,
// backward and a seek, and (in read-write mode) adds and deletes keys so
// nodes split.  Every outcome must be a successful open or one of the
// engine's own errors; a page cycle must be refused, not followed.
//
// Input: byte 0 selects the mode (bit 0 read-write), the rest is the file.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "dbf_engine/disk_file.h"
#include "dbf_engine/mdx_index.h"
#include "dbf_engine/messages.h"

namespace {

const std::string& WorkDir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/fuzz_mdx_open-XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    return std::string(d ? d : "/tmp");
  }();
  return dir;
}

void WriteFile(const std::string& name, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

// A walk is bounded: a corrupt file may share subtrees between parents.
constexpr int kMaxSteps = 20000;

void Walk(CVobjIndexTag* tag, bool readWrite) {
  tag->TagOpen(0);
  int steps = 0;
  for (int32_t r = tag->KeyRead(cvReadTop); r != 0 && steps < kMaxSteps; r = tag->KeyRead(cvReadNext)) ++steps;
  steps = 0;
  for (int32_t r = tag->KeyRead(cvReadBottom); r != 0 && steps < kMaxSteps; r = tag->KeyRead(cvReadPrevious))
    ++steps;
  TcvVariant v;
  if (tag->KeyType == 'C')
    v.PutString("M");
  else
    v.PutFloat(1.5);
  tag->KeyFind(v);
  if (!readWrite) return;
  CVobjIndexKeyData k(0);
  for (int32_t i = 1; i <= 80; ++i) {
    if (tag->KeyType == 'C')
      k.PutString(std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(i));
    else
      k.PutFloat(i * 0.5 - 7);
    k.Link = i;
    tag->KeyAdd(k);
    if (i % 3 == 0) tag->KeyDelete(k);
  }
  tag->TagClose();
}

void Exercise(const std::string& name, bool readWrite) {
  CVobjMDXFile file(nullptr, name, readWrite, false, false, false);
  for (int32_t i = 0; i < file.TagCount(); ++i) {
    try {
      Walk(file.TagByNumber(i), readWrite);
    } catch (const ECorvidError&) {
      // A broken tag; the others are walked all the same.
    }
  }
  if (readWrite && file.TagCount() > 1) file.DeleteTag(file.TagByNumber(0)->TagName);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static bool once = [] {
    CVwrdAccessMiliSeconds = 1;
    CVwrdAccessMSecDelay = 1;
    return true;
  }();
  (void)once;
  const bool readWrite = (data[0] & 1) != 0;
  const std::string name = WorkDir() + "/t.mdx";
  WriteFile(name, data + 1, size - 1);
  try {
    Exercise(name, readWrite);
  } catch (const ECorvidError&) {
  }
  return 0;
}
