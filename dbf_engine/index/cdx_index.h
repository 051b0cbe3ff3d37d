// Compound index files (".cdx"): many named tags in one file.
//
// A CDX file holds a tag list (itself a tag, whose keys are the upper-cased
// tag names and whose "record numbers" are the offsets of the tag headers)
// and any number of tags, each a B-tree of 512-byte nodes with
// prefix-compressed leaves.  The byte layouts live in cdx_format.h; this
// module maps them onto the index core's view:
//   * leaf entries are (key, record number) with the record number as link;
//     interior entries carry the record number of the highest key under the
//     child and link the child's offset;
//   * keys are always stored ascending and equal keys in record-number order
//     (the file is ordered by record); a descending tag is read backwards;
//   * keys in memory have the form of cdx_format.h.  Character keys under
//     MACHINE collation stay text (so a partial find matches a prefix);
//     numeric, date and GENERAL keys are kept as binary values, which mark
//     them as already converted (AdjustValue is applied more than once on
//     the way through the core and must not convert twice).
//
// The memory index (memory_index.h) uses CVobjCDXTag unchanged: its pages
// are numbered buffers, not byte offsets, so the offset checks of a disk
// file do not apply there (the tag asks its file which kind it has).
//
// Limits refused before anything is written: key and FOR texts that do not
// fit the 512-byte expression area of the header, tag names that are empty
// or longer than the tag list's 10-byte keys.  A tag whose key expression
// yields no value is not entered in the tag list, and the add reports it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dbf_engine/index/cdx_format.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/key_sorter.h"

class CVobjIndexTableLink;

// Collation given to tags added from now on (the record handler sets it
// before each add; opening a CDX file resets it to Machine).
extern CVsetCDXCollateType CVbytCDXCollateInfo;

class CVobjCDXTag : public CVobjIndexTag {
public:
  // A tag whose 1024-byte header lives at `headerPage` (a byte offset in a
  // CDX file, a page number in a memory index).
  CVobjCDXTag(CVobjIndexFile* owner, const std::string& name, int32_t headerPage);
  ~CVobjCDXTag() override;

  void AdjustValue(TcvVariant& key, bool forStorage) override;
  bool IndexTagNew(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
                   bool unique) override;
  int32_t NewRoot() override;
  int32_t PageLoad(int32_t page, CVobjIndexKey& node) override;
  int32_t PageStore(CVobjIndexKey& node) override;
  void NodeLeaving(CVobjIndexKey& node) override;
  // The file's change counter (raised by every writer once its change is
  // written) as the last NewRoot read it on a shared file.
  int64_t OpenedCounter() const override { return openedCounter_; }
  // The same counter as the file holds it now.
  int64_t CounterOnDisk() override;
  void TagLoad() override;
  // A file opened for this handle alone keeps its decoded tree between
  // finds; a shared file is read afresh at every open.
  bool KeepsTreeCached() const override;
  void TagStore() override;

  // On a shared file: follows another handle's rebuild of the file before
  // the tag's header is read (see CVobjCDXFile::FollowTagList).
  void FollowFile();
  // Builds the tag from the table's records (bottom-up through the sorter).
  void DoIndex();
  // Makes this tag the file's tag list (options 0xE0, no collation).
  void MakeTagList();
  bool IsTagList() const { return (Options & kCdxOptTagList) != 0; }
  CdxKeyKind KeyKind() const { return CdxKindOf(KeyType(), Collation); }
  // The page addresses this tag's file may hold.
  CdxPageCheck PageCheck() const;
  // The largest record number a leaf must be able to hold.
  int64_t MaxRecord() const;

  uint8_t Options = kCdxOptCompact | kCdxOptCompound;
  CVsetCDXCollateType Collation = CVsetCDXCollateType::Machine;
  uint32_t ChangeCounter = 0;

  // Implementation details follow.
private:
  friend class CVobjSortCDX;
  void ReadPage(int64_t page, uint8_t* buffer, int32_t length) const;
  void WritePage(int64_t page, const uint8_t* buffer, int32_t length) const;
  void WriteLeaf(CVobjIndexKey& node);
  void WriteInterior(CVobjIndexKey& node);
  // After `left` was split off the front of `node`: siblings are relinked
  // (the old left neighbour on disk is rewritten).
  void LinkSplit(CVobjIndexKey& left, CVobjIndexKey& node);
  void DetermineKeyType();
  void WriteEmptyRoot();

  int64_t openedCounter_ = -1;
};

// The bottom-up writer of a CDX tag build: keys come out of the sorter in
// order and fill leaves and interior nodes level by level.
class CVobjSortCDX : public TcvSort {
public:
  CVobjSortCDX(CVobjCDXTag* tag, int32_t keyLength, bool unique);
  // Writes every key; returns the root offset (the tag must have keys).
  int32_t WriteTree();

private:
  CVobjCDXTag* tag_;
};

class CVobjCDXFile : public CVobjIndexFile {
public:
  // Opens (or creates) `name` with the default extension ".cdx".  A file
  // that does not open raises "File %s could not be found".
  CVobjCDXFile(CVobjIndexTableLink* table, const std::string& name, bool readWrite, bool shared, bool create,
               bool overwrite);
  ~CVobjCDXFile() override;

  bool AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
              bool unique) override;
  bool DeleteTag(const std::string& name) override;
  int32_t GetAvailPage() override;
  int32_t ResetAvailPage() override;
  void Reindex() override;
  // Updates every tag; when one changed, the list's change counter is
  // raised from the value on disk (read under the index lock) and written.
  bool TagUpdate(int32_t recno, bool appending) override;
  bool ExternalChange() override;
  // Every writer raises the list's counter: an unchanged counter means the
  // trees read since our last look are still the file's.
  bool TreesOutdated() override;
  void ReloadAfterRollBack() override;

  CVobjCDXTag* TagList() const { return tagList_.get(); }

  // Implementation details follow.
private:
  friend class CVobjCDXTag;
  void LoadTags();
  // The tags and the tag list.
  void DropTags() noexcept override;
  void CloseTags() override;
  void ReindexOnce();
  void AddTagOnce(const std::string& tagName, const std::string& keyExpr, const std::string& forExpr, bool ascending,
                  bool unique);
  void NewTagList();
  void CheckProductionIndex();
  // Removes the tag list entry of `tag`.
  void Unlist(CVobjCDXTag* tag);
  void List(CVobjCDXTag* tag);
  // The tag list's change counter as the file holds it now.
  uint32_t DiskChangeCounter();
  // On a shared file another handle may have rebuilt the file (which moves
  // the tag headers) since we last looked: when the counter moved, every tag
  // whose header is now elsewhere in the list reads it from there.
  void FollowTagList(uint32_t onDisk);
  void RelocateTags();
  // Raises the list's change counter (from the file's on a shared file)
  // and writes the list header.
  void CountListChange();
  bool layoutKnown_ = false;
  uint32_t layoutCounter_ = 0;

  std::unique_ptr<CVobjCDXTag> tagList_;
};
