#include "platform/classes.h"

#include <algorithm>
#include <cstring>
#include <limits>

// ---- TCollectionItem --------------------------------------------------------

int TCollectionItem::Index() const {
  if (collection_ == nullptr) return -1;
  const auto& items = collection_->items_;
  if (indexHint_ >= 0 && static_cast<size_t>(indexHint_) < items.size() &&
      items[static_cast<size_t>(indexHint_)].get() == this)
    return indexHint_;
  indexHint_ = collection_->IndexOf(this);
  return indexHint_;
}

void TCollectionItem::SetIndex(int index) {
  int cur = Index();
  if (cur >= 0 && cur != index) {
    collection_->Move(cur, index);
    Changed(true);
  }
}

std::string TCollectionItem::GetDisplayName() const { return ClassName(); }

void TCollectionItem::Changed(bool all_items) {
  if (collection_ == nullptr || collection_->updateCount_ != 0) return;
  collection_->ItemChanged(all_items ? nullptr : this);
}

// ---- TCollection ------------------------------------------------------------

TCollection::~TCollection() {
  // Items are freed quietly: a destructor never raises.
  items_.clear();
}

std::unique_ptr<TCollectionItem> TCollection::CreateItem() { return std::make_unique<TCollectionItem>(); }

TCollectionItem* TCollection::Add() { return Insert(Count()); }

TCollectionItem* TCollection::Insert(int index) {
  if (index < 0 || index > Count()) throw EListError("List index out of bounds (%d)", {index});
  std::unique_ptr<TCollectionItem> item = CreateItem();
  TCollectionItem* raw = item.get();
  raw->collection_ = this;
  raw->id_ = nextId_++;
  items_.insert(items_.begin() + index, std::move(item));
  raw->indexHint_ = index;
  Notify(raw, cnAdded);
  Changed();
  return raw;
}

void TCollection::Delete(int index) {
  if (index < 0 || index >= Count()) throw EListError("List index out of bounds (%d)", {index});
  TCollectionItem* raw = items_[static_cast<size_t>(index)].get();
  Notify(raw, cnDeleting);
  std::unique_ptr<TCollectionItem> doomed = std::move(items_[static_cast<size_t>(index)]);
  items_.erase(items_.begin() + index);
  doomed.reset();
  Changed();
}

void TCollection::Clear() {
  if (items_.empty()) return;
  BeginUpdate();
  try {
    while (!items_.empty()) Delete(Count() - 1);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

TCollectionItem* TCollection::Items(int index) const {
  if (index < 0 || index >= Count()) throw EListError("List index out of bounds (%d)", {index});
  return items_[static_cast<size_t>(index)].get();
}

TCollectionItem* TCollection::FindItemID(int id) const {
  for (const auto& it : items_)
    if (it->id_ == id) return it.get();
  return nullptr;
}

int TCollection::IndexOf(const TCollectionItem* item) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return static_cast<int>(i);
  return -1;
}

void TCollection::Move(int from, int to) {
  if (from < 0 || from >= Count()) throw EListError("List index out of bounds (%d)", {from});
  if (to < 0) to = 0;
  if (to >= Count()) to = Count() - 1;
  std::unique_ptr<TCollectionItem> item = std::move(items_[static_cast<size_t>(from)]);
  items_.erase(items_.begin() + from);
  items_.insert(items_.begin() + to, std::move(item));
}

void TCollection::EndUpdate() {
  if (updateCount_ > 0 && --updateCount_ == 0) Changed();
}

void TCollection::Changed() {
  if (updateCount_ == 0) Update(nullptr);
}

void TCollection::ItemChanged(TCollectionItem* item) { Update(item); }

void TCollection::Update(TCollectionItem*) {}

void TCollection::Notify(TCollectionItem*, TCollectionNotification) {}

void TCollection::Assign(const TPersistent* source) {
  auto* other = dynamic_cast<const TCollection*>(source);
  if (other == nullptr) {
    TPersistent::Assign(source);
    return;
  }
  if (other == this) return;
  BeginUpdate();
  try {
    Clear();
    for (const auto& it : other->items_) Add()->Assign(it.get());
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

// ---- TStream ----------------------------------------------------------------

int64_t TStream::Size() {
  int64_t pos = Seek(0, soFromCurrent);
  int64_t end = Seek(0, soFromEnd);
  Seek(pos, soFromBeginning);
  return end;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, int64_t count) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    int32_t chunk = static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
    int32_t got = Read(p, chunk);
    if (got != chunk) throw EReadError("Stream read error");
    p += got;
    count -= got;
  }
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    int32_t chunk = static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
    int32_t put = Write(p, chunk);
    if (put != chunk) throw EWriteError("Stream write error");
    p += put;
    count -= put;
  }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  int64_t done = 0;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(count, 61440)) + 1);
  while (done < count) {
    int32_t n = static_cast<int32_t>(std::min<int64_t>(count - done, static_cast<int64_t>(buf.size())));
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    done += n;
  }
  return done;
}

// ---- TMemoryStream ----------------------------------------------------------

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || position_ < 0) return 0;
  int64_t size = static_cast<int64_t>(data_.size());
  if (position_ >= size) return 0;
  int64_t n = std::min<int64_t>(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return static_cast<int32_t>(n);
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0 || position_ < 0) return 0;
  int64_t end = position_ + count;
  if (end > static_cast<int64_t>(data_.size())) data_.resize(static_cast<size_t>(end), 0);
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, uint16_t origin) {
  switch (origin) {
    case soFromBeginning: position_ = offset; break;
    case soFromCurrent: position_ += offset; break;
    case soFromEnd: position_ = static_cast<int64_t>(data_.size()) + offset; break;
    default: throw EStreamError("Invalid stream seek origin");
  }
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Invalid stream size");
  data_.resize(static_cast<size_t>(size), 0);
  if (position_ > size) position_ = size;
}

void TMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  int64_t n = source.Size();
  SetSize(n);
  if (n > 0) source.ReadBuffer(data_.data(), n);
  position_ = 0;
}

void TMemoryStream::SaveToStream(TStream& dest) const {
  if (!data_.empty()) dest.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}
