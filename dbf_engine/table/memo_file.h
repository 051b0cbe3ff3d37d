// Memo files: the data of a table's M, B and G fields.
//
// A memo field holds a block number; the data lives in the table's companion
// file (block n starts at n * block size).  CVobjMemo carries the dBase III
// form and the shared machinery (lock with retries, read, write, size,
// rename); CVobjMemo4 and CVobjFXMemo20 change the allocation and the block
// header.  Every value read from a memo file is checked before it is used: a
// block beyond the end of the file, a damaged block header or a length that
// runs past the end is "Memo record is bad in %s", never stale bytes.
//
// dBase III .dbt (table version 0x83), blocks of 512 bytes:
//   header block 0: 0..3 next free block (u32 LE); 8..16 table name (at most
//   8 characters, zero-filled); rest zero.  A new file is 513 bytes (the
//   header block and one 0x1A).
//   A memo is its text followed by 0x1A 0x1A, in whole blocks; its length is
//   found by scanning to the first 0x1A (at most 65520 bytes, and never past
//   the end of the file).  Text that could not be read back that way (longer
//   than 65520 bytes, or holding a 0x1A) is refused on write.
//   Enciphered table: the memo starts with its length (u32 LE), then the
//   enciphered text, then the two end marks; the prefix counts in its blocks.
//
// dBase IV .dbt (0x8B):
//   header block 0: 0..3 first free block (u32 LE); 8..15 table name;
//   18 = 2; 19 = 1; 20..21 block size (u16 LE, 512 when created).  A file
//   shorter than one block is padded to one block when it is opened.
//   Used run: FF FF 08 00, total length (u32 LE: data length + 8), data.
//   Free run: next free run (u32 LE), run length in blocks (u32 LE).  The
//   header's first-free word heads the chain; a link at or beyond the end of
//   the file ends it.
//   A rewritten memo never goes over the run the record names: it is
//   written into free space, and the old run is given back only once the
//   record names the new one (see moMemoWrite).  A writer that dies in
//   between leaves a run that is neither used nor free: space lost, nothing
//   else.
//
// FoxPro .fpt (0xF5 and 0x30), integers big-endian:
//   header: 0..3 next free block (u32); 6..7 block size (u16, 64 when
//   created); a new file is 512 bytes.
//   Block header: type (u32: 1 written here; 0 also read), length (u32).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/lock_protocol.h"
#include "dbf_engine/table/disk_file.h"

constexpr uint32_t cvMemo3MaxLength = 65520;

class CVobjMemo : public CVO_DiskFile {
public:
  // Opens the memo file of the table `tableFileName` (extension ".dbt" for
  // versions 0x83 and 0x8B, ".fpt" for 0x30 and 0xF5).  Raises "File %s could
  // not be found" when it is missing.
  CVobjMemo(const std::string& tableFileName, const std::string& password, bool readWrite, bool shared,
            uint8_t version);
  ~CVobjMemo() override;

  // Chooses the block that receives a memo of `size` bytes and prepares the
  // block header in the work image; sets the new block count.
  virtual uint32_t moHuntAvailBlock(uint32_t size);
  // Gives the run at `block` back to the free chain (dBase IV; the others
  // never reuse a run).  The caller holds the memo lock of a shared file.
  virtual void moMemoBlockRelease(uint32_t block);
  // Finishes the image after the data (dBase III: two 0x1A).
  virtual void moMemoPutLast(std::vector<uint8_t>& image, size_t dataEnd);
  // Reads the block header in the work image and sets `used` (header + data).
  virtual void moMemoSetParam(uint32_t block, uint32_t& used);
  virtual void moSetLockProtocol(CVsetLokProtocol p);
  virtual void moRename(const std::string& newName);

  // Takes the memo lock with the retry policy; raises "Can not Lock file %s"
  // when every attempt is refused.
  bool moMemoLock();
  // Reads the memo at `block` into `buffer`: `size` is the room on entry and
  // the bytes delivered on return.  Block 0 is an empty memo.
  void moMemoRead(void* buffer, uint32_t block, uint32_t& size);
  void moMemoSpaceUsed(uint32_t block, uint32_t& used);
  // Writes `size` bytes as the memo that was at `block` (0: a new memo);
  // returns the block now holding it and stores it in `block`.  Size 0
  // writes nothing and returns 0.  dBase III and FoxPro rewrite a run that
  // is big enough in place and abandon one that is not.  A dBase IV memo
  // always goes to free space and the run at `block` stays as it is: the
  // caller gives it back with moMemoBlockRelease once nothing names it any
  // more (the record is written with the new block first), so the record
  // on disk names a whole memo at every moment.
  uint32_t moMemoWrite(const void* buffer, uint32_t& block, uint32_t& size);
  uint32_t moMemoSize(uint32_t block);

