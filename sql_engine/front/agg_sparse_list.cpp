// Sparse pointer table, sparse list and the aggregate's per-group store.
#include "sql_engine/front/agg_sparse_list.h"

#include "platform/exceptions.h"

namespace {

[[noreturn]] void ListIndexError() { throw EListError("List Index Error!"); }

}  // namespace

// ---- TSparsePointerArray ----------------------------------------------------

TSparsePointerArray::TSparsePointerArray(TSPAQuantum quantum)
    : slotMask_(quantum == SPALarge ? 255 : 15), shift_(quantum == SPALarge ? 8 : 4) {}

void* TSparsePointerArray::GetAt(int32_t index) {
  if (index == cacheIndex_ && index >= 0) return cacheValue_;
  void* value = nullptr;
  if (index >= 0) {
    const size_t block = static_cast<size_t>(index >> shift_);
    if (block < blocks_.size() && blocks_[block]) value = blocks_[block][static_cast<size_t>(index & slotMask_)];
  }
  cacheIndex_ = index;
  cacheValue_ = value;
  return value;
}

void** TSparsePointerArray::MakeAt(int32_t index) {
  if (index < 0) ListIndexError();
  const size_t block = static_cast<size_t>(index >> shift_);
  if (block >= blocks_.size()) blocks_.resize(block + 1);
  if (!blocks_[block]) blocks_[block] = std::make_unique<void*[]>(static_cast<size_t>(slotMask_) + 1);  // zero-filled
  if (index > highBound_) highBound_ = index;
  cacheIndex_ = -1;
  return &blocks_[block][static_cast<size_t>(index & slotMask_)];
}

void TSparsePointerArray::PutAt(int32_t index, void* item) {
  if (index < 0) ListIndexError();
  if (!item) {
    const size_t block = static_cast<size_t>(index >> shift_);
    if (block >= blocks_.size() || !blocks_[block]) return;
  }
  *MakeAt(index) = item;
  // Only clearing the highest entry can lower the bound.
  if (!item && index == highBound_) RecomputeHighBound();
}

void TSparsePointerArray::RecomputeHighBound() {
  highBound_ = -1;
  for (size_t b = blocks_.size(); b-- > 0;) {
    if (!blocks_[b]) continue;
    for (int32_t s = slotMask_; s >= 0; --s) {
      if (blocks_[b][static_cast<size_t>(s)]) {
        highBound_ = static_cast<int32_t>((b << shift_) | static_cast<size_t>(s));
        return;
      }
    }
  }
}

int TSparsePointerArray::ForAll(const TSPAApply& apply) const {
  for (size_t b = 0; b < blocks_.size(); ++b) {
    if (!blocks_[b]) continue;
    for (int32_t s = 0; s <= slotMask_; ++s) {
      void* item = blocks_[b][static_cast<size_t>(s)];
      if (!item) continue;
      const int r = apply(static_cast<int32_t>((b << shift_) | static_cast<size_t>(s)), item);
      if (r != 0) return r;
    }
  }
  return 0;
}

// ---- TSparseList --------------------------------------------------------------

TSparseList::TSparseList(TSPAQuantum quantum)
    : list_(std::make_unique<TSparsePointerArray>(quantum)), quantum_(quantum) {}

void* TSparseList::Get(int32_t index) {
  if (index < 0) ListIndexError();
  return list_->GetAt(index);
}

void TSparseList::Put(int32_t index, void* item) {
  if (index < 0) ListIndexError();
  list_->PutAt(index, item);
  count_ = list_->HighBound() + 1;
}

void TSparseList::Delete(int32_t index) {
  if (index < 0 || index >= count_) return;
  for (int32_t i = index; i < count_ - 1; ++i) list_->PutAt(i, list_->GetAt(i + 1));
  list_->PutAt(count_ - 1, nullptr);
  --count_;
}

void TSparseList::Clear() {
  list_ = std::make_unique<TSparsePointerArray>(quantum_);
  count_ = 0;
}

// ---- TAggSparseList -------------------------------------------------------------

TAggSparseList::TAggSparseList(int32_t capacity)
    : list_(std::make_unique<TSparseList>(capacity > 256 ? SPALarge : SPASmall)) {}

TAggSparseList::~TAggSparseList() { Clear(); }

TAggSparseList::TAggEntry& TAggSparseList::MakeEntry(int32_t index) {
  if (TAggEntry* e = Entry(index)) return *e;
  auto fresh = std::make_unique<TAggEntry>();
  fresh->Value = Variant(int32_t{0});
  list_->Put(index, fresh.get());
  return *fresh.release();  // the list owns it from here; Clear and Delete free it
}

bool TAggSparseList::HasData(int32_t index) { return Entry(index) != nullptr; }

Variant TAggSparseList::Get(int32_t index) {
  if (TAggEntry* e = Entry(index)) return e->Value;
  return Variant(int32_t{0});
}

double TAggSparseList::GetSqr(int32_t index) {
  TAggEntry* e = Entry(index);
  return e ? e->SqrSum : 0;
}

int32_t TAggSparseList::GetCount(int32_t index) {
  TAggEntry* e = Entry(index);
  return e ? e->Count : 0;
}

void TAggSparseList::Put(int32_t index, const Variant& value) {
  if (TAggEntry* e = Entry(index)) {
    e->Value = value;
    return;
  }
  TAggEntry& e = MakeEntry(index);
  if (!value.IsNull()) e.Value = value;
}

void TAggSparseList::PutSqr(int32_t index, double value) { MakeEntry(index).SqrSum = value; }

void TAggSparseList::PutCount(int32_t index, int32_t value) { MakeEntry(index).Count = value; }

void TAggSparseList::Delete(int32_t index) {
  std::unique_ptr<TAggEntry> gone(Entry(index));
  if (gone) list_->Put(index, nullptr);
  list_->Delete(index);
}

void TAggSparseList::Clear() {
  if (!list_) return;
  list_->ForAll([](int32_t, void* item) {
    std::unique_ptr<TAggEntry> gone(static_cast<TAggEntry*>(item));
    return 0;
  });
  list_->Clear();
}
