// The record handler's window onto its index files and tags.
//
// The record handler drives the active tag and the open index files through
// these few calls.  They live in a translation unit of their own that sees
// the index core, so the handler itself needs only the table's headers; keys
// travel as text and the lock convention as its ordinal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CVobjIndexFile;
class CVobjIndexTag;

// Frees an index file (its tags are closed quietly first).
struct CVobjIndexFileDeleter {
  void operator()(CVobjIndexFile* file) const noexcept;
};
using CVobjIndexFilePtr = std::unique_ptr<CVobjIndexFile, CVobjIndexFileDeleter>;

namespace cvtag {

// --- Tags ------------------------------------------------------------------
int32_t KeyRead(CVobjIndexTag* tag, int32_t code);
bool Bof(const CVobjIndexTag* tag);
bool Eof(const CVobjIndexTag* tag);
bool Changed(const CVobjIndexTag* tag);
int32_t CurrentRecord(const CVobjIndexTag* tag);
std::string CurrentKeyText(const CVobjIndexTag* tag);
std::string Name(const CVobjIndexTag* tag);
CVobjIndexFile* Owner(const CVobjIndexTag* tag);
// Brings the tag onto `recno` and returns the record it then stands on.
int32_t Sync(CVobjIndexTag* tag, int32_t recno);
void Open(CVobjIndexTag* tag, int mode);
void Close(CVobjIndexTag* tag);
// Seeks `text` as a key (record number: any) and returns the record found,
// 0 when none.
int32_t Find(CVobjIndexTag* tag, const std::string& text);
// Whether the tag's current key is `text` in stored form: equal, or with
// `exact` false also a key that begins with it.
bool CurrentMatches(CVobjIndexTag* tag, const std::string& text, bool exact);
// The same for a key given as the bytes the tag stores (a key of collation
// weights): no conversion, and a key that begins with it never matches it
// unless `exact` is false.
int32_t FindStored(CVobjIndexTag* tag, const std::string& bytes);
bool CurrentMatchesStored(CVobjIndexTag* tag, const std::string& bytes, bool exact);
int32_t HuntDuplicate(CVobjIndexTag* tag, const std::string& text);
bool RangeActive(const CVobjIndexTag* tag);
// Empty texts are absent bounds; true when the range changed.
bool SetRange(CVobjIndexTag* tag, const std::string& low, const std::string& high, bool lowFlag, bool highFlag,
              bool partial);
// Bounds given as the bytes the tag stores; an empty one is absent.
bool SetRangeStored(CVobjIndexTag* tag, const std::string& low, const std::string& high, bool lowFlag,
                    bool highFlag, bool partial);
void ResetRange(CVobjIndexTag* tag);

// --- Index files ------------------------------------------------------------
bool HasDiskFile(const CVobjIndexFile* file);
// Takes the file's update lock (with retries); false when refused.
bool Lock(CVobjIndexFile* file);
void Unlock(CVobjIndexFile* file) noexcept;
void Flush(CVobjIndexFile* file);
// Marks the file as being changed (CVobjIndexFile::MarkBeingChanged).
// With `folders`, the mark's folder is left for the caller to force; true
// when a session began.
bool MarkBeingChanged(CVobjIndexFile* file, std::vector<std::string>* folders = nullptr);
// Lets go of a mark not forced out in full (CVobjIndexFile::AbandonMark).
void AbandonMark(CVobjIndexFile* file) noexcept;
bool Update(CVobjIndexFile* file, int32_t recno, bool appending);
// The file's undo of one change (CVobjIndexFile::UndoBegin).
bool UndoBegin(CVobjIndexFile* file);
void UndoEnd(CVobjIndexFile* file) noexcept;
bool UndoRollBack(CVobjIndexFile* file) noexcept;
CVobjIndexTag* TagByName(const CVobjIndexFile* file, const std::string& name);
void SetLockProtocol(CVobjIndexFile* file, int protocol);
std::string FileName(const CVobjIndexFile* file);
void Rename(CVobjIndexFile* file, const std::string& newName);

}  // namespace cvtag
