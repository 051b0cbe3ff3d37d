#include "dbf_engine/table/memo_file.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "dbf_engine/table/cipher.h"
#include "dbf_engine/messages.h"
#include "platform/exceptions.h"

namespace {

constexpr uint8_t kEOFMark = 0x1A;

bool IsFoxVersion(uint8_t v) { return v == 0x30 || v == 0xF5; }

}  // namespace

cvMemoLockScope::cvMemoLockScope(CVobjMemo& memo) : memo_(memo) { held_ = memo_.IsShared() && memo_.moMemoLock(); }

cvMemoLockScope::~cvMemoLockScope() {
  if (held_) {
    BestEffort([&] { memo_.cvUnLock(); });
  }
}

std::string CVobjMemo::MemoFileName(const std::string& tableFileName, uint8_t version) {
  size_t slash = tableFileName.find_last_of("/\\");
  size_t base = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = tableFileName.rfind('.');
  std::string stem = (dot == std::string::npos || dot < base) ? tableFileName : tableFileName.substr(0, dot);
  return stem + (IsFoxVersion(version) ? ".fpt" : ".dbt");
}

CVobjMemo::CVobjMemo(const std::string& tableFileName, const std::string& password, bool readWrite, bool shared,
                     uint8_t version)
    : CVO_DiskFile(MemoFileName(tableFileName, version), readWrite, shared), version_(version) {
  if (!Exists()) cvRaise(cvErrNoSuchFile, {FileName()});
  cvReset();
  blockSize_ = 512;
  blockHeaderSize_ = 0;
  currentBlock_ = 0;
  cipher_ = !password.empty();
  readKey_ = writeKey_ = password;
  moSetLockProtocol(CVsetLokProtocol::Default);
}

CVobjMemo::~CVobjMemo() = default;

void CVobjMemo::BadMemo() const { cvRaise(cvErrBadMemoRecord, {FileName()}); }

uint32_t CVobjMemo::BlocksFor(uint64_t bytes) const {
  uint64_t b = (bytes + blockSize_ - 1) / blockSize_;
  if (b > std::numeric_limits<uint32_t>::max()) BadMemo();
  return static_cast<uint32_t>(b);
}

uint32_t CVobjMemo::EndBlock() { return BlocksFor(static_cast<uint64_t>(cvFileSize())); }

uint32_t CVobjMemo::Memo3Footprint(uint32_t dataLength, bool enciphered) const {
  return (enciphered ? 4u : 0u) + dataLength + 2u;
}

void CVobjMemo::ReadHeaderWord(uint32_t& nextFree) {
  uint8_t w[4];
  if (cvRead(0, w, 4) < 4) BadMemo();
  nextFree = IsFoxVersion(version_) ? cvLoadBE32(w) : cvLoadLE32(w);
}

void CVobjMemo::WriteHeaderWord(uint32_t nextFree) {
  uint8_t w[4];
  if (IsFoxVersion(version_)) cvStoreBE32(w, nextFree);
  else cvStoreLE32(w, nextFree);
  cvWrite(0, w, 4);
}

void CVobjMemo::MemoLockRegion(int64_t& offset, int64_t& length) const {
  switch (protocol_) {
    case CVsetLokProtocol::DB4Lock:
      offset = recordBase_ - 1;
      length = 2;
      break;
    case CVsetLokProtocol::ClipLock:
      offset = recordBase_;
      length = 1;
      break;
    default:
      offset = recordBase_ - 1;
      length = 1;
      break;
  }
}

bool CVobjMemo::moMemoLock() {
  int64_t off, len;
  MemoLockRegion(off, len);
  if (!cvRetryLock([&] { return cvLockRecord(off, len); })) cvRaise(cvErrLockFailed, {FileName()});
  return true;
}

void CVobjMemo::moSetLockProtocol(CVsetLokProtocol p) {
  protocol_ = p;
  CVLockBases b = cvLockBasesOf(p);
  recordBase_ = b.recordBase;
  fileLockBase_ = b.fileLockBase;
  lockLength_ = b.lockLength;
}

// --- dBase III ---------------------------------------------------------------

