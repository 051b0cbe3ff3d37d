// Opens a table from arbitrary header, descriptor and record bytes (with and
// without a memo file of arbitrary bytes), reads every record and every memo,
// and in read-write mode writes a memo and appends a record.  Every outcome
// must be a successful open or one of the engine's own errors.
//
// Input: byte 0 selects the mode (bit 0 read-write, bit 1 memo file given),
// bytes 1..2 the table's length (little-endian, cut to what is there), then
// the table bytes followed by the memo bytes.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/memo_file.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/table_file.h"
#include "fuzz_support.h"

namespace {

uint32_t MemoBlock(CVO_dBaseDBF& t, int field) {
  const uint8_t* p = t.cvActiveBuffer() + t.cvDescOffset(field);
  int32_t len = t.cvDescLength(field);
  if (t.cvVersion() == 0x30) return len >= 4 ? cvLoadLE32(p) : 0;
  uint64_t v = 0;
  for (int32_t i = 0; i < len && i < 10; ++i)
    if (p[i] >= '0' && p[i] <= '9') v = v * 10 + (p[i] - '0');
  return static_cast<uint32_t>(v);
}

void Exercise(const std::string& table, bool readWrite, const std::string& password) {
  CVO_dBaseDBF t(table, password, readWrite, true);
  CVobjMemo* memo = nullptr;
  if (t.cvHasMemo()) {
    try {
      memo = t.cvMemoObject();
    } catch (const ECorvidError&) {
      memo = nullptr;
    }
  }
  const int32_t count = t.cvRecordCount();
  std::vector<uint8_t> buf;
  for (int32_t r = 1; r <= count && r <= 2000; ++r) {
    t.cvGetRec(r);
    for (int f = 1; f <= t.cvFieldCount() && memo; ++f) {
      if (!t.cvIsMemoType(t.cvDescType(f))) continue;
      uint32_t block = MemoBlock(t, f);
      try {
        uint32_t size = memo->moMemoSize(block);
        buf.assign(static_cast<size_t>(size) + 1, 0);
        uint32_t room = size + 1;
        memo->moMemoRead(buf.data(), block, room);
        if (readWrite && r == 1) {
          const char text[] = "fuzz memo text";
          uint32_t n = sizeof text - 1;
          memo->moMemoWrite(text, block, n);
        }
      } catch (const ECorvidError&) {
      }
    }
  }
  t.cvGetRec(cvReadTop);
  t.cvGetRec(cvReadNext);
  t.cvGetRec(cvReadBottom);
  t.cvGetRec(cvReadPrevious);
  if (readWrite) t.cvAppend();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static bool once = [] {
    CVwrdAccessMiliSeconds = 1;
    CVwrdAccessMSecDelay = 1;
    return true;
  }();
  (void)once;
  const uint8_t mode = data[0];
  size_t tableSize = static_cast<size_t>(data[1] | (data[2] << 8));
  data += 3;
  size -= 3;
  if (tableSize > size || !(mode & 2)) tableSize = size;
  const size_t memoSize = size - tableSize;
  const std::string table = fuzz::WriteInput("t.dbf", data, tableSize);
  const std::string dbt = fuzz::WorkDir() + "/t.dbt", fpt = fuzz::WorkDir() + "/t.fpt";
  ::unlink(dbt.c_str());
  ::unlink(fpt.c_str());
  if (mode & 2) {
    fuzz::WriteInput("t.dbt", data + tableSize, memoSize);
    fuzz::WriteInput("t.fpt", data + tableSize, memoSize);
  }
  const std::string password = (tableSize > 15 && data[15] != 0) ? "k" : "";
  try {
    Exercise(table, (mode & 1) != 0, password);
  } catch (const ECorvidError&) {
  } catch (const ECorvidEncryption&) {
  }
  return 0;
}
