// Arbitrary SQL run over two small tables: every statement gives a result
// set or is refused with the engine's exception.  Never a crash, a hang or
// a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/row_cursor_dataset.h"
#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/store/result_set.h"

namespace {

// A read-only dataset of integer and text columns over fixed rows; an
// empty text is null.
class TFuzzTable : public TRowCursorDataSet {
public:
  struct Col {
    const char* name;
    TFieldType type;
    int size;
  };
  TFuzzTable(std::vector<Col> cols, std::vector<std::vector<std::string>> rows)
      : cols_(std::move(cols)), rows_(std::move(rows)) {}

protected:
  void DefineFields() override {
    int no = 1;
    for (const Col& c : cols_) FieldDefs().Add(c.name, c.type, c.size)->SetFieldNo(no++);
  }
  int RowCount() const override { return static_cast<int>(rows_.size()); }
  bool GetFieldData(TField* field, void* buffer) override {
    if (State() != dsBrowse || IsEmpty()) return false;
    const std::string& v = rows_[static_cast<size_t>(ActiveId())][static_cast<size_t>(field->FieldNo() - 1)];
    if (v.empty()) return false;
    if (!buffer) return true;
    return VariantToBuffer(field->DataType() == ftInteger ? Variant(std::stoi(v)) : Variant(v), field, buffer);
  }

private:
  std::vector<Col> cols_;
  std::vector<std::vector<std::string>> rows_;
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