void CVobjMemo::moMemoSetParam(uint32_t block, uint32_t& used) {
  const int64_t pos = static_cast<int64_t>(block) * blockSize_;
  const int64_t size = cvFileSize();
  if (cipher_ && !readKey_.empty()) {
    uint8_t w[4];
    if (cvRead(pos, w, 4) < 4) BadMemo();
    uint32_t len = cvLoadLE32(w);
    if (static_cast<int64_t>(len) > size - pos - 4) BadMemo();
    used = len;
    return;
  }
  // The length is where the first end mark stands; the scan never goes past
  // the end of the file or beyond what a dBase III memo may hold.
  uint8_t buf[512];
  uint32_t count = 0;
  int64_t p = pos;
  while (count < cvMemo3MaxLength) {
    int32_t got = cvRead(p, buf, sizeof buf);
    if (got <= 0) break;
    const uint8_t* mark = static_cast<const uint8_t*>(std::memchr(buf, kEOFMark, static_cast<size_t>(got)));
    if (mark) {
      count += static_cast<uint32_t>(mark - buf);
      break;
    }
    count += static_cast<uint32_t>(got);
    if (got < static_cast<int32_t>(sizeof buf)) break;
    p += got;
  }
  used = std::min(count, cvMemo3MaxLength);
}

void CVobjMemo::moMemoSpaceUsed(uint32_t block, uint32_t& used) {
  used = blockHeaderSize_;
  if (block == 0) return;
  if (static_cast<int64_t>(block) * blockSize_ >= cvFileSize()) BadMemo();
  moMemoSetParam(block, used);
}

uint32_t CVobjMemo::moMemoSize(uint32_t block) {
  uint32_t used = 0;
  moMemoSpaceUsed(block, used);
  return used - std::min(used, blockHeaderSize_);
}

void CVobjMemo::moMemoRead(void* buffer, uint32_t block, uint32_t& size) {
  if (size == 0) return;
  auto* out = static_cast<uint8_t*>(buffer);
  if (block == 0) {
    size = 0;
    if (out) out[0] = 0;
    return;
  }
  uint32_t used = 0;
  moMemoSpaceUsed(block, used);
  if (used < blockHeaderSize_) BadMemo();
  const bool prefixed = !IsFoxVersion(version_) && version_ != 0x8B && cipher_ && !readKey_.empty();
  const uint32_t dataLength = used - blockHeaderSize_;
  size = std::min(size, dataLength);
  blockCount_ = BlocksFor(static_cast<uint64_t>(used) + (prefixed ? 4 : 0));
  const int64_t pos = static_cast<int64_t>(block) * blockSize_ + blockHeaderSize_ + (prefixed ? 4 : 0);
  if (size > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) BadMemo();
  if (cvRead(pos, out, static_cast<int32_t>(size)) < static_cast<int32_t>(size)) BadMemo();
  DBEncryption(cipher_ ? readKey_ : std::string(), out, out, size, 0);
}

uint32_t CVobjMemo::moHuntAvailBlock(uint32_t size) {
  const bool enc = cipher_ && !writeKey_.empty();
  const uint32_t blocks = BlocksFor(Memo3Footprint(size, enc));
  uint32_t target;
  if (currentBlock_ == 0 || blockCount_ < blocks) {
    uint32_t next = 0;
    ReadHeaderWord(next);
    // A damaged header: never block 0, and never past the file's end (a
    // write out there would grow a huge sparse file).
    if (next == 0 || next > EndBlock()) next = std::max<uint32_t>(1, EndBlock());
    if (static_cast<uint64_t>(next) + blocks > std::numeric_limits<uint32_t>::max()) BadMemo();
    target = next;
    WriteHeaderWord(next + blocks);
  } else {
    target = currentBlock_;
  }
  blockCount_ = blocks;
  return target;
}

void CVobjMemo::moMemoBlockRelease(uint32_t) {}

void CVobjMemo::moMemoPutLast(std::vector<uint8_t>& image, size_t dataEnd) {
  image[dataEnd] = kEOFMark;
  image[dataEnd + 1] = kEOFMark;
}

