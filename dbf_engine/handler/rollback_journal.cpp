// The rollback journal of whole-table rewrites (see rollback_journal.h).

#include "dbf_engine/handler/rollback_journal.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "dbf_engine/table/disk_file.h"
#include "platform/paths.h"

namespace {

constexpr int32_t kChunk = 65536;

// Copies `length` bytes from `src` at `from` to `dst` at `to`, through the
// disk file's own read and write.
void CopyBytes(CVO_DiskFile& src, int64_t from, CVO_DiskFile& dst, int64_t to, int64_t length) {
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(kChunk, std::max<int64_t>(length, 1))));
  for (int64_t done = 0; done < length;) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(buf.size()), length - done));
    const int32_t got = src.CVO_DiskFile::cvRead(from + done, buf.data(), n);
    if (got <= 0) break;  // the file is shorter than it said: what there is
    dst.CVO_DiskFile::cvWrite(to + done, buf.data(), got);
    done += got;
  }
}

}  // namespace

cvRollbackJournal::~cvRollbackJournal() { Drop(); }

void cvRollbackJournal::Keep(CVO_DiskFile& file, int64_t from, int64_t to) { Copy(file, std::string(), from, to); }

void cvRollbackJournal::KeepFile(const std::string& path) {
  CVO_DiskFile f(path, true, false);
  f.cvReset();
  Copy(f, path, 0, -1);
  f.cvCloseFile();
}

void cvRollbackJournal::Copy(CVO_DiskFile& file, const std::string& path, int64_t from, int64_t to) {
  if (!store_) {
    storeName_ = GetTempFileName(std::string_view(), "~cvj");
    store_ = std::make_unique<CVO_DiskFile>(storeName_, true, false);
    store_->cvReset();
  }
  const int64_t size = file.CVO_DiskFile::cvFileSize();
  from = std::clamp<int64_t>(from, 0, size);
  to = to < 0 ? size : std::clamp<int64_t>(to, from, size);
  Piece p{path.empty() ? &file : nullptr, path, from, to - from, size, storeEnd_};
  CopyBytes(file, from, *store_, storeEnd_, p.length);
  storeEnd_ += p.length;
  pieces_.push_back(std::move(p));
}

void cvRollbackJournal::PutBack(CVO_DiskFile& store, CVO_DiskFile& file, const Piece& p) {
  CopyBytes(store, p.at, file, p.from, p.length);
  file.CVO_DiskFile::cvTruncate(p.size);
  file.CVO_DiskFile::cvFlush();
}

bool cvRollbackJournal::Restore() noexcept {
  bool ok = true;
  for (auto it = pieces_.rbegin(); it != pieces_.rend(); ++it) {
    try {
      if (it->file) {
        PutBack(*store_, *it->file, *it);
      } else {
        CVO_DiskFile f(it->path, true, false);
        f.cvReset();
        PutBack(*store_, f, *it);
        f.cvCloseFile();
      }
    } catch (...) {
      ok = false;
    }
  }
  Drop();
  return ok;
}

void cvRollbackJournal::Commit() noexcept { Drop(); }

void cvRollbackJournal::Drop() noexcept {
  pieces_.clear();
  storeEnd_ = 0;
  if (store_) {
    try {
      store_->cvCloseFile();
    } catch (...) {
    }
    store_.reset();
  }
  if (!storeName_.empty()) {
    std::error_code ec;
    std::filesystem::remove(storeName_, ec);
    storeName_.clear();
  }
}
