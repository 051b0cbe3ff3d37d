// The key sorter behind every index build and the table sort.
//
// TcvSort orders a stream of (key, record number) pairs in bounded memory.
// The index builders feed it every record's key and then read the keys back
// in order to write their trees bottom-up; the record handler's table sort
// does the same to write the sorted table.
//
// How it works:
//   * Each key is turned into a byte string that sorts byte-wise: text
//     without trailing blanks, floats as 8 order-preserving bytes (all eight
//     are kept: dropping low bytes of negative values misorders them), dates
//     as the day number most significant byte first.  Text and binary keys
//     get a closing 0 byte (bytes 0 and 1 inside them are escaped as 1,1 and
//     1,2) so a key sorts before every longer key it begins, as the index
//     compares them; under a collation table a text key is stored as its
//     escaped weights, 0, then its escaped bytes, 0.  The record number is
//     appended as 4 bytes most significant first, so equal keys come in
//     record-number order (rising or falling with the sort).
//   * The strings go into a batch (key_batch.h): one buffer holding the
//     strings and a 16-byte entry per key, sorted by an in-place radix sort
//     over the entries when the batch is read or full.  Descending order is
//     the ascending one read backwards.
//   * A full batch is written, in order, as a run to a temporary file: a
//     chain of 16,384-byte blocks of front-coded records
//       byte kind (0x10 binary, 0x20 text, 0x30 float, 0x40 date; 0 ends
//       the block), 16-bit total length (record number included), 16-bit
//       suffix length n, n bytes (the key's last n bytes; the first total-n
//       bytes are those of the previous record of the run).
//     The file is made in the sorter's temporary directory (the system's
//     unless one is set) and unlinked as soon as it is open, so no path (a
//     failure, a crash) leaves it behind.
//   * Reading back walks the last batch straight from memory when nothing
//     was written to the file; otherwise it merges the runs of the file,
//     one block of each in memory, with the last batch through a binary
//     heap (runs compare their first eight bytes as one number before the
//     rest).  When there are more runs than the budget has blocks for,
//     groups of them are first merged into longer runs in the file.
//   * Memory is bounded by a budget (16 MB unless set otherwise): the batch
//     takes the budget less room for the blocks of the merge.  The order
//     that comes back never depends on the budget.  A bigger batch buys
//     little: the radix sort costs the same per key in batches of any size,
//     and writing runs out and merging them back adds some 35 ms a million
//     keys, a small part of an index build; so the default keeps a build of
//     any size in 16 MB.
//
// Key count, unique and descending rules:
//   * KeyCount() is the number of (key, record) pairs added; a pair added
//     twice into one batch comes back once, and KeyCount() counts it once
//     as soon as reading has begun (builders size their pages from it).
//   * With the unique flag only one record of equal keys comes back, the one
//     with the lowest record number, ascending or descending; this is the
//     record an incremental add into a unique tag keeps as well.
//   * -0.0 is stored as 0.0: the index compares them equal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TcvVariant;
class TcvKeyBatch;

class TcvSort {
public:
  // Kinds of key as they are kept in batches and runs.
  static constexpr uint8_t kindBinary = 0x10;
  static constexpr uint8_t kindText = 0x20;
  static constexpr uint8_t kindFloat = 0x30;
  static constexpr uint8_t kindDate = 0x40;

  static constexpr int32_t MaxKeyLength = 240;
  static constexpr int32_t RunBlockSize = 16384;
  static constexpr size_t DefaultBudget = size_t{16} << 20;

  // The budget new sorters take: bytes of keys held in memory, with the
  // blocks of the merge, before runs go to a temporary file.  0 restores
  // DefaultBudget.
  static void SetDefaultMemoryBudget(size_t bytes);
  static size_t DefaultMemoryBudget();

  // keyLength: the longest value AddKey accepts, 1 to 240; otherwise raises
  // "Sort key length must be 1-%d bytes, is %d".  collateTable (256 bytes, or
  // none for byte order) orders the bytes of text keys; it must stay alive as
  // long as the sorter.
  TcvSort(int32_t keyLength, bool unique, bool ascending, const uint8_t* collateTable = nullptr);
  virtual ~TcvSort();
  TcvSort(const TcvSort&) = delete;
  TcvSort& operator=(const TcvSort&) = delete;

  // Adds one key.  Text, float, date and binary values are accepted; any other
  // kind raises "Variant type cannot be sorted".  A value longer than the key
  // length raises "Sort key length must be 1-%d bytes, is %d"; adding after
  // reading began raises "Cannot add sort keys after beginning retrieval".
  void AddKey(const TcvVariant& value, int32_t recno);
  void AddTextKey(std::string_view text, int32_t recno);
  void AddFloatKey(double value, int32_t recno);
  void AddDateKey(int32_t julianDay, int32_t recno);
  void AddBinaryKey(const void* bytes, int32_t length, int32_t recno);

