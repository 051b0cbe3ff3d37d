// The record handler's calls into the index core (see record_handler_tags.h).

#include "dbf_engine/handler/record_handler_tags.h"

#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/index/index_core.h"
#include "platform/exceptions.h"

void CVobjIndexFileDeleter::operator()(CVobjIndexFile* file) const noexcept { delete file; }

namespace cvtag {

namespace {
// Keys sought by the handler hold at most 256 bytes.
constexpr uint16_t kSoughtKeyCapacity = 256;

void TextKey(CVobjIndexKeyData& key, const std::string& text) {
  key.PutString(text);
  key.RecNo = -1;
  key.Link = -1;
}

// The sought key of a find or a match test, in one buffer per thread that
// keeps its size: a seek then allocates nothing for it.  Neither call can
// come back here while the key is in use.
CVobjIndexKeyData& SoughtKey(const std::string& text) {
  thread_local CVobjIndexKeyData key(kSoughtKeyCapacity);
  TextKey(key, text);
  return key;
}

CVobjIndexKeyData& StoredKey(const std::string& bytes) {
  CVobjIndexKeyData& key = SoughtKey(std::string());
  key.PutBinary(bytes.data(), static_cast<int32_t>(bytes.size()));
  return key;
}
}  // namespace

int32_t KeyRead(CVobjIndexTag* tag, int32_t code) { return tag->KeyRead(code); }
bool Bof(const CVobjIndexTag* tag) { return tag->Bof(); }
bool Eof(const CVobjIndexTag* tag) { return tag->Eof(); }
bool Changed(const CVobjIndexTag* tag) { return tag->Changed(); }
int32_t CurrentRecord(const CVobjIndexTag* tag) { return tag->CurrentRecord(); }
std::string CurrentKeyText(const CVobjIndexTag* tag) { return tag->CurrentKey().GetString(); }
std::string Name(const CVobjIndexTag* tag) { return tag->TagName(); }
CVobjIndexFile* Owner(const CVobjIndexTag* tag) { return tag->Owner(); }

int32_t Sync(CVobjIndexTag* tag, int32_t recno) {
  tag->KeySync(recno);
  return tag->CurrentRecord();
}

void Open(CVobjIndexTag* tag, int mode) { tag->TagOpen(mode); }
void Close(CVobjIndexTag* tag) { tag->TagClose(); }

int32_t Find(CVobjIndexTag* tag, const std::string& text) { return tag->KeyFind(SoughtKey(text), cvSeekAnyRecord); }

bool CurrentMatches(CVobjIndexTag* tag, const std::string& text, bool exact) {
  CVobjIndexKeyData& key = SoughtKey(text);
  tag->AdjustValue(key, true);
  // Prefix mode: a stored key that begins with the sought one compares equal.
  return tag->CompareKeys(key, tag->CurrentKey(), exact ? -1 : 0) == 0;
}

int32_t FindStored(CVobjIndexTag* tag, const std::string& bytes) {
  return tag->KeyFind(StoredKey(bytes), cvSeekAnyRecord);
}

bool CurrentMatchesStored(CVobjIndexTag* tag, const std::string& bytes, bool exact) {
  return tag->CompareKeys(StoredKey(bytes), tag->CurrentKey(), exact ? -1 : 0) == 0;
}

int32_t HuntDuplicate(CVobjIndexTag* tag, const std::string& text) {
  CVobjIndexKeyData key(kSoughtKeyCapacity);
  TextKey(key, text);
  return tag->HuntDuplicate(key);
}

bool RangeActive(const CVobjIndexTag* tag) { return tag->GetRangeActive(); }

bool SetRange(CVobjIndexTag* tag, const std::string& low, const std::string& high, bool lowFlag, bool highFlag,
              bool partial) {
  TcvVariant lo(kSoughtKeyCapacity), hi(kSoughtKeyCapacity);
  if (!low.empty()) lo.PutString(low);
  if (!high.empty()) hi.PutString(high);
  return tag->SetRange(low.empty() ? nullptr : &lo, lowFlag, high.empty() ? nullptr : &hi, highFlag, partial);
}

bool SetRangeStored(CVobjIndexTag* tag, const std::string& low, const std::string& high, bool lowFlag,
                    bool highFlag, bool partial) {
  TcvVariant lo(kSoughtKeyCapacity), hi(kSoughtKeyCapacity);
  if (!low.empty()) lo.PutBinary(low.data(), static_cast<int32_t>(low.size()));
  if (!high.empty()) hi.PutBinary(high.data(), static_cast<int32_t>(high.size()));
  return tag->SetRange(low.empty() ? nullptr : &lo, lowFlag, high.empty() ? nullptr : &hi, highFlag, partial);
}

void ResetRange(CVobjIndexTag* tag) { tag->SetRange(nullptr, false, nullptr, false, false); }

bool HasDiskFile(const CVobjIndexFile* file) { return file->DiskFile() != nullptr; }

bool Lock(CVobjIndexFile* file) {
  try {
    return file->IndexLock();
  } catch (const Exception&) {
    return false;  // refused after the retries
  }
}

void Unlock(CVobjIndexFile* file) noexcept {
  if (!file->DiskFile()) return;
  try {
    file->DiskFile()->cvUnLock();
  } catch (...) {
    // Nothing is held that a failed release could leave behind us.
  }
}

bool MarkBeingChanged(CVobjIndexFile* file, std::vector<std::string>* folders) {
  return file->MarkBeingChanged(folders);
}

void AbandonMark(CVobjIndexFile* file) noexcept { file->AbandonMark(); }

void Flush(CVobjIndexFile* file) {
  if (file->DiskFile()) file->DiskFile()->cvFlush();
}

bool Update(CVobjIndexFile* file, int32_t recno, bool appending) { return file->TagUpdate(recno, appending); }

bool UndoBegin(CVobjIndexFile* file) { return file->UndoBegin(); }

void UndoEnd(CVobjIndexFile* file) noexcept { file->UndoEnd(); }

bool UndoRollBack(CVobjIndexFile* file) noexcept { return file->UndoRollBack(); }

CVobjIndexTag* TagByName(const CVobjIndexFile* file, const std::string& name) { return file->TagByName(name); }

void SetLockProtocol(CVobjIndexFile* file, int protocol) {
  file->ixSetLockProtocol(static_cast<CVsetLokProtocol>(protocol));
}

std::string FileName(const CVobjIndexFile* file) { return file->DiskName(); }

void Rename(CVobjIndexFile* file, const std::string& newName) { file->Rename(newName); }

}  // namespace cvtag
