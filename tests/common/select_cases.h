// The SQL behaviour cases of tests/sql_engine/data/select_cases.txt, read
// once for every run over them (in-memory rows, SQLite, DBF tables).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

struct TSelectCase {
  int line = 0;
  std::string sql, sqlite, engineOnly, dbfSkip;
  std::vector<std::string> rows;  // fields joined by "|", NULL for null
};

inline std::vector<TSelectCase> LoadSelectCases() {
  const char* dir = std::getenv("DIRLOOK_SOURCE_DIR");
  std::ifstream in(std::string(dir ? dir : ".") + "/tests/sql_engine/data/select_cases.txt");
  std::vector<TSelectCase> cases;
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
      cur->line = n;
      cur->sql = line.substr(5);
    } else if (!cur) {
      ADD_FAILURE() << "line " << n << " outside a case";
    } else if (line.rfind("sqlite: ", 0) == 0) {
      cur->sqlite = line.substr(8);
    } else if (line.rfind("engine-only: ", 0) == 0) {
      cur->engineOnly = line.substr(13);
    } else if (line.rfind("dbf-skip: ", 0) == 0) {
      cur->dbfSkip = line.substr(10);
    } else {
      cur->rows.push_back(line);
    }
  }
  return cases;
}