uint32_t CVobjMemo::moMemoWrite(const void* buffer, uint32_t& block, uint32_t& size) {
  if (size == 0 && block == 0) return 0;
  const bool dbase3 = !IsFoxVersion(version_) && version_ != 0x8B;
  const bool enc3 = dbase3 && cipher_ && !writeKey_.empty();
  const auto* data = static_cast<const uint8_t*>(buffer);
  if (size > 0) {
    // Refuse what could not be read back: a plain dBase III memo ends at its
    // first 0x1A and is at most 65520 bytes long.
    if (dbase3 && !enc3 && (size > cvMemo3MaxLength || std::memchr(data, kEOFMark, size)))
      cvRaise(cvErrFieldData, {FileName()});
    if (dbase3 && BlocksFor(Memo3Footprint(size, enc3)) > 65535) cvRaise(cvErrFieldData, {FileName()});
    if (static_cast<uint64_t>(size) + blockHeaderSize_ + blockSize_ + 4 >
        static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
      cvRaise(cvErrFieldData, {FileName()});
  }
  if (size == 0) {
    // An empty memo is no memo: the field receives block 0.  The old run is
    // the caller's to give back, once the record no longer names it.
    block = 0;
    currentBlock_ = 0;
    return 0;
  }
  cvMemoLockScope lock(*this);

  // Only a rewrite in place needs the old run's length.  A dBase IV memo
  // goes elsewhere, so a run the record names but another writer has
  // already given back (or damage) does not stop the record's next write.
  const bool inPlace = block != 0 && RewritesInPlace();
  uint32_t used = 0;
  if (inPlace) moMemoSpaceUsed(block, used);
  if (!inPlace) blockCount_ = 0;
  else if (dbase3) blockCount_ = BlocksFor(Memo3Footprint(used, cipher_ && !readKey_.empty()));
  else blockCount_ = BlocksFor(used);
  currentBlock_ = inPlace ? block : 0;

  const uint32_t target = moHuntAvailBlock(size);
  if (target == 0) BadMemo();  // block 0 is the header; the record would lose its memo

  const uint32_t headerBytes = dbase3 ? (enc3 ? 4u : 0u) : blockHeaderSize_;
  const uint64_t footprint = dbase3 ? Memo3Footprint(size, enc3) : static_cast<uint64_t>(size) + headerBytes;
  std::vector<uint8_t> image(static_cast<size_t>(BlocksFor(footprint)) * blockSize_, 0);
  if (dbase3) {
    if (enc3) cvStoreLE32(image.data(), size);
  } else {
    std::copy(work_.begin(), work_.begin() + blockHeaderSize_, image.begin());
  }
  DBEncryption(cipher_ ? writeKey_ : std::string(), data, image.data() + headerBytes, size, 1);
  moMemoPutLast(image, headerBytes + size);
  // A run rewritten in place changes the record's memo before the record is
  // written: its old bytes are kept until that write commits or is undone
  // (the record handler's write), and put back at once when this write
  // fails.
  const bool undo = inPlace && target == block && !cvUndoActive() && cvUndoBegin();
  try {
    cvWrite(static_cast<int64_t>(target) * blockSize_, image.data(), static_cast<int32_t>(image.size()));
  } catch (...) {
    if (undo) cvUndoRollBack();
    throw;
  }
  block = target;
  currentBlock_ = target;
  return target;
}

void CVobjMemo::moRename(const std::string& newName) {
  std::string target = MemoFileName(newName, version_);
  // Keep the extension's case as the file has it now.
  std::string cur = FileName();
  size_t dot = cur.rfind('.');
  if (dot != std::string::npos && cur.size() - dot == 4) target = target.substr(0, target.size() - 4) + cur.substr(dot);
  cvRename(target);
  if (!IsReadWrite()) return;
  size_t slash = target.find_last_of("/\\");
  std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1);
  base = base.substr(0, base.size() - 4).substr(0, 8);
  uint8_t name[9] = {};
  for (size_t i = 0; i < base.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(base[i]);
    name[i] = (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c;
  }
  cvWrite(8, name, sizeof name);
}

// --- dBase IV ------------------------------------------------------------------

CVobjMemo4::CVobjMemo4(const std::string& tableFileName, const std::string& password, bool readWrite, bool shared,
                       uint8_t version)
    : CVobjMemo(tableFileName, password, readWrite, shared, version) {
  uint8_t h[32] = {};
  int32_t got = cvRead(0, h, 32);
  if (got < 4) BadMemo();
  std::copy(h, h + 32, work_.begin());
  uint16_t bs = cvLoadLE16(h + 20);
  blockSize_ = (got < 22 || bs == 0) ? 512 : bs;
  if (blockSize_ < 8) BadMemo();
  blockHeaderSize_ = 8;
  int64_t fileSize = cvFileSize();
  if (fileSize < blockSize_ && IsReadWrite()) {
    std::vector<uint8_t> whole(blockSize_, 0);
    int32_t n = cvRead(0, whole.data(), static_cast<int32_t>(fileSize));
    if (n != fileSize) BadMemo();
    // A pad that fails half-way (a full disk) is taken back: the header
    // stays as short as it was, never half a block long.
    const bool undo = cvUndoBegin();
    try {
      cvWrite(0, whole.data(), static_cast<int32_t>(whole.size()));
    } catch (...) {
      if (undo) cvUndoRollBack();
      throw;
    }
    if (undo) cvUndoEnd();
  }
}

void CVobjMemo4::moMemoSetParam(uint32_t block, uint32_t& used) {
  const int64_t pos = static_cast<int64_t>(block) * blockSize_;
  uint8_t h[8];
  if (cvRead(pos, h, 8) < 8) BadMemo();
  if (h[0] != 0xFF || h[1] != 0xFF) BadMemo();
  uint32_t total = cvLoadLE32(h + 4);
  if (total < 8 || static_cast<int64_t>(total) > cvFileSize() - pos) BadMemo();
  used = total;
}

void CVobjMemo4::moMemoBlockRelease(uint32_t block) {
  if (block == 0) return;
  const int64_t pos = static_cast<int64_t>(block) * blockSize_;
  if (pos >= cvFileSize()) BadMemo();
  uint8_t h[8];
  if (cvRead(pos, h, 8) < 8) BadMemo();
  if (h[0] != 0xFF || h[1] != 0xFF) BadMemo();  // not a used run: already free, or damaged
  // A length past the end of the file would put blocks that are not there
  // on the chain, and every later allocation would stop at it.
  const uint32_t total = cvLoadLE32(h + 4);
  if (total < 8 || static_cast<int64_t>(total) > cvFileSize() - pos) BadMemo();
  const uint32_t blocks = BlocksFor(total);
  uint32_t first = 0;
  ReadHeaderWord(first);
  cvStoreLE32(h, first);
  cvStoreLE32(h + 4, blocks);
  cvWrite(pos, h, 8);
  WriteHeaderWord(block);
}

uint32_t CVobjMemo4::moHuntAvailBlock(uint32_t size) {
  // The old run is not given back here: the record still names it.
  const uint32_t blocks = BlocksFor(static_cast<uint64_t>(size) + 8);
  const uint32_t end = EndBlock();
  uint32_t prev = 0;  // 0: the link is the header's first-free word
  uint32_t cur = 0;
  ReadHeaderWord(cur);
  uint32_t target = 0;
  auto writeLink = [&](uint32_t from, uint32_t value) {
    if (from == 0) {
      WriteHeaderWord(value);
    } else {
      uint8_t w[4];
      cvStoreLE32(w, value);
      cvWrite(static_cast<int64_t>(from) * blockSize_, w, 4);
    }
  };
  // A chain can visit each block at most once; more steps mean a loop.
  uint64_t steps = 0;
  while (cur != 0 && cur < end) {
    if (++steps > end) BadMemo();
    uint8_t h[8];
    if (cvRead(static_cast<int64_t>(cur) * blockSize_, h, 8) < 8) BadMemo();
    uint32_t next = cvLoadLE32(h);
    uint32_t len = cvLoadLE32(h + 4);
    if (len == 0 || static_cast<uint64_t>(cur) + len > end) BadMemo();
    if (len >= blocks) {
      uint32_t link = next;
      if (len > blocks) {
        link = cur + blocks;
        uint8_t rest[8];
        cvStoreLE32(rest, next);
        cvStoreLE32(rest + 4, len - blocks);
        cvWrite(static_cast<int64_t>(link) * blockSize_, rest, 8);
      }
      writeLink(prev, link);
      target = cur;
      break;
    }
    prev = cur;
    cur = next;
  }
  if (target == 0) {
    target = std::max<uint32_t>(end, 1);
    if (static_cast<uint64_t>(target) + blocks > std::numeric_limits<uint32_t>::max()) BadMemo();
    writeLink(prev, target + blocks);
  }
  work_.fill(0);
  work_[0] = 0xFF;
  work_[1] = 0xFF;
  work_[2] = 0x08;
  work_[3] = 0x00;
  cvStoreLE32(work_.data() + 4, size + 8);
  blockCount_ = blocks;
  return target;
}

void CVobjMemo4::moMemoPutLast(std::vector<uint8_t>&, size_t) {}

// --- FoxPro ----------------------------------------------------------------------

CVobjFXMemo20::CVobjFXMemo20(const std::string& tableFileName, const std::string& password, bool readWrite, bool shared,
                             uint8_t version)
    : CVobjMemo(tableFileName, password, readWrite, shared, version) {
  uint8_t h[32] = {};
  if (cvRead(0, h, 32) < 8) BadMemo();
  std::copy(h, h + 32, work_.begin());
  uint16_t bs = cvLoadBE16(h + 6);
  if (bs == 0) BadMemo();
  blockSize_ = bs;
  blockHeaderSize_ = 8;
}

void CVobjFXMemo20::moMemoSetParam(uint32_t block, uint32_t& used) {
  const int64_t pos = static_cast<int64_t>(block) * blockSize_;
  uint8_t h[8];
  if (cvRead(pos, h, 8) < 8) BadMemo();
  uint32_t type = cvLoadBE32(h);
  uint32_t len = cvLoadBE32(h + 4);
  if (type > 1) BadMemo();
  if (static_cast<int64_t>(len) > cvFileSize() - pos - 8) BadMemo();
  used = len + 8;
}

uint32_t CVobjFXMemo20::moHuntAvailBlock(uint32_t size) {
  const uint32_t blocks = BlocksFor(static_cast<uint64_t>(size) + 8);
  uint32_t target;
  if (currentBlock_ == 0 || blockCount_ < blocks) {
    uint32_t next = 0;
    ReadHeaderWord(next);
    // The first block past the 512-byte header; a smaller next-free word is
    // damaged and would overwrite the header, a larger one than the file's
    // end would grow a huge sparse file.
    const uint32_t firstData = BlocksFor(512);
    if (next < firstData || next > EndBlock()) next = std::max(firstData, EndBlock());
    if (static_cast<uint64_t>(next) + blocks > std::numeric_limits<uint32_t>::max()) BadMemo();
    target = next;
    WriteHeaderWord(next + blocks);
  } else {
    target = currentBlock_;
  }
  work_.fill(0);
  cvStoreBE32(work_.data(), 1);
  cvStoreBE32(work_.data() + 4, size);
  blockCount_ = blocks;
  return target;
}

void CVobjFXMemo20::moMemoPutLast(std::vector<uint8_t>&, size_t) {}

void CVobjFXMemo20::moRename(const std::string& newName) {
  std::string target = MemoFileName(newName, version_);
  std::string cur = FileName();
  size_t dot = cur.rfind('.');
  if (dot != std::string::npos && cur.size() - dot == 4) target = target.substr(0, target.size() - 4) + cur.substr(dot);
  cvRename(target);
}

std::unique_ptr<CVobjMemo> cvNewMemoObject(const std::string& tableFileName, const std::string& password,
                                           bool readWrite, bool shared, uint8_t version) {
  switch (version) {
    case 0x83: return std::make_unique<CVobjMemo3>(tableFileName, password, readWrite, shared, version);
    case 0x8B: return std::make_unique<CVobjMemo4>(tableFileName, password, readWrite, shared, version);
    case 0x30:
    case 0xF5: return std::make_unique<CVobjFXMemo20>(tableFileName, password, readWrite, shared, version);
    default: return nullptr;
  }
}