  uint8_t Version() const { return version_; }
  uint32_t BlockSize() const { return blockSize_; }
  uint32_t BlockHeaderSize() const { return blockHeaderSize_; }
  uint32_t CurrentBlock() const { return currentBlock_; }
  uint32_t BlockCount() const { return blockCount_; }
  CVsetLokProtocol LockProtocol() const { return protocol_; }
  void SetCipher(bool v) { cipher_ = v; }
  void SetReadKey(const std::string& k) { readKey_ = k; }
  void SetWriteKey(const std::string& k) { writeKey_ = k; }
  // The memo lock region of the current convention.
  void MemoLockRegion(int64_t& offset, int64_t& length) const;

  // The memo file name of a table file name and version.
  static std::string MemoFileName(const std::string& tableFileName, uint8_t version);

protected:
  // True when a rewrite may go over the old run (it is measured first).
  virtual bool RewritesInPlace() const { return true; }
  [[noreturn]] void BadMemo() const;
  // Blocks that `bytes` occupy.
  uint32_t BlocksFor(uint64_t bytes) const;
  // First block past the end of the file.
  uint32_t EndBlock();
  // Bytes of a dBase III image: prefix (enciphered), data, two end marks.
  uint32_t Memo3Footprint(uint32_t dataLength, bool enciphered) const;
  void ReadHeaderWord(uint32_t& nextFree);
  void WriteHeaderWord(uint32_t nextFree);

  uint8_t version_;
  uint32_t currentBlock_ = 0;
  uint32_t blockCount_ = 0;  // blocks of the current memo
  uint32_t blockSize_ = 512;
  std::array<uint8_t, 32> work_{};
  CVsetLokProtocol protocol_ = CVsetLokProtocol::Default;
  int64_t recordBase_ = 0, fileLockBase_ = 0, lockLength_ = 0;
  uint32_t blockHeaderSize_ = 0;
  bool cipher_ = false;
  std::string readKey_, writeKey_;
  uint32_t newBlocks_ = 0;  // block count chosen by moHuntAvailBlock
};

class CVobjMemo3 : public CVobjMemo {
public:
  using CVobjMemo::CVobjMemo;
};

class CVobjMemo4 : public CVobjMemo {
public:
  CVobjMemo4(const std::string& tableFileName, const std::string& password, bool readWrite, bool shared,
             uint8_t version);
  uint32_t moHuntAvailBlock(uint32_t size) override;
  void moMemoBlockRelease(uint32_t block) override;
  void moMemoPutLast(std::vector<uint8_t>& image, size_t dataEnd) override;
  void moMemoSetParam(uint32_t block, uint32_t& used) override;

protected:
  bool RewritesInPlace() const override { return false; }
};

class CVobjFXMemo20 : public CVobjMemo {
public:
  CVobjFXMemo20(const std::string& tableFileName, const std::string& password, bool readWrite, bool shared,
                uint8_t version);
  uint32_t moHuntAvailBlock(uint32_t size) override;
  void moMemoPutLast(std::vector<uint8_t>& image, size_t dataEnd) override;
  void moMemoSetParam(uint32_t block, uint32_t& used) override;
  void moRename(const std::string& newName) override;
};

// Holds the memo lock of a shared memo file for one scope (nothing on an
// exclusive one); "Can not Lock file %s" when it cannot be had.
class cvMemoLockScope {
public:
  explicit cvMemoLockScope(CVobjMemo& memo);
  ~cvMemoLockScope();
  cvMemoLockScope(const cvMemoLockScope&) = delete;
  cvMemoLockScope& operator=(const cvMemoLockScope&) = delete;

private:
  CVobjMemo& memo_;
  bool held_ = false;
};

// The memo object for a table version (nullptr for versions without memo).
std::unique_ptr<CVobjMemo> cvNewMemoObject(const std::string& tableFileName, const std::string& password,
                                           bool readWrite, bool shared, uint8_t version);
