// Multiple-tag index files (".mdx"): up to 47 named tags in one file.
//
// A 2048-byte file header with the tag table, then pages of two 512-byte
// blocks for tag headers and nodes (byte layouts in mdx_format.h).  Every
// key sits in a leaf and each interior key repeats the highest key of its
// child, which is the index core's own view of a node:
//   * a leaf entry is a key with its record number, an interior entry a key
//     with its child block; the keyless last entry of an interior node (its
//     rightmost child) gets a key beyond every real one when loaded;
//   * keys in memory: character keys are text without trailing blanks
//     (written blank-padded), numeric keys the double their packed-decimal
//     form holds (at most 15 significant digits), date keys the day number
//     as a double (an empty date 1.0E100, so it sorts last);
//   * a descending tag stores its keys in descending order (the core's
//     descending compare); equal keys stay in record order either way, in
//     builds and in later inserts alike.
//
// Every page written for the first time joins the tag's page chain (the
// word at 4 of a node, the chain's ends in the tag header); a page written
// again keeps its word, so a root that splits moves to a new page that joins
// the chain while the new root keeps the root page's place in it.  Pages
// are never reused; the header's "next free block" follows every page
// handed out and never falls behind the file's end, so another program that
// allocates from it never lands on a live page.
//
// Limits refused before anything is written: a 48th tag (the header holds
// 47 entries; the next one would land on the first tag's header page), tag
// names that are empty or longer than 10 characters, key expressions longer
// than 220 bytes and FOR expressions that do not fit their field.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/index/index_core.h"
#include "dbf_engine/index/key_sorter.h"
#include "dbf_engine/index/mdx_format.h"

class CVobjMDXFile;
class CVobjSortMDX;

class CVobjMDXTag : public CVobjIndexTag {
public:
  // A tag whose header page starts at block `headerBlock`.
  CVobjMDXTag(CVobjMDXFile* owner, const std::string& name, int32_t headerBlock);
  ~CVobjMDXTag() override;

  void AdjustValue(TcvVariant& key, bool forStorage) override;
  // Makes the tag from a trial evaluation of the key (record 1) and builds
  // it from the table.
  bool IndexTagNew(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
                   bool unique) override;
  int32_t NewRoot() override;
  int32_t PageLoad(int32_t page, CVobjIndexKey& node) override;
  int32_t PageStore(CVobjIndexKey& node) override;
  // An interior node writes its last child without a key.
  bool WrittenKeyless(const CVobjIndexKey&) const override { return true; }
  void TagLoad() override;
  void TagStore() override;

  const MdxTagHeader& Header() const { return header_; }

  // Implementation details follow.
private:
  friend class CVobjSortMDX;
  friend class CVobjMDXFile;
  void DoIndex();
  // After a pack: the tag's leaf entries in key order, those of removed
  // records dropped and the rest renumbered, put in the builder's order in
  // a spool whose runs of equal keys take at most `budget` bytes.  None
  // when a rebuild could write anything else: a unique or numeric tag
  // (packed numbers hold fewer digits than the values the rebuild sorts), a
  // key or FOR condition that may move with the record number, a key layout
  // the first record would change, entries out of the builder's order or
  // met twice, or a damaged tree.
  std::unique_ptr<cvRenumberedSpool> CollectRenumbered(const cvPackRenumbering& renumbering, size_t budget);
  // The sorter DoIndex makes for the tag's layout.
  std::unique_ptr<CVobjSortMDX> MakeSorter();
  // The key's type and length as the key expression gives them for the
  // current record; false for a value no key holds.
  bool TrialKey(char& type, int32_t& length);
  void WriteNode(CVobjIndexKey& node);
  // Writes a node page; a page new to the tag joins the chain first
  // (`prev` < 0), and the chain block written before it is returned.
  int32_t WritePage(int32_t page, const MdxNode& node, int32_t prev);
  void WriteEmptyRoot();
  std::string StoredKey(const TcvVariant& key) const;
  void LoadedKey(std::string_view bytes, TcvVariant& key) const;
  void TopKey(TcvVariant& key) const;
  // A loaded node must lie between the separators its parent holds for it;
  // anything else is a corrupt file (and would send seeks wandering).
  void CheckAgainstParent(const CVobjIndexKey& node) const;

