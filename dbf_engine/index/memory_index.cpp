// Memory indexes: a CDX tag over numbered memory pages.
#include "dbf_engine/index/memory_index.h"

#include <cstring>
#include <memory>

#include "dbf_engine/index/cdx_index.h"
#include "dbf_engine/index/index_format.h"
#include "platform/text.h"

CVobjMIXFile::CVobjMIXFile(CVobjIndexTableLink* table, const std::string& name)
    : CVobjIndexFile(table, AnsiUpperCase(name)) {
  OrderedByRecord = true;
  NextAvailPage = 0;
  Valid = true;
}

CVobjMIXFile::~CVobjMIXFile() { FreeTags(); }

bool CVobjMIXFile::AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr,
                          bool ascending, bool unique) {
  // Page numbers start at 0 for every tag: a second one would overwrite the
  // first one's header and nodes.
  if (TagCount() > 0) cvIndexLimit("memory index", "a single tag");
  pages_.clear();
  NextAvailPage = 0;
  auto tag = std::make_unique<CVobjCDXTag>(this, name, GetAvailPage());
  GetAvailPage();
  tag->Collation = CVbytCDXCollateInfo;
  const bool ok = tag->IndexTagNew(name, keyExpr, forExpr, ascending, unique);
  tag->TagClose();
  AdoptTag(std::move(tag));
  return ok;
}

int32_t CVobjMIXFile::GetAvailPage() {
  const auto page = static_cast<int32_t>(pages_.size());
  pages_.emplace_back();
  NextAvailPage = page + 1;
  return page;
}

int32_t CVobjMIXFile::ResetAvailPage() {
  NextAvailPage = static_cast<int32_t>(pages_.size());
  return NextAvailPage;
}

bool CVobjMIXFile::PageRead(int64_t position, void* buffer, int32_t length) {
  if (position < 0 || position >= static_cast<int64_t>(pages_.size()) || length < 0) return false;
  const std::vector<uint8_t>& b = pages_[static_cast<size_t>(position)].Buffer;
  if (b.size() < static_cast<size_t>(length)) return false;
  if (length > 0) std::memcpy(buffer, b.data(), static_cast<size_t>(length));
  return true;
}

bool CVobjMIXFile::UndoBegin() {
  if (undo_) return false;
  undo_ = std::make_unique<Undo>();
  undo_->pageCount = pages_.size();
  undo_->keptPage.assign(pages_.size(), false);
  return true;
}

void CVobjMIXFile::UndoEnd() noexcept { undo_.reset(); }

bool CVobjMIXFile::UndoRollBack() noexcept {
  if (!undo_) return true;
  std::unique_ptr<Undo> u = std::move(undo_);
  for (auto& [page, bytes] : u->kept) pages_[page].Buffer = std::move(bytes);
  pages_.resize(u->pageCount);
  NextAvailPage = static_cast<int32_t>(pages_.size());
  try {
    ReloadAfterRollBack();
  } catch (...) {
    return false;
  }
  return true;
}

bool CVobjMIXFile::PageWrite(int64_t position, const void* buffer, int32_t length) {
  if (position < 0 || position >= static_cast<int64_t>(pages_.size()) || length < 0) return false;
  const auto at = static_cast<size_t>(position);
  if (undo_ && at < undo_->pageCount && !undo_->keptPage[at]) {
    undo_->keptPage[at] = true;
    undo_->kept.emplace_back(at, pages_[at].Buffer);
  }
  std::vector<uint8_t>& b = pages_[static_cast<size_t>(position)].Buffer;
  if (b.size() < static_cast<size_t>(length)) b.assign(static_cast<size_t>(length), 0);
  if (length > 0) std::memcpy(b.data(), buffer, static_cast<size_t>(length));
  return true;
}
