// Helpers of the record handler's regression tests: a small table of names
// and its records read back plainly.
#pragma once

#include <string>
#include <vector>

#include "dbf_engine/maintenance_test_util.h"

namespace htest {

using mtest::Trimmed;
using Strings = std::vector<std::string>;

// NAME C(10), N N(4,0); one record per name, N counting from 1.
inline std::string MakeNames(const TempDir& dir, const std::vector<std::string>& names) {
  const std::string file = dir / "t.dbf";
  if (!cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
        if (i == 1) n = "NAME", t = "C", l = 10, d = 0;
        if (i == 2) n = "N", t = "N", l = 4, d = 0;
        return true;
      }))
    throw std::runtime_error("table not created");
  CVO_dBHandler h(file, "", true, false);
  h.kvSetTranslateAscii(false);
  int n = 1;
  for (const auto& s : names) {
    h.cvBlank();
    h.cvStringPut("NAME", s);
    h.cvNumberPut("N", n++);
    h.cvAppend();
  }
  h.cvCloseTable();
  return file;
}

// "NAME" or "NAME*" (deleted) of every record by number, read plainly.
inline std::vector<std::string> Records(const std::string& file, const std::string& password = "") {
  CVO_dBHandler h(file, password, false, true);
  h.kvSetTranslateAscii(false);
  std::vector<std::string> out;
  for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
    h.cvGetRec(r);
    out.push_back(Trimmed(h.cvStringGet("NAME")) + (h.cvDelFlag() ? "*" : ""));
  }
  return out;
}

}  // namespace htest
