// The DBF dataset: the forward road of a walk (TDataSet::BeginWalk).
//
// A reader that walks from the first record to Eof and only reads each
// record's fields and bookmark (a query's scan) need not move the handler
// record by record.  Where nobody could tell the difference (no scroll,
// calculation or record filter events, no data links, no master, no handler
// subclass watching its reads, the handler browsing) and the records come
// in record order (no active tag), the road reads them from the file in
// large blocks and copies each visible one into the framework's record
// buffer, deciphered with the table password when there is one:
//   - a record marked deleted is passed over unless UseDeleted;
//   - with a filter in force, only the records of its bitmap are given;
//   - a shared table's header is read again at the start, as every walk
//     from the top does, and again at the end, so that the records others
//     appended meanwhile are walked too, as the handler's own walk does.
// Text stays as stored: the field reads translate from the buffer as
// usual.  The handler's cursor is left behind during the road and set on
// the last record given when it ends.
#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/huge_set.h"
#include "dbf_engine/messages.h"
#include "dbf_engine/table/cipher.h"
#include "platform/exceptions.h"

namespace {

// Bytes read per block by the road.
constexpr int64_t kWalkBlockBytes = 1 << 18;
// Under a filter the road reads the records it keeps, and the records
// between two of them only while the gap is at most this many bytes: a
// sparse result costs a small read per kept record, not a block each.
constexpr int64_t kWalkGapBytes = 1 << 12;

// The last record of the run of kept records that starts at `first`: kept
// records follow each other at most `gap` records apart, up to `limit`.
int32_t KeptRunEnd(const TcvHugeSet& bits, int32_t first, int64_t gap, int64_t limit) {
  int32_t end = first;
  for (;;) {
    const int32_t next = bits.NextSet(end + 1);
    if (next < 0 || next > limit || next - end > gap) return end;
    end = next;
  }
}

}  // namespace

bool TCorvidDataSet::WalkStart() {
  if (!handler_ || typeid(*this) != typeid(TCorvidDataSet) || !WalkUnobserved()) return false;
  CVO_dBHandler& h = *handler_;
  if (h.cvScanListens() || h.cvReadEventsHeard() || h.cvState() != dbBrowse || h.cvActiveTag() ||
      MasterSource() != nullptr || h.cvRecordLength() <= 0)
    return false;
  if (h.IsShared()) {
    h.cvHdrRead();  // the appends of others
    h.cvCacheInvalidate();
  }
  atBeginning_ = atEnd_ = false;
  walkFirst_ = walkCount_ = walkGiven_ = 0;
  walkNext_ = 1;
  walkLast_ = h.cvRecordCount();
  const int64_t length = h.cvRecordLength();
  walkBlock_.resize(static_cast<size_t>(std::max<int64_t>(1, kWalkBlockBytes / length) * length));
  return true;
}

bool TCorvidDataSet::WalkRead(int32_t first, int32_t last) {
  CVO_dBHandler& h = *handler_;
  const int64_t length = h.cvRecordLength();
  const int64_t perBlock = static_cast<int64_t>(walkBlock_.size()) / length;
  int64_t n = std::min<int64_t>(perBlock, static_cast<int64_t>(walkLast_) - first + 1);
  if (last > 0) n = std::min<int64_t>(n, static_cast<int64_t>(last) - first + 1);
  walkFirst_ = first;
  walkCount_ = 0;
  if (n <= 0) return false;
  const int64_t position = h.cvHeaderLength() + static_cast<int64_t>(first - 1) * length;
  const int32_t got = h.cvRead(position, walkBlock_.data(), static_cast<int32_t>(n * length));
  // A file that ends short of the header's count gives the records it
  // holds whole; the first one cut short fails as the handler's read does.
  walkCount_ = static_cast<int32_t>(std::max<int64_t>(got, 0) / length);
  if (walkCount_ == 0) cvRaise(cvErrReadFailed, {h.FileName()});
  return true;
}

bool TCorvidDataSet::WalkFetch(TRecordBuffer buffer) {
  CVO_dBHandler& h = *handler_;
  const size_t length = static_cast<size_t>(h.cvRecordLength());
  const bool showDeleted = h.cvShowDeleted();
  const TcvHugeSet* bits = h.cvFilterActive() ? h.cvFilterBitmap() : nullptr;
  // A filter with no bitmap (yet) lets nothing through, as the handler's
  // navigation does.
  if (h.cvFilterActive() && (!bits || bits->Highest() < 1)) return false;
  const std::string& key = h.cvReadKey();
  for (;;) {
    if (walkNext_ > walkLast_ || (bits && walkNext_ > bits->Highest())) {
      if (!h.IsShared() || (bits && walkNext_ > bits->Highest())) return false;
      h.cvHdrRead();
      if (walkNext_ > h.cvRecordCount()) return false;
      walkLast_ = h.cvRecordCount();
    }
    if (bits && !bits->BitValue(walkNext_)) {
      // Straight to the next record the filter kept.
      const int32_t next = bits->NextSet(walkNext_);
      if (next < 0) return false;
      walkNext_ = next;
      continue;
    }
    if (walkNext_ < walkFirst_ || walkNext_ >= walkFirst_ + walkCount_) {
      const int64_t perBlock = static_cast<int64_t>(walkBlock_.size()) / static_cast<int64_t>(length);
      const int32_t last =
          bits ? KeptRunEnd(*bits, walkNext_, std::max<int64_t>(1, kWalkGapBytes / static_cast<int64_t>(length)),
                            static_cast<int64_t>(walkNext_) + perBlock - 1)
               : 0;
      if (!WalkRead(walkNext_, last)) return false;
    }
    const uint8_t* rec = walkBlock_.data() + static_cast<size_t>(walkNext_ - walkFirst_) * length;
    if (key.empty()) std::memcpy(buffer, rec, length);
    else DBEncryption(key, rec, buffer, length, 0);
    if (!showDeleted && buffer[0] == '*') {
      ++walkNext_;
      continue;
    }
    walkGiven_ = walkNext_++;
    FillBookmark(buffer, walkGiven_);
    GetCalcFields(buffer);
    return true;
  }
}

void TCorvidDataSet::WalkStop() noexcept {
  walkBlock_.clear();
  walkBlock_.shrink_to_fit();
  walkFirst_ = walkCount_ = 0;
  if (!handler_ || walkGiven_ <= 0) return;
  // The handler's cursor goes where the walk stands.
  BestEffort([&] {
    BufferScope scope(*this, handler_->cvOwnBuffer());
    handler_->cvGetRec(walkGiven_);
  });
  walkGiven_ = 0;
}