  // Reading back: the first key of the merge (sorting the last batch and
  // forbidding further adds), then the next ones; false when no key is left.
  // The value gets its kind back (text, float, date, binary).
  bool GetFirstKey(TcvVariant& value, int32_t& recno);
  bool GetNextKey(TcvVariant& value, int32_t& recno);

  // Drops the keys added since the last run was written and allows adding
  // again; runs already written stay (once reading has begun every key is
  // in a run).
  void ReinitSorting();

  int32_t KeyCount() const { return keyCount_; }
  // The number of keys reading back gives: KeyCount(), or with the unique
  // flag the number of distinct keys, counted by one pass over the merge.
  // Reading starts again from the first key afterwards.
  int32_t OutputCount();
  int32_t KeyLength() const { return keyLength_; }
  bool IsUnique() const { return unique_; }
  bool IsAscending() const { return ascending_; }
  // Number of runs so far: batches written to the file, and the last batch
  // once reading has begun.
  size_t RunCount() const { return runCount_; }
  // The budget of this sorter; set before the first key (0: the default).
  void SetMemoryBudget(size_t bytes);
  size_t MemoryBudget() const { return budget_; }
  // Runs written to the temporary file so far.
  size_t SpilledRunCount() const { return spilledRuns_; }
  // Where the temporary file of spilled runs is made; empty (the default)
  // for the system's temporary directory.  Set before the first key.
  void SetTempDirectory(const std::string& directory) { tempDirectory_ = directory; }
  const std::string& TempDirectory() const { return tempDirectory_; }
  // Bytes of memory the sorter has taken: the part of its batch buffer it
  // has used, and the blocks of runs it holds.
  size_t MemoryInUse() const;

  // A key as it comes out of the merge: kind and the sortable bytes (record
  // number not included).  Builders that write pages straight from these
  // bytes use the raw interface below.
  struct RawKey {
    uint8_t kind = 0;
    int32_t length = 0;  // key bytes, record number excluded
    int32_t recno = 0;
    uint8_t bytes[256];
  };
  bool GetFirstRaw(RawKey& key);
  bool GetNextRaw(RawKey& key);
  // Turns a raw key back into a value of its kind.
  static void RawToValue(const RawKey& key, TcvVariant& value);

  // Implementation details follow.
private:
  class TcvPageCollection;  // one run
  struct SpillFile;         // the temporary file of spilled runs

  void CheckAdding(int32_t valueLength) const;
  // bytes holds length key bytes and room for 4 more (the record number).
  void StuffKey(uint8_t* bytes, int32_t length, int32_t recno, uint8_t kind);
  // Sorts the batch and writes it as a run to the temporary file.
  void SpillBatch();
  SpillFile& Spill();
  // Sorts the last batch once, then (re)starts the merge at the first key.
  void PrepareReading();
  // Merges file runs into one until the merge has a block for each.
  void MergeFileRuns();
  bool GetNextAvailKey(RawKey& key);
  bool NextFromMerge(RawKey& key);
  bool RunAfter(const TcvPageCollection* x, const TcvPageCollection* y) const;
  void SiftDown(std::vector<TcvPageCollection*>& heap, size_t i) const;
  bool SameKey(const RawKey& a, const RawKey& b) const;
  int CompareRecords(const uint8_t* a, int32_t aLen, const uint8_t* b, int32_t bLen) const;
  void DecodeKey(uint8_t kind, const uint8_t* p, int32_t n, RawKey& key) const;

  // Longest stored form of a key: escaped weights and bytes of a collated
  // text key, each with its closing 0.
  static constexpr int32_t EncodedMax = 2 * (2 * MaxKeyLength + 1);

  bool unique_;
  bool ascending_;
  int32_t keyCount_ = 0;
  int32_t keyLength_;
  const uint8_t* collate_;
  bool addingAllowed_ = true;

  // Memory: the budget, the batch it allows, how many runs one merge takes
  // (a block each), and the temporary file once runs went there.
  size_t budget_ = 0;
  size_t fanIn_ = 2;
  size_t runCount_ = 0;
  size_t spilledRuns_ = 0;
  std::unique_ptr<TcvKeyBatch> batch_;
  std::unique_ptr<SpillFile> spill_;
  std::string tempDirectory_;

  // Runs and the merge.
  std::vector<std::unique_ptr<TcvPageCollection>> runs_;
  std::unique_ptr<TcvPageCollection> batchRun_;  // the last batch as a run of the merge
  std::vector<TcvPageCollection*> heap_;
  bool reading_ = false;
  bool havePending_ = false;
  RawKey pending_;
  RawKey last_;
  bool haveLast_ = false;
};
