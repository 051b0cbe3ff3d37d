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
//     appended as 4 bytes most significant first, and the string goes into
//     a byte trie.  Siblings are kept in sort order, so walking the trie
//     gives the keys in order without any comparison sort, and equal keys
//     come in record-number order (rising or falling with the sort).
//   * Trie nodes are 10 bytes carved from up to 32 pages of 40,960 bytes.
//     Links between nodes are 32-bit node indexes (page * 4096 + slot), never
//     pointers, so the pages can be freed and reused wholesale.  Node 0 is the
//     implicit root.  A node that was created below a childless node may carry
//     up to four further key bytes inline (in its sibling word); such a node
//     is always an only child and is split one level down before a sibling is
//     linked next to it.
//     Beside the pages: each node's last child (keys added in record order
//     append there without walking the sibling chain), and for the root and
//     the nodes of the first two key bytes a row of 256 children by byte, so
//     the dense top of the trie is searched without walking chains.
//   * When the pages are full the trie is flushed, in order, into a run:
//     a chain of 16,384-byte blocks of front-coded records
//       byte kind (0x10 binary, 0x20 text, 0x30 float, 0x40 date; 0 ends
//       the block), 16-bit total length (record number included), 16-bit
//       suffix length n, n bytes (the key's last n bytes; the first total-n
//       bytes are those of the previous record of the run).
//   * Reading back merges all runs through a binary heap; runs compare
//     their first eight bytes as one number before the rest.
//   * Memory is bounded by a budget (64 MB unless set otherwise): the trie
//     and the runs held in memory stay within it.  When the runs outgrow it
//     they are merged into one run written to a temporary file, which is
//     unlinked as soon as it is open, so no path (a failure, a crash)
//     leaves it behind; reading then merges the file runs, one block of
//     each in memory, with the runs still in memory.  A small budget also
//     shrinks the trie, so runs are flushed sooner.  The order that comes
//     back never depends on the budget.
//
// Key count, unique and descending rules:
//   * KeyCount() is the number of distinct (key, record) pairs added; it
//     survives flushes (builders size their pages from it).
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

class TcvSort {
public:
  // Kinds of key as they are kept in the trie and in runs.
  static constexpr uint8_t kindBinary = 0x10;
  static constexpr uint8_t kindText = 0x20;
  static constexpr uint8_t kindFloat = 0x30;
  static constexpr uint8_t kindDate = 0x40;

  static constexpr int32_t MaxKeyLength = 240;
  static constexpr int32_t TriePageSize = 40960;
  static constexpr int32_t TrieNodeSize = 10;
  static constexpr int32_t TrieNodesPerPage = TriePageSize / TrieNodeSize;  // 4096
  static constexpr int32_t TrieMaxPages = 32;
  static constexpr int32_t TrieMaxNodes = TrieNodesPerPage * TrieMaxPages;  // 131,072
  static constexpr int32_t RunBlockSize = 16384;
  static constexpr size_t DefaultBudget = size_t{64} << 20;

  // The budget new sorters take: bytes of trie and in-memory runs before
  // runs go to a temporary file.  0 restores DefaultBudget.
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

  // Reading back: the first key of the merge (flushing the trie and
  // forbidding further adds), then the next ones; false when no key is left.
  // The value gets its kind back (text, float, date, binary).
  bool GetFirstKey(TcvVariant& value, int32_t& recno);
  bool GetNextKey(TcvVariant& value, int32_t& recno);

  // Empties the trie and allows adding again; runs already written stay.
  void ReinitSorting();

  int32_t KeyCount() const { return keyCount_; }
  // The number of keys reading back gives: KeyCount(), or with the unique
  // flag the number of distinct keys, counted by one pass over the merge.
  // Reading starts again from the first key afterwards.
  int32_t OutputCount();
  int32_t KeyLength() const { return keyLength_; }
  bool IsUnique() const { return unique_; }
  bool IsAscending() const { return ascending_; }
  // Number of runs written so far (the trie flushes when its pages fill).
  size_t RunCount() const { return flushCount_; }
  // The budget of this sorter; set before the first key (0: the default).
  void SetMemoryBudget(size_t bytes);
  size_t MemoryBudget() const { return budget_; }
  // Runs written to the temporary file so far.
  size_t SpilledRunCount() const { return spilledRuns_; }
  // Bytes held now by the trie and the runs in memory.
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
  void SizeTriePointer(int32_t nodes);
  uint32_t GetTriePointer();
  void CompressKeys();
  // Flushes the trie once, then (re)starts the merge at the first key.
  void PrepareReading();
  bool GetNextAvailKey(RawKey& key);
  bool NextFromMerge(RawKey& key);
  bool RunAfter(const TcvPageCollection* x, const TcvPageCollection* y) const;
  void SiftDown(std::vector<TcvPageCollection*>& heap, size_t i) const;
  // Merges the runs held in memory into one run in the temporary file.
  void SpillRuns();
  size_t TrieBytes() const;
  bool SameKey(const RawKey& a, const RawKey& b) const;
  int CompareBytes(uint8_t a, uint8_t b) const;
  int CompareRecords(const uint8_t* a, int32_t aLen, const uint8_t* b, int32_t bLen) const;
  void DecodeKey(uint8_t kind, const uint8_t* p, int32_t n, RawKey& key) const;

  // Longest stored form of a key: escaped weights and bytes of a collated
  // text key, each with its closing 0.
  static constexpr int32_t EncodedMax = 2 * (2 * MaxKeyLength + 1);

  uint8_t* Node(uint32_t index) {
    return pages_[index / TrieNodesPerPage].get() + (index % TrieNodesPerPage) * TrieNodeSize;
  }

  bool unique_;
  bool ascending_;
  int32_t keyCount_ = 0;
  int32_t keyLength_;
  const uint8_t* collate_;
  bool addingAllowed_ = true;

  // Memory: the budget, the trie size it allows, the bytes of runs held in
  // memory, and the temporary file once runs went there.
  size_t budget_ = 0;
  uint32_t maxNodes_ = TrieMaxNodes;
  int32_t maxRows_ = 2048;
  size_t runBytes_ = 0;
  size_t flushCount_ = 0;
  size_t spilledRuns_ = 0;
  std::unique_ptr<SpillFile> spill_;

  // Trie.
  std::vector<std::unique_ptr<uint8_t[]>> pages_;
  uint32_t nextNode_ = 1;  // node 0 is the root
  // Last child of every node (0 none), beside the pages: keys added in
  // record order append after it without walking the sibling chain.
  std::unique_ptr<uint32_t[]> tails_;
  // Rows: the children of a node by their byte (0 none), kept beside the
  // sibling chain for the root and for nodes of the first RowDepth key
  // bytes, as long as the maxRows_ rows last.  rowOf_ holds a node's row
  // number plus one (0 none); a node with inline bytes has none.
  static constexpr int32_t RowDepth = 2;
  std::unique_ptr<uint32_t[]> rowOf_;
  std::unique_ptr<uint32_t[]> rows_;
  int32_t rowsUsed_ = 0;
  uint32_t* Row(uint32_t node) {
    const uint32_t r = rowOf_[node];
    return r ? rows_.get() + static_cast<size_t>(r - 1) * 256 : nullptr;
  }
  uint32_t* NewRow(uint32_t node);

  // Runs and the merge.
  std::vector<std::unique_ptr<TcvPageCollection>> runs_;
  std::vector<TcvPageCollection*> heap_;
  bool reading_ = false;
  bool havePending_ = false;
  RawKey pending_;
  RawKey last_;
  bool haveLast_ = false;
};
