// Memory indexes: one CDX tag whose pages are memory buffers.
//
// A memory index lives as long as its object and is never written to disk:
// no lock, no cipher.  Pages are numbered from 0 (the tag header takes
// pages 0 and 1); a page holds what was last written to it, and reading a
// page that was never written fails.  Keys, leaves and interior nodes are
// exactly those of a CDX tag (cdx_index.h), with page numbers where a CDX
// file has byte offsets.  A file holds one tag: a second AddTag would lay
// its pages over the first tag's and is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dbf_engine/index/index_core.h"

class CVobjIndexTableLink;

// One page: its bytes (empty until first written).
struct CVobjMemBufr {
  std::vector<uint8_t> Buffer;
};

class CVobjMIXFile : public CVobjIndexFile {
public:
  CVobjMIXFile(CVobjIndexTableLink* table, const std::string& name);
  ~CVobjMIXFile() override;

  // Builds the one tag; a second call raises.
  bool AddTag(const std::string& name, const std::string& keyExpr, const std::string& forExpr, bool ascending,
              bool unique) override;
  int32_t GetAvailPage() override;
  int32_t ResetAvailPage() override;
  bool PageRead(int64_t position, void* buffer, int32_t length) override;
  bool PageWrite(int64_t position, const void* buffer, int32_t length) override;

  // The undo of one change keeps the pages as they were before their
  // first write, and how many there were.
  bool UndoBegin() override;
  void UndoEnd() noexcept override;
  bool UndoRollBack() noexcept override;

  int32_t PageCount() const { return static_cast<int32_t>(pages_.size()); }

private:
  std::vector<CVobjMemBufr> pages_;
  struct Undo {
    size_t pageCount = 0;
    std::vector<std::pair<size_t, std::vector<uint8_t>>> kept;  // page, bytes before its first write
    std::vector<bool> keptPage;
  };
  std::unique_ptr<Undo> undo_;
};
