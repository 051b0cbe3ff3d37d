// Helpers of the DBF dataset tests: a per-test temporary directory, tables
// made from a field list and rows, whole-file bytes and a data link that
// asks for a number of record buffers.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/test_files.h"

#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/table/table_file.h"
#include "platform/db_links.h"

struct FieldSpec {
  std::string name, type;
  int32_t length = 0, decimals = 0;
};

// Creates a table of `kind` ("3", "4", "F") and appends the rows (raw field
// texts in field order, translation off), marking the listed records deleted.
inline void MakeTable(const std::string& path, const std::string& kind, const std::vector<FieldSpec>& fields,
                      const std::vector<std::vector<std::string>>& rows, const std::vector<int>& deleted = {}) {
  const bool ok = cvCreateDBF(path, kind, [&](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
    if (i <= static_cast<int>(fields.size())) {
      const FieldSpec& f = fields[static_cast<size_t>(i - 1)];
      n = f.name, t = f.type, l = f.length, d = f.decimals;
    }
    return true;
  });
  if (!ok) throw std::runtime_error("table not created");
  CVO_dBHandler h(path, "", true, false);
  h.kvSetTranslateAscii(false);
  for (const auto& r : rows) {
    h.cvBlank();
    for (size_t k = 0; k < r.size(); ++k) h.cvFieldPutN(static_cast<int>(k + 1), r[k]);
    h.cvAppend();
  }
  for (int n : deleted) {
    h.cvGetRec(n);
    h.cvDeleteRec();
  }
  h.cvCloseTable();
}

// The phone directory's layout with `count` rows: TEL "1000+i", FM "Name<i>",
// UL "Street<i % 3>", ND i, KW "<i>a".
inline void MakePhones(const std::string& path, int count, const std::vector<int>& deleted = {}) {
  std::vector<std::vector<std::string>> rows;
  for (int i = 1; i <= count; ++i)
    rows.push_back({std::to_string(1000 + i), "Name" + std::to_string(i), "Street" + std::to_string(i % 3),
                    std::to_string(i), std::to_string(i) + "a"});
  MakeTable(path, "3",
            {{"TEL", "C", 7, 0}, {"FM", "C", 20, 0}, {"UL", "C", 12, 0}, {"ND", "N", 4, 0}, {"KW", "C", 4, 0}}, rows,
            deleted);
}

// A link that asks its dataset for `count` record buffers.
class TBufferLink : public TDataLink {
public:
  explicit TBufferLink(int count) { SetBufferCount(count); }
};

// A dataset on `dir`/`table`, with translation off unless asked for.
inline void Place(TCorvidDataSet& ds, const TempDir& dir, const std::string& table, bool translate = false) {
  ds.SetDatabaseName(dir.path());
  ds.SetTableName(table);
  ds.SetTranslateASCII(translate);
}

// The field's values over a whole forward walk.
inline std::vector<std::string> Walk(TCorvidDataSet& ds, const std::string& field) {
  std::vector<std::string> out;
  ds.First();
  while (!ds.Eof()) {
    out.push_back(ds.FieldByName(field)->AsString());
    ds.Next();
  }
  return out;
}
