#include "platform/file_mapping.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

bool FileAllocate(int handle, int64_t size) {
  if (handle < 0 || size < 0) {
    errno = EINVAL;
    return false;
  }
  struct stat st {};
  if (::fstat(handle, &st) != 0) return false;
  if (st.st_size >= size) return true;
  int rc = ::posix_fallocate(handle, 0, static_cast<off_t>(size));
  if (rc == EINVAL || rc == EOPNOTSUPP) {
    // A file system without block reservation: extend the file instead.
    return ::ftruncate(handle, static_cast<off_t>(size)) == 0;
  }
  if (rc != 0) {
    errno = rc;
    return false;
  }
  return true;
}

bool FileMapping::Map(int handle, uint64_t size, bool writable) {
  Unmap();
  if (handle < 0 || size == 0 || size > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EINVAL;
    return false;
  }
  int prot = writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
  void* p = ::mmap(nullptr, static_cast<size_t>(size), prot, MAP_SHARED, handle, 0);
  if (p == MAP_FAILED) return false;
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  writable_ = writable;
  return true;
}

bool FileMapping::Resize(int handle, uint64_t new_size) {
  if (data_ == nullptr) return Map(handle, new_size, writable_);
  if (new_size == size_) return true;
  if (new_size == 0) {
    errno = EINVAL;
    return false;
  }
  void* p = ::mremap(data_, static_cast<size_t>(size_), static_cast<size_t>(new_size), MREMAP_MAYMOVE);
  if (p == MAP_FAILED) return false;
  data_ = static_cast<uint8_t*>(p);
  size_ = new_size;
  return true;
}

void FileMapping::Unmap() noexcept {
  if (data_ != nullptr) ::munmap(data_, static_cast<size_t>(size_));
  data_ = nullptr;
  size_ = 0;
}
