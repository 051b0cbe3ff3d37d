// The DBF dataset: counting the visible records without walking the
// framework's buffers (a query's count(*) needs no field of any record).
//
// A walk from First to Eof visits the records the handler's navigation
// shows: in the active tag's order and range, through the filter bitmap,
// without the records marked deleted unless UseDeleted.  Where nothing
// listens to that walk (no scroll or calculation events, no data links, no
// record filter event, no handler subclass watching its reads), the same
// records can be counted without moving the cursor:
//   - in record order, without a table password: the records are read from
//     the file in large blocks and only their deletion byte and filter bit
//     are looked at (UseDeleted without a filter needs no read at all);
//   - otherwise the handler walks its own buffer, as ExactCount does.
// A shared table's header is read again first, as every walk from the top
// does, so the records others appended count.
#include <algorithm>
#include <typeinfo>
#include <vector>

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/huge_set.h"

namespace {

// Bytes read per block by the counting scan.
constexpr int64_t kCountBlockBytes = 1 << 20;

}  // namespace

int TCorvidDataSet::CountByWalk() {
  BufferScope scope(*this, handler_->cvOwnBuffer());
  const int32_t remembered = handler_->cvCurrentRecord();
  int count = 0;
  handler_->cvGetRec(cvReadTop);
  while (!handler_->cvEOF() && !handler_->cvBOF() && handler_->cvCurrentRecord() > 0) {
    ++count;
    handler_->cvGetRec(cvReadNext);
  }
  if (remembered > 0 && remembered <= handler_->cvRecordCount()) handler_->cvGetRec(remembered);
  return count;
}

bool TCorvidDataSet::CountByBlocks(int& count) {
  CVO_dBHandler& h = *handler_;
  if (h.IsShared()) h.cvHdrRead();  // the appends of others
  const int32_t records = h.cvRecordCount();
  const bool showDeleted = h.cvShowDeleted();
  const TcvHugeSet* bits = h.cvFilterActive() ? h.cvFilterBitmap() : nullptr;
  count = 0;
  if (h.cvFilterActive() && (!bits || bits->Highest() < 1)) return true;
  if (!bits && showDeleted) {
    count = records;
    return true;
  }
  const int32_t last = bits ? std::min(records, bits->Highest()) : records;
  const int64_t length = h.cvRecordLength();
  const int64_t perBlock = std::max<int64_t>(1, kCountBlockBytes / length);
  std::vector<uint8_t> block(static_cast<size_t>(perBlock * length));
  for (int32_t first = 1; first <= last;) {
    const int64_t n = std::min<int64_t>(perBlock, static_cast<int64_t>(last) - first + 1);
    const int64_t position = h.cvHeaderLength() + static_cast<int64_t>(first - 1) * length;
    if (h.cvRead(position, block.data(), static_cast<int32_t>(n * length)) != n * length) return false;
    for (int64_t i = 0; i < n; ++i) {
      const int32_t recno = first + static_cast<int32_t>(i);
      if (bits && !bits->BitValue(recno)) continue;
      if (!showDeleted && block[static_cast<size_t>(i * length)] == '*') continue;
      ++count;
    }
    first += static_cast<int32_t>(n);
  }
  return true;
}

bool TCorvidDataSet::CountVisibleRecords(int& count) {
  count = 0;
  // A class derived from this one may listen in ways this one does not.
  if (!handler_ || typeid(*this) != typeid(TCorvidDataSet) || !WalkUnobserved() || handler_->cvScanListens())
    return false;
  if (!handler_->cvActiveTag() && handler_->cvReadKey().empty() && handler_->cvState() == dbBrowse &&
      CountByBlocks(count))
    return true;
  count = CountByWalk();
  return true;
}
