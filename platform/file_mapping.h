// File mappings: a file's bytes seen as memory.
//
// The query engine keeps large temporary results in a file that it reads and
// writes through a mapping of the file's first `size` bytes.  `FileMapping`
// is that view: made over an open handle, shared with the file (stores reach
// the file), read-only or writable, and released when it goes.  It can be
// made larger after the file has grown; the view may then move, so callers
// keep offsets, never pointers, across a `Resize`.
//
// Growing a file for a mapping reserves its blocks (`FileAllocate`): a store
// into a sparse page on a full disk would otherwise kill the process with
// SIGBUS instead of failing the call that grew the file.
#pragma once

#include <cstddef>
#include <cstdint>

// Makes the file at least `size` bytes long with its blocks reserved; false
// (errno set, ENOSPC on a full disk) when it cannot.  Never shrinks.
bool FileAllocate(int handle, int64_t size);

class FileMapping {
public:
  FileMapping() = default;
  ~FileMapping() { Unmap(); }
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;

  // Maps bytes [0, size) of the file; false (errno set) when the view cannot
  // be made, a zero size included.  An existing view is released first.
  bool Map(int handle, uint64_t size, bool writable);
  // Makes the view `new_size` bytes (the file must already be that long);
  // the view may move.  False (errno set) leaves the old view in place.
  bool Resize(int handle, uint64_t new_size);
  void Unmap() noexcept;

  bool Mapped() const { return data_ != nullptr; }
  uint8_t* Data() const { return data_; }
  uint64_t Size() const { return size_; }
  bool Writable() const { return writable_; }

private:
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  bool writable_ = false;
};