  CVobjMDXFile* mdx_;
  MdxTagHeader header_;
  std::vector<uint8_t> pageBuffer_;  // the page being loaded, kept between loads
  // Set while a pack rebuilds the tag from its renumbered entries.
  cvRenumberedSpool* renumbered_ = nullptr;
};

// Writes an MDX tag bottom-up from sorted keys, each level's keys spread
// evenly over the fewest nodes that hold them, the topmost one as root.
class CVobjSortMDX : public TcvSort {
public:
  CVobjSortMDX(CVobjMDXTag* tag, int32_t keyLength, bool unique, bool ascending);
  // Returns the root block.  With `renumbered` its entries are written
  // instead of the sorted keys, in their order.
  int32_t WriteTree(cvRenumberedSpool* renumbered = nullptr);

private:
  CVobjMDXTag* tag_;
};

class CVobjMDXFile : public CVobjIndexFile {
public:
  // Opens `name` (default extension ".mdx"; the table's directory when the
  // name has none).  A created file, or an existing one of 512 bytes or
  // less opened for writing, gets a new header at once.  Raises "File %s
  // could not be found" when the file does not open and "Index file %s is
  // corrupted" for a header or tag header that is not sound.
  CVobjMDXFile(CVobjIndexTableLink* table, const std::string& name, bool readWrite, bool shared, bool create,
               bool overwrite);
  ~CVobjMDXFile() override;

  // Adds (or replaces) a tag and builds it; the tag table is rewritten in
  // name order.  Refuses a 48th tag, bad names and over-long expressions.
  bool AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
              bool unique) override;
  // Drops a tag; with none left the file shrinks to its header.
  bool DeleteTag(const std::string& name) override;
  int32_t GetAvailPage() override;
  int32_t ResetAvailPage() override;
  // Empties the file to its header and builds every tag again.
  void Reindex() override;
  // Each tag that can be renumbered is written from its entries, the others
  // are built from the records, in one Reindex.
  bool ReindexRenumbered(const cvPackRenumbering& renumbering) override;
  void Rename(const std::string& newName) override;
  bool TagUpdate(int32_t recno, bool appending) override;
  void ReloadAfterRollBack() override;
  // The tags, then the file header when keys changed (as the destructor
  // writes it), raising what fails.
  void CloseTags() override;

  // Writes the file header now (tag table, count, next free block and, when
  // keys changed, today's date); raises on a write failure.
  void Flush();

  const MdxFileHeader& Header() const { return header_; }
  CVobjMDXTag* MdxTag(int32_t i) const { return static_cast<CVobjMDXTag*>(TagByNumber(i)); }

  // Implementation details follow.
private:
  friend class CVobjMDXTag;
  // Defers the header's "next free block" to the end of a long operation.
  class BatchScope;

  void NewHeader();
  void LoadTags();
  bool AddTagOnce(const std::string& tagName, const std::string& keyExpr, const std::string& forExpr, bool ascending,
                  bool unique);
  void CheckProductionIndex();
  // Puts the tags in name order (ignoring case) and copies them into the
  // header's tag table.
  void SortTags();
  void WriteHeader();
  void WriteNextFree();
  // What the header's "next free block" says: the first block past every
  // page handed out and past the file's end.
  int32_t NextFreeBlock() const;
  // On a shared file another handle may have rebuilt the file since we read
  // its header: the header on disk becomes ours, and a tag whose header
  // page moved reads it from its new place.  Not during our own rebuild.
  void FollowHeader();

  MdxFileHeader header_;
  bool keysChanged_ = false;
  int batch_ = 0;
  // The header's bytes as FollowHeader last read and followed them.
  std::vector<uint8_t> followed_;
};
