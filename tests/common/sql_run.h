// Runs one statement straight through the scan (no query component open)
// and gives its rows as text: the cells of a row joined by "|", NULL for a
// null cell.  Numbers are formatted with a '.' decimal separator.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "sql_engine/front/sql_analyzer.h"
#include "sql_engine/query/custom_sift.h"
#include "sql_engine/query/sift_execution.h"
#include "sql_engine/store/result_set.h"

struct TSqlRun {
  std::vector<std::string> rows;
  std::string error;  // "syntax error", or the message of what the run raised
};

// `utf8`: cells converted from code page 1251.  `each`, when given, sees the
// result set once before the rows (row 0) and then at every row.
inline TSqlRun RunStatement(TCustomSift& q, const std::string& sql, bool utf8 = false,
                            const std::function<void(TResultSet&, int32_t row)>& each = {}) {
  FormatSettingsGuard guard{'.', ','};
  TSqlRun run;
  TSqlAnalizer a(nullptr, &q);
  if (a.Parse(sql) != 0) {
    run.error = "syntax error";
    return run;
  }
  try {
    std::unique_ptr<TResultSet> rs = SiftCreateResultSet(a, q);
    if (each) each(*rs, 0);
    for (int32_t r = 1; r <= rs->GetRecordCount(); ++r) {
      rs->SetRecno(r);
      std::string row;
      for (int32_t i = 0; i < rs->Fields.Count(); ++i) {
        TkpField* f = rs->Fields.GetItem(i);
        if (i > 0) row += "|";
        row += f->GetIsNull() ? "NULL" : utf8 ? Cp1251ToUtf8(f->GetAsString()) : f->GetAsString();
      }
      run.rows.push_back(row);
      if (each) each(*rs, r);
    }
  } catch (const Exception& e) {
    run.error = e.Message();
  }
  return run;
}
