// General classes: collections of items and byte streams.
//
// `TCollection` owns a list of `TCollectionItem`s made by its `CreateItem`
// (a derived collection makes its own item class); items know their
// collection, index and a unique ID.  `TOwnedCollection` also knows the
// object that holds it.  Changes can be batched with BeginUpdate/EndUpdate;
// `Update` is called once when the batch ends.
//
// `TStream` is the byte-stream protocol (read, write, seek from the
// beginning, the current position or the end); `TMemoryStream` keeps the bytes
// in memory.  Positions and sizes are 64-bit; a single read or write moves at
// most 2^31-1 bytes.  Seeking past the end is allowed; a write there fills the
// gap with zero bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/exceptions.h"

DIRLOOK_EXCEPTION(EStreamError, Exception)
DIRLOOK_EXCEPTION(EReadError, EStreamError)
DIRLOOK_EXCEPTION(EWriteError, EStreamError)

class TCollection;

// ---- Collections ------------------------------------------------------------

class TCollectionItem : public TPersistent {
public:
  TCollectionItem() = default;
  ~TCollectionItem() override = default;

  TCollection* Collection() const { return collection_; }
  int Index() const;
  // Moves the item to another place in its collection.
  virtual void SetIndex(int index);
  int ID() const { return id_; }
  // Name shown to designers; the base gives the class name.
  virtual std::string GetDisplayName() const;

protected:
  // Tells the collection that this item (or, with all_items, everything)
  // changed.
  void Changed(bool all_items);

private:
  friend class TCollection;
  TCollection* collection_ = nullptr;
  int id_ = 0;
  // Where Index last found the item: checked before it is believed, so that
  // asking each item of a long collection for its index stays linear.
  mutable int indexHint_ = -1;
};

enum TCollectionNotification { cnAdded, cnExtracting, cnDeleting };

class TCollection : public TPersistent {
public:
  TCollection() = default;
  ~TCollection() override;
  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;

  TCollectionItem* Add();
  TCollectionItem* Insert(int index);
  void Delete(int index);
  void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  TCollectionItem* Items(int index) const;
  TCollectionItem* FindItemID(int id) const;
  int IndexOf(const TCollectionItem* item) const;
  void Move(int from, int to);

  void BeginUpdate() { ++updateCount_; }
  void EndUpdate();
  int UpdateCount() const { return updateCount_; }

  // Clears this collection and adds a copy (Assign) of every item of a
  // collection source; other sources go to the inherited assignment.
  void Assign(const TPersistent* source) override;
  // The object that holds the collection (none for a plain collection).
  virtual TPersistent* GetOwner() const { return nullptr; }

protected:
  // Makes a new item of the collection's item class.
  virtual std::unique_ptr<TCollectionItem> CreateItem();
  // Called after a change when no update batch is open: the changed item,
  // or none when everything may have changed.
  virtual void Update(TCollectionItem* item);
  virtual void Notify(TCollectionItem* item, TCollectionNotification action);
  void Changed();

private:
  friend class TCollectionItem;
  void ItemChanged(TCollectionItem* item);

  std::vector<std::unique_ptr<TCollectionItem>> items_;
  int nextId_ = 0;
  int updateCount_ = 0;
};

class TOwnedCollection : public TCollection {
public:
  explicit TOwnedCollection(TPersistent* owner) : owner_(owner) {}
  TPersistent* GetOwner() const override { return owner_; }

private:
  TPersistent* owner_;
};

// ---- Streams ----------------------------------------------------------------

constexpr uint16_t soFromBeginning = 0;
constexpr uint16_t soFromCurrent = 1;
constexpr uint16_t soFromEnd = 2;

class TStream {
public:
  virtual ~TStream() = default;
  // Reads at most count bytes; returns how many were read.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes count bytes; returns how many were written.
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, uint16_t origin) = 0;

  int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soFromBeginning); }
  virtual int64_t Size();
  // The base refuses to change the size.
  virtual void SetSize(int64_t size);

  // Read or write exactly count bytes; "Stream read error" /
  // "Stream write error" otherwise.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source (0: all of source from its start);
  // returns the number copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, uint16_t origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t size) override;

  uint8_t* Memory() { return data_.data(); }
  const uint8_t* Memory() const { return data_.data(); }
  void Clear();
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& dest) const;
  // The whole content as bytes.
  std::string DataString() const { return std::string(data_.begin(), data_.end()); }

private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};
