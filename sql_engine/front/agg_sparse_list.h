// Per-group running values of an aggregate.
//
// Every aggregate of a SELECT (SUM, AVG, STDEV, MIN, MAX, COUNT) keeps, per
// group, its running value, a running sum of squares (for STDEV) and a count,
// indexed by the result row that stands for the group.  Groups that are
// never touched cost nothing: the entries live in a sparse list over a
// two-level pointer table whose blocks are made only when first written.
//
// TSparsePointerArray: index i lives in block (i >> shift), slot (i & mask);
// 16 slots per block for SPASmall, 256 for SPALarge.  The last index read is
// answered from a one-entry cache.  It stores pointers and owns only its
// blocks, never what the slots point to.
// TSparseList: the pointer table plus a count (highest index holding an entry,
// plus 1), with deleting that moves later entries down.
// TAggSparseList: owns one entry (value, sum of squares, count) per touched
// group.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/variant.h"

enum TSPAQuantum : uint8_t { SPASmall, SPALarge };

// Called for every non-empty slot in index order; a non-zero result stops
// the walk and is returned by ForAll.
using TSPAApply = std::function<int(int32_t index, void* item)>;

class TSparsePointerArray {
public:
  explicit TSparsePointerArray(TSPAQuantum quantum);
  TSparsePointerArray(const TSparsePointerArray&) = delete;
  TSparsePointerArray& operator=(const TSparsePointerArray&) = delete;

  // The pointer at `index`, nullptr when its block or slot is empty.
  void* GetAt(int32_t index);
  // The address of the slot, making the block as needed.
  void** MakeAt(int32_t index);
  void PutAt(int32_t index, void* item);
  int ForAll(const TSPAApply& apply) const;
  // The highest index made so far, -1 when none (or none left after
  // storing nullptr).
  int32_t HighBound() const { return highBound_; }

private:
  void RecomputeHighBound();

  std::vector<std::unique_ptr<void*[]>> blocks_;  // the directory
  int32_t slotMask_;
  int32_t shift_;
  int32_t highBound_ = -1;
  int32_t cacheIndex_ = -1;
  void* cacheValue_ = nullptr;
};

class TSparseList {
public:
  explicit TSparseList(TSPAQuantum quantum);

  // A negative index raises EListError "List Index Error!".
  void* Get(int32_t index);
  void Put(int32_t index, void* item);
  // Removes position `index` (0 .. Count-1), moving every later entry down
  // by one; other indexes do nothing.
  void Delete(int32_t index);
  void Clear();
  int ForAll(const TSPAApply& apply) const { return list_->ForAll(apply); }
  int32_t Count() const { return count_; }

private:
  std::unique_ptr<TSparsePointerArray> list_;
  int32_t count_ = 0;
  TSPAQuantum quantum_;
};

class TAggSparseList {
public:
  // More than 256 expected items take 256-slot blocks, otherwise 16.
  explicit TAggSparseList(int32_t capacity);
  ~TAggSparseList();
  TAggSparseList(const TAggSparseList&) = delete;
  TAggSparseList& operator=(const TAggSparseList&) = delete;

  bool HasData(int32_t index);
  // The running value, or the number 0 for a group never written.
  Variant Get(int32_t index);
  double GetSqr(int32_t index);
  int32_t GetCount(int32_t index);
  // A new entry takes 0 for a null value; an existing one stores the null.
  void Put(int32_t index, const Variant& value);
  void PutSqr(int32_t index, double value);
  void PutCount(int32_t index, int32_t value);
  // Frees the entry at `index` and moves every later entry down by one.
  void Delete(int32_t index);
  void Clear();

private:
  struct TAggEntry {
    Variant Value;
    double SqrSum = 0;
    int32_t Count = 0;
  };
  TAggEntry* Entry(int32_t index) { return static_cast<TAggEntry*>(list_->Get(index)); }
  // The entry at `index`, created (value 0, sums 0) when missing.
  TAggEntry& MakeEntry(int32_t index);

  std::unique_ptr<TSparseList> list_;
};
