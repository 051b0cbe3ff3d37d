#include "sql_engine/store/mem_map_file.h"

#include <cstring>
#include <limits>

#include "platform/file_io.h"
#include "sql_engine/sift_messages.h"

TMemMapFile::Handle::~Handle() { FileClose(fd); }

TTempFileGuard::~TTempFileGuard() {
  if (!path_.empty()) FileDelete(path_);
}

TMemMapFile::TMemMapFile(const std::string& path, uint32_t mode, uint64_t map_size, bool map_now)
    : path_(path), capacity_(map_size), mode_(mode) {
  AllocFileHandle();
  AllocFileMapping();
  if (map_now) AllocFileView();
}

TMemMapFile::~TMemMapFile() = default;

void TMemMapFile::AllocFileHandle() {
  file_.fd = mode_ == fmCreate ? FileCreate(path_) : FileOpen(path_, mode_ != fmOpenRead, true);
  if (file_.fd < 0) SiftError(SiftMsg::SFailOpenFile);
  int64_t size = FileSize(file_.fd);
  if (size < 0) SiftError(SiftMsg::SFailOpenFile);
  initialSize_ = static_cast<uint64_t>(size);
}

void TMemMapFile::AllocFileMapping() {
  // The mapping of a new file makes the file as long as the capacity; an
  // existing file must already hold what is mapped.
  if (GetSize() == 0) SiftError(SiftMsg::SFailCreateMapping);
  if (mode_ == fmCreate) {
    if (capacity_ > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
        !FileAllocate(file_.fd, static_cast<int64_t>(capacity_)))
      SiftError(SiftMsg::SFailCreateMapping);
  } else if (GetSize() > initialSize_) {
    if (mode_ == fmOpenRead || !FileAllocate(file_.fd, static_cast<int64_t>(GetSize())))
      SiftError(SiftMsg::SFailCreateMapping);
  }
}

void TMemMapFile::AllocFileView() {
  if (!view_.Map(file_.fd, GetSize(), mode_ != fmOpenRead)) SiftError(SiftMsg::SFailMapView);
}

void TMemMapFile::EnsureView() {
  if (!view_.Mapped()) AllocFileView();
}

void TMemMapFile::Read(void* buffer, size_t count) {
  if (position_ > GetSize() || count > GetSize() - position_) SiftError(SiftMsg::SBeyondEOF);
  if (count == 0) return;
  EnsureView();
  std::memcpy(buffer, view_.Data() + position_, count);
  position_ += count;
}

void TMemMapFile::Grow(uint64_t needed) {
  // Double, so that a long run of appends remaps only a few times.
  uint64_t size = GetSize();
  uint64_t target = size > std::numeric_limits<uint64_t>::max() / 2 ? needed : size * 2;
  if (target < needed) target = needed;
  if (target > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) SiftError(SiftMsg::SFailCreateMapping);
  if (!FileAllocate(file_.fd, static_cast<int64_t>(target))) {
    // Try for exactly what this write needs before giving up.
    if (target == needed || !FileAllocate(file_.fd, static_cast<int64_t>(needed)))
      SiftError(SiftMsg::SFailCreateMapping);
    target = needed;
  }
  if (view_.Mapped() && !view_.Resize(file_.fd, target)) SiftError(SiftMsg::SFailMapView);
  capacity_ = target;
}

void TMemMapFile::Write(const void* buffer, size_t count) {
  if (mode_ == fmOpenRead) SiftError(SiftMsg::SFailMapView);
  if (count == 0) return;
  if (position_ > std::numeric_limits<uint64_t>::max() - count) SiftError(SiftMsg::SFailCreateMapping);
  uint64_t end = position_ + count;
  if (end > GetSize()) Grow(end);
  EnsureView();
  std::memcpy(view_.Data() + position_, buffer, count);
  position_ = end;
  if (end > dataEnd_) dataEnd_ = end;
}
