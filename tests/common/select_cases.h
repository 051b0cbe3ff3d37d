// The SQL behaviour cases of the files in tests/sql_engine/data listed in
// kSelectCaseFiles, read once for every run over them (in-memory rows,
// SQLite, DBF tables).  Besides "sql:", "sqlite:", "engine-only:" and
// "dbf-skip:", a case may say "ordered" (rows compare in order, not as a
// multiset) or "error: <text>" (the statement must fail with a message
// containing <text>; such cases do not run in SQLite).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// Each file holds cases over the same three tables.
inline const std::vector<std::string> kSelectCaseFiles = {
    "select_cases.txt",
    "pivot_cases.txt",
    "order_cases.txt",
    "group_cases.txt",
};

struct TSelectCase {
  std::string file;
  int line = 0;
  bool ordered = false;
  std::string sql, sqlite, engineOnly, dbfSkip, error;
  std::vector<std::string> rows;  // fields joined by "|", NULL for null
};

inline void LoadSelectCaseFile(const std::string& file, std::vector<TSelectCase>& cases) {
  const char* dir = std::getenv("DIRLOOK_SOURCE_DIR");
  std::ifstream in(std::string(dir ? dir : ".") + "/tests/sql_engine/data/" + file);
  if (!in) ADD_FAILURE() << "cannot read " << file;
  std::string line;
  int n = 0;
  TSelectCase* cur = nullptr;
  while (std::getline(in, line)) {
    ++n;
    if (line.rfind("#", 0) == 0) continue;
    if (line.empty()) {
      cur = nullptr;
      continue;
    }
    if (line.rfind("sql: ", 0) == 0) {
      cases.emplace_back();
      cur = &cases.back();
      cur->file = file;
      cur->line = n;
      cur->sql = line.substr(5);
    } else if (!cur) {
      ADD_FAILURE() << file << " line " << n << " outside a case";
    } else if (line.rfind("sqlite: ", 0) == 0) {
      cur->sqlite = line.substr(8);
    } else if (line.rfind("engine-only: ", 0) == 0) {
      cur->engineOnly = line.substr(13);
    } else if (line.rfind("dbf-skip: ", 0) == 0) {
      cur->dbfSkip = line.substr(10);
    } else if (line == "ordered") {
      cur->ordered = true;
    } else if (line.rfind("error: ", 0) == 0) {
      cur->error = line.substr(7);
    } else {
      cur->rows.push_back(line);
    }
  }
}

inline std::vector<TSelectCase> LoadSelectCases() {
  std::vector<TSelectCase> cases;
  for (const std::string& file : kSelectCaseFiles) LoadSelectCaseFile(file, cases);
  return cases;
}

// What a case is called in a failure message.
inline std::string CaseWhere(const TSelectCase& c) { return c.file + " line " + std::to_string(c.line) + ": " + c.sql; }

// Checks a run's rows and error against the case.
inline void ExpectCaseResult(const TSelectCase& c, std::vector<std::string> rows, const std::string& error) {
  if (!c.error.empty()) {
    EXPECT_NE(error.find(c.error), std::string::npos) << CaseWhere(c) << " gave \"" << error << "\"";
    return;
  }
  EXPECT_EQ(error, "") << CaseWhere(c);
  std::vector<std::string> expected = c.rows;
  if (!c.ordered) {
    std::sort(rows.begin(), rows.end());
    std::sort(expected.begin(), expected.end());
  }
  EXPECT_EQ(rows, expected) << CaseWhere(c);
}
