// A byte store in a file, used through a mapping as if it were memory.
//
// The file-held sort lists and result sets keep their records here: a file
// (normally a fresh temporary one) mapped from offset 0, with a current
// position for reading and writing and the end of the data written so far.
//
// The mapping starts at the capacity asked for (the file is extended to it
// when created) and grows when a write would pass it: the file is extended
// with its blocks reserved, then the view is enlarged, so a store never
// lands outside the mapping and a full disk is an error, not a crash.
// Positions and sizes are 64-bit.
//
// A constructor that fails releases what it obtained (the handle and the
// view are members that close themselves); the file itself is the owner's:
// whoever named it deletes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_mapping.h"

// Open modes: 0 read-only, any other read-write; fmCreate makes the file
// (emptying an existing one).
constexpr uint32_t fmOpenRead = 0;
constexpr uint32_t fmOpenReadWrite = 2;
constexpr uint32_t fmCreate = 0xFFFF;

class TMemMapFile {
public:
  // Opens or creates `path` and maps `map_size` bytes (0: the file's size).
  // `map_now` false defers the view to the first read or write.  Raises
  // ESiftError "Failed to open or create file", "Failed to create file
  // mapping" or "Failed to map view of file".
  TMemMapFile(const std::string& path, uint32_t mode, uint64_t map_size, bool map_now);
  ~TMemMapFile();
  TMemMapFile(const TMemMapFile&) = delete;
  TMemMapFile& operator=(const TMemMapFile&) = delete;

  const std::string& Path() const { return path_; }
  // The capacity, or the file's size at opening when none was given.
  uint64_t GetSize() const { return capacity_ != 0 ? capacity_ : initialSize_; }
  uint64_t InitialSize() const { return initialSize_; }
  uint64_t Position() const { return position_; }
  // The largest position a write has reached.
  uint64_t DataEnd() const { return dataEnd_; }
  bool Mapped() const { return view_.Mapped(); }

  // Positions are always from the start of the file.
  void Seek(uint64_t offset) { position_ = offset; }
  // Copies `count` bytes at the position and advances it; "Position beyond
  // EOF" when they pass GetSize.
  void Read(void* buffer, size_t count);
  // Copies `count` bytes to the position, growing the file and the mapping
  // when they pass the capacity, and advances it.  A read-only file raises
  // "Failed to map view of file"; a file that cannot grow raises "Failed to
  // create file mapping" and keeps its data.
  void Write(const void* buffer, size_t count);
  // Forgets the data: position and data end back to 0 (capacity unchanged).
  void Reset() {
    position_ = 0;
    dataEnd_ = 0;
  }
  // Releases the view; the next read or write maps it again.
  void FreeMapping() { view_.Unmap(); }

private:
  // Closes the handle when the object goes (or its construction fails).
  struct Handle {
    int fd = -1;
    ~Handle();
  };

  void AllocFileHandle();
  void AllocFileMapping();
  void AllocFileView();
  void EnsureView();
  void Grow(uint64_t needed);

  std::string path_;
  uint64_t capacity_ = 0;
  uint64_t initialSize_ = 0;
  uint32_t mode_ = 0;
  Handle file_;
  FileMapping view_;
  uint64_t position_ = 0;
  uint64_t dataEnd_ = 0;
};

// Deletes a temporary file when it goes: owners hold one from the moment
// the name exists, so a failed construction leaves no file behind.
class TTempFileGuard {
public:
  TTempFileGuard() = default;
  explicit TTempFileGuard(std::string path) : path_(std::move(path)) {}
  ~TTempFileGuard();
  TTempFileGuard(const TTempFileGuard&) = delete;
  TTempFileGuard& operator=(const TTempFileGuard&) = delete;
  const std::string& Path() const { return path_; }

private:
  std::string path_;
};
