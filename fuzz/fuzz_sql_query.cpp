// Arbitrary SQL run over two small tables: every statement gives a result
// set or is refused with the engine's exception.  Never a crash, a hang or
// a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/expr_test_support.h"
#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/store/result_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string sql(reinterpret_cast<const char*>(data), size);
  const Variant N = Variant::Null();
  auto I = [](int32_t n) { return Variant(n); };
  TRowDataSet a({{"ID", ftInteger}, {"NAME", ftString, 8}, {"CITY", ftInteger}}, {{I(1), Variant("Ivanov"), I(10)},
                                                                                  {I(2), Variant("Petrov"), I(20)},
                                                                                  {I(3), N, N},
                                                                                  {I(4), Variant("O'Hara"), I(10)}});
  TRowDataSet b({{"ID", ftInteger}, {"AID", ftInteger}, {"X", ftInteger}},
                {{I(1), I(1), I(5)}, {I(2), I(1), I(7)}, {I(3), N, I(1)}});
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
