// Arbitrary SQL run over two small tables: every statement gives a result
// set or is refused with the engine's exception.  Never a crash, a hang or
// a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/store/result_set.h"

namespace {

// A read-only dataset of integer and text columns over fixed rows.
class TFuzzTable : public TDataSet {
public:
  struct Col {
    const char* name;
    TFieldType type;
    int size;
  };
  TFuzzTable(std::vector<Col> cols, std::vector<std::vector<std::string>> rows)
      : TDataSet(nullptr), cols_(std::move(cols)), rows_(std::move(rows)) {}
  ~TFuzzTable() override {
    Destroying();
    try {
      Close();
    } catch (...) {
    }
  }

protected:
  std::unique_ptr<uint8_t[]> AllocRecordBuffer() override {
    return std::unique_ptr<uint8_t[]>(new uint8_t[static_cast<size_t>(8 + CalcFieldsSize())]());
  }
  void GetBookmarkData(TRecordBuffer b, void* data) override { std::memcpy(data, b, 4); }
  void SetBookmarkData(TRecordBuffer b, const void* data) override { std::memcpy(b, data, 4); }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer b) override { return static_cast<TBookmarkFlag>(b[4]); }
  void SetBookmarkFlag(TRecordBuffer b, TBookmarkFlag f) override { b[4] = f; }
  int GetRecordSize() override { return 8; }
  TGetResult GetRecord(TRecordBuffer b, TGetMode mode, bool) override {
    const int n = static_cast<int>(rows_.size());
    if (mode == gmNext) {
      if (pos_ + 1 >= n) {
        pos_ = n;
        return grEOF;
      }
      ++pos_;
    } else if (mode == gmPrior) {
      if (pos_ - 1 < 0) {
        pos_ = -1;
        return grBOF;
      }
      --pos_;
    } else if (pos_ < 0 || pos_ >= n) {
      return pos_ < 0 ? grBOF : grEOF;
    }
    std::memcpy(b, &pos_, 4);
    b[4] = bfCurrent;
    return grOK;
  }
  void InternalAddRecord(const void*, bool) override {}
  void InternalClose() override {
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    open_ = false;
  }
  void InternalDelete() override {}
  void InternalFirst() override { pos_ = -1; }
  void InternalLast() override { pos_ = static_cast<int>(rows_.size()); }
  void InternalGotoBookmark(const void* bm) override { std::memcpy(&pos_, bm, 4); }
  void InternalSetToRecord(TRecordBuffer b) override { InternalGotoBookmark(b); }
  void InternalInitFieldDefs() override {
    FieldDefs().Clear();
    int no = 1;
    for (const Col& c : cols_) FieldDefs().Add(c.name, c.type, c.size)->SetFieldNo(no++);
  }
  void InternalInitRecord(TRecordBuffer b) override { std::memset(b, 0, 8); }
  void InternalOpen() override {
    InternalInitFieldDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    SetBookmarkSize(4);
    InternalFirst();
    open_ = true;
  }
  bool IsCursorOpen() override { return open_; }
  bool GetFieldData(TField* field, void* buffer) override {
    if (State() != dsBrowse || IsEmpty()) return false;
    int32_t row = 0;
    std::memcpy(&row, ActiveBuffer(), 4);
    const std::string& v = rows_[static_cast<size_t>(row)][static_cast<size_t>(field->FieldNo() - 1)];
    if (v.empty()) return false;
    if (!buffer) return true;
    if (field->DataType() == ftInteger) {
      const int32_t n = std::stoi(v);
      std::memcpy(buffer, &n, 4);
    } else {
      std::memset(buffer, 0, static_cast<size_t>(field->Size() + 1));
      std::memcpy(buffer, v.data(), std::min<size_t>(v.size(), static_cast<size_t>(field->Size())));
    }
    return true;
  }
  void SetFieldData(TField*, const void*) override { DatabaseError("read-only"); }

private:
  std::vector<Col> cols_;
  std::vector<std::vector<std::string>> rows_;
  int pos_ = -1;
  bool open_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string sql(reinterpret_cast<const char*>(data), size);
  TFuzzTable a({{"ID", ftInteger, 0}, {"NAME", ftString, 8}, {"CITY", ftInteger, 0}},
               {{"1", "Ivanov", "10"}, {"2", "Petrov", "20"}, {"3", "", ""}, {"4", "O'Hara", "10"}});
  TFuzzTable b({{"ID", ftInteger, 0}, {"AID", ftInteger, 0}, {"X", ftInteger, 0}},
               {{"1", "1", "5"}, {"2", "1", "7"}, {"3", "", "1"}});
  TSift q;
  q.AddDataSet(&a, "a");
  q.AddDataSet(&b, "b");
  FormatSettingsGuard guard{'.', ','};
  TSqlAnalizer analyzer(nullptr, &q);
  try {
    if (analyzer.Parse(sql, "dd.MM.yyyy") != 0) return 0;
    std::unique_ptr<TResultSet> rs = SiftCreateResultSet(analyzer, q);
    if (rs) {
      for (int32_t r = 1; r <= rs->GetRecordCount(); ++r) {
        rs->SetRecno(r);
        for (int32_t i = 0; i < rs->Fields.Count(); ++i) (void)rs->Fields.GetItem(i)->GetAsString();
      }
    }
  } catch (const Exception&) {
    // A refused statement: the catalogue's errors and the expression errors.
  }
  return 0;
}
