// The single-tag index file ".ntx": tag, file and bulk builder.
//
// A B-tree of 1024-byte pages (layout in ntx_format.h) in which every key is
// stored once: in a leaf, or as a separator in an interior page, the key
// between its left child's keys and the next child's.  The index core wants
// every key in a leaf and each interior key to be the highest of its child,
// so pages are mapped when loaded and back when stored:
//   * an interior page gets a last entry for its rightmost child, keyed with
//     the separator its parent holds for the page, or with the single byte
//     0xFF on the tree's rightmost path;
//   * a leaf off the rightmost path gets its parent's separator (with that
//     entry's record number) appended as its last key.
// Storing drops those again: an interior page writes all but its last entry
// as keyed entries and the last one's child in the spare slot; a leaf off
// the rightmost path leaves its last entry to the parent.
//
// Keys are text: character keys without trailing blanks (never case-folded:
// a case-free order is asked for with an UPPER() key expression, which is
// stored with the file and applied on every update), dates as "yyyymmdd",
// numbers as the sortable digit text of ntx_format.h.  A descending tag
// stores its keys in descending order.
//
// The header's change counter runs 1..32767 and is raised before every
// record update, so other programs (and ExternalChange) see the change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/key_sorter.h"
#include "dbf_engine/index/ntx_format.h"

class CVobjNTXFile;
class CVobjSortNTX;

class CVobjNTXTag : public CVobjIndexTag {
public:
  CVobjNTXTag(CVobjNTXFile* owner, const std::string& name);
  ~CVobjNTXTag() override;

  void AdjustValue(TcvVariant& key, bool forStorage) override;
  bool IndexTagNew(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
                   bool unique) override;
  int32_t NewRoot() override;
  int32_t PageLoad(int32_t page, CVobjIndexKey& node) override;
  int64_t OpenedCounter() const override { return openedCounter_; }
  int64_t CounterOnDisk() override;
  int32_t PageStore(CVobjIndexKey& node) override;
  bool WrittenKeyless(const CVobjIndexKey& node) const override;
  void TagLoad() override;
  void TagStore() override;

  const NtxHeader& Header() const { return header_; }
  int32_t Decimals() const { return header_.Decimals; }

private:
  friend class CVobjNTXFile;
  void DoIndex();
  // The key's type, length and decimals as the current record's key gives
  // them (a build takes them from record 1); false for a key of no kind.
  bool TrialKey(char& type, int32_t& length, int32_t& decimals);
  // After a pack: the tag's entries in key order, those of removed records
  // dropped and the rest renumbered, put in the builder's order in a spool.
  // None when a rebuild could write anything else: a unique tag, a key or
  // FOR condition that may move with the record number, a key layout the
  // first record would change, entries out of the builder's order or met
  // twice, or a damaged tree.
  std::unique_ptr<cvRenumberedSpool> CollectRenumbered(const cvPackRenumbering& renumbering);
  // The sorter DoIndex makes for the tag's layout.
  std::unique_ptr<CVobjSortNTX> MakeSorter() const;
  void WriteNode(CVobjIndexKey& node, bool rightmost);
  bool OnRightmostPath(const CVobjIndexKey& node) const;
  void GuessKeyType();

  CVobjNTXFile* ntx_;
  NtxHeader header_;
  // What the last page loaded was decoded from (shared files).
  std::string decodedFrom_;
  // The header's change counter as the last NewRoot read it (-1: not read).
  int64_t openedCounter_ = -1;
  // Set while a pack rebuilds the tag from its renumbered entries.
  cvRenumberedSpool* renumbered_ = nullptr;
};

class CVobjNTXFile : public CVobjIndexFile {
public:
  // Opens `name` (default extension ".ntx").  An existing file has its tag,
  // named after the file, loaded from offset 0; a created file is empty
  // until AddTag.  Raises "File %s could not be found" when the file does
  // not open and "Index file %s is corrupted" for a header that is not sound.
  CVobjNTXFile(CVobjIndexTableLink* table, const std::string& name, bool readWrite, bool shared, bool create,
               bool overwrite);
  ~CVobjNTXFile() override;

  bool AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
              bool unique) override;
  int32_t GetAvailPage() override;
  int32_t ResetAvailPage() override;
  void Reindex() override;
  bool ReindexRenumbered(const cvPackRenumbering& renumbering) override;
  // Raises the change counter and stores the header, then updates the tag.
  bool TagUpdate(int32_t recno, bool appending) override;
  // For a shared file: true when the counter on disk differs from ours.
  bool ExternalChange() override;
  // Every writer raises the counter, so an unchanged counter means the tree
  // read at our last open or update is still the file's.
  bool TreesOutdated() override;
  // Leaves the header and one empty root page at 1024: 2,048 bytes, under
  // the whole-file lock.  The counter starts again at 1, or on a shared
  // file moves on from the file's so other handles see their trees went.
  virtual void Zap();

  CVobjNTXTag* NtxTag() const;
  uint16_t Counter() const;

private:
};

// Writes an NTX tree bottom-up from sorted keys.
class CVobjSortNTX : public TcvSort {
public:
  CVobjSortNTX(int32_t keyLength, bool unique, bool ascending);
  // Reads every key back in order and writes the pages; returns the root.
  // With `renumbered` its entries are written instead, in their order.
  int32_t WriteTree(CVobjNTXTag& tag, CVobjNTXFile& file, CVobjIndexTableLink* table,
                    cvRenumberedSpool* renumbered = nullptr);
};
