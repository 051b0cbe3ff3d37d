// The single-tag index file ".ndx": tag, file and bulk builder.
//
// A tree of 512-byte blocks (layout in ndx_format.h) in which every key sits
// in a leaf and each interior key repeats the highest key of its child, so
// the index core's view of a node is the file's own: a leaf entry is a key
// with its record number, an interior entry a key with its child block.  The
// keyless last entry of an interior node (its rightmost child) is given a key
// above every real one when loaded: the single byte 0xFF for character keys,
// 1.7E308 for numeric and date keys.
//
// Keys inside the engine: character keys are text without trailing blanks
// (written blank-padded); numeric keys are floats; date keys are the day
// number as a float, an empty date 1.0E100 so it sorts after every dated
// record.  A tag is always ascending and holds every record (the format has
// no descending order and no FOR condition).
//
// Blocks are never reused: new nodes are appended at the "next free block",
// which the header keeps current whenever a split or a build appends one, so
// another program that allocates from it never lands on a live node.  The
// entry length and the maximum keys per node of an opened file are the ones
// its header stores (other programs round differently), never re-derived.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/key_sorter.h"
#include "dbf_engine/index/ndx_format.h"

class CVobjNDXFile;
class CVobjSortNdx;

class CVobjNDXTag : public CVobjIndexTag {
public:
  CVobjNDXTag(CVobjNDXFile* owner, const std::string& name);
  ~CVobjNDXTag() override;

  void AdjustValue(TcvVariant& key, bool forStorage) override;
  // Makes the tag (always ascending, FOR ignored) from a trial evaluation of
  // the key and builds it from the table.
  bool IndexTagNew(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
                   bool unique) override;
  int32_t NewRoot() override;
  int32_t PageLoad(int32_t page, CVobjIndexKey& node) override;
  int32_t PageStore(CVobjIndexKey& node) override;
  // An interior node writes its last child without a key.
  bool WrittenKeyless(const CVobjIndexKey&) const override { return true; }
  void TagLoad() override;
  void TagStore() override;

  const NdxHeader& Header() const { return header_; }

private:
  friend class CVobjNDXFile;
  void DoIndex();
  // After a pack: the tag's leaf entries in key order, those of removed
  // records dropped and the rest renumbered, put in the builder's order in
  // a spool.  None when a rebuild could write anything else: a unique tag,
  // a key that may move with the record number, a key layout the first
  // record would change, entries out of the builder's order or not one per
  // record, or a damaged tree.
  std::unique_ptr<cvRenumberedSpool> CollectRenumbered(const cvPackRenumbering& renumbering);
  // The sorter DoIndex makes for the tag's layout.
  std::unique_ptr<CVobjSortNdx> MakeSorter() const;
  // The key's type and length as the key expression gives them for the
  // current record; false for a value no key holds.
  bool TrialKey(char& type, int32_t& length);
  void WriteNode(CVobjIndexKey& node);
  std::string StoredKey(const TcvVariant& key) const;
  void ReadHeaderBlock(uint8_t* block);

  CVobjNDXFile* ndx_;
  NdxHeader header_;
  // Set while a pack rebuilds the tag from its renumbered entries.
  cvRenumberedSpool* renumbered_ = nullptr;
};

class CVobjNDXFile : public CVobjIndexFile {
public:
  // Opens `name` (default extension ".ndx"; the table's directory when the
  // name has none).  An existing file has its one tag, named after the file,
  // loaded from block 0; a created file is empty until AddTag.  Raises "File
  // %s could not be found" when the file does not open and "Index file %s is
  // corrupted" for a header that is not sound.
  CVobjNDXFile(CVobjIndexTableLink* table, const std::string& name, bool readWrite, bool shared, bool create,
               bool overwrite);
  ~CVobjNDXFile() override;

  // Replaces the file's tag by a new one and builds it.
  bool AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
              bool unique) override;
  int32_t GetAvailPage() override;
  int32_t ResetAvailPage() override;
  // Empties the file and builds the tag again from its own key.
  void Reindex() override;
  bool ReindexRenumbered(const cvPackRenumbering& renumbering) override;
  // Leaves the header and one empty root leaf (block 1): 1,024 bytes.
  virtual void Zap();

  CVobjNDXTag* NdxTag() const;

private:
  friend class CVobjNDXTag;
  // Holds the index lock for one scope (nothing for an unshared file).
};

// Writes an NDX tree bottom-up from sorted keys.
class CVobjSortNdx : public TcvSort {
public:
  CVobjSortNdx(int32_t keyLength, bool unique);
  // Reads every key back in order and writes the leaves and interior levels
  // at new blocks; returns the root block.  With `renumbered` its entries
  // are written instead, in their order.
  int32_t WriteTree(CVobjNDXTag& tag, CVobjNDXFile& file, CVobjIndexTableLink* table,
                    cvRenumberedSpool* renumbered = nullptr);
};
