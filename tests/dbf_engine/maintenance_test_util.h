// Helpers of the record handler's maintenance and search tests: tables of
// every version with a memo field, a handler that records its progress
// reports, and running the independent DBF tools.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/table/table_file.h"
#include "platform/paths.h"
#include "dbf_engine/table_test_util.h"
#include "common/run_tool.h"

namespace mtest {

// A handler that keeps every progress report.
class Recorder : public CVO_dBHandler {
public:
  using CVO_dBHandler::CVO_dBHandler;
  void cvStatusUpdate(int32_t a, int32_t b, int32_t c) override { reports.emplace_back(a, b, c); }
  std::vector<std::tuple<int32_t, int32_t, int32_t>> reports;
};

struct Row {
  std::string name;
  double fm;
  std::string note;  // empty: no memo
  bool deleted = false;
};

// NAME C(10), FM N(8,2), NOTE M; kind "3", "4" or "F", or "0" for a FoxPro
// 0x30 table built byte by byte (NOTE a 4-byte block number, PRICE B an
// 8-byte double) with its .fpt.
inline std::string MakeTable(const TempDir& dir, const std::string& file, const std::string& kind,
                             const std::vector<Row>& rows) {
  const std::string name = dir / file;
  if (kind == "0") {
    struct D {
      const char* n;
      char t;
      int len, dec;
    } ds[] = {{"NAME", 'C', 10, 0}, {"FM", 'N', 8, 2}, {"NOTE", 'M', 4, 0}, {"PRICE", 'B', 8, 0}};
    const int n = 4, recLen = 1 + 10 + 8 + 4 + 8, hdrLen = 32 + 32 * n + 1 + 263;
    std::vector<uint8_t> img(static_cast<size_t>(hdrLen) + 1, 0);
    img[0] = 0x30;
    img[1] = 124, img[2] = 1, img[3] = 1;
    cvStoreLE16(img.data() + 8, hdrLen);
    cvStoreLE16(img.data() + 10, recLen);
    img[28] = 0x02;
    int off = 1;
    for (int i = 0; i < n; ++i) {
      uint8_t* d = img.data() + 32 + 32 * i;
      std::memcpy(d, ds[i].n, std::strlen(ds[i].n));
      d[11] = static_cast<uint8_t>(ds[i].t);
      cvStoreLE32(d + 12, off);
      d[16] = static_cast<uint8_t>(ds[i].len);
      d[17] = static_cast<uint8_t>(ds[i].dec);
      off += ds[i].len;
    }
    img[32 + 32 * n] = 0x0D;
    img[static_cast<size_t>(hdrLen)] = 0x1A;
    WriteAll(name, img);
    std::vector<uint8_t> fpt(512, 0);
    cvStoreBE32(fpt.data(), 8);
    cvStoreBE16(fpt.data() + 6, 64);
    WriteAll(ChangeFileExt(name, ".fpt"), fpt);
  } else {
    const bool ok = cvCreateDBF(name, kind, [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
      if (i == 1) n = "NAME", t = "C", l = 10, d = 0;
      if (i == 2) n = "FM", t = "N", l = 8, d = 2;
      if (i == 3) n = "NOTE", t = "M", l = 10, d = 0;
      return true;
    });
    if (!ok) throw std::runtime_error("table not created");
  }
  CVO_dBHandler h(name, "", true, false);
  h.kvSetTranslateAscii(false);
  for (const auto& r : rows) {
    h.cvBlank();
    h.cvStringPut("NAME", r.name);
    h.cvNumberPut("FM", r.fm);
    if (kind == "0") h.cvNumberPutN(4, r.fm * 10);
    if (kind == "0") h.cvNumberPutN(3, 0);
    if (!r.note.empty()) h.cvMemoSave("NOTE", r.note);
    h.cvAppend();
    if (r.deleted) {
      h.cvDeleteRec();
      h.cvPutRec(h.cvCurrentRecord());
    }
  }
  h.cvCloseTable();
  return name;
}

inline std::string Trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// NAME of every record in navigation order.
inline std::vector<std::string> Names(CVO_dBHandler& h) {
  std::vector<std::string> out;
  for (h.cvGetRec(cvReadTop); !h.cvEOF() && !h.cvBOF() && h.cvCurrentRecord() >= 1; h.cvGetRec(cvReadNext))
    out.push_back(Trimmed(h.cvStringGet("NAME")));
  return out;
}

// Every record's NAME and FM with its record number, and each tag of
// `tags` walked through `h` against them: a tag named N... holds NAME and
// any other FM, each exactly the records' keys, in key order.  Returns the
// records' names, sorted, for further checks (empty when `minRecords` were
// not there: records were lost).
inline std::vector<std::pair<std::string, int32_t>> ExpectTagsMatchRecords(CVO_dBHandler& h,
                                                                           const std::vector<std::string>& tags,
                                                                           size_t minRecords) {
  std::vector<std::pair<std::string, int32_t>> names;
  std::vector<std::pair<double, int32_t>> fms;
  for (int32_t r = 1; r <= h.cvRecordCount(); ++r) {
    h.cvGetRec(r);
    names.emplace_back(Trimmed(h.cvStringGet("NAME")), r);
    fms.emplace_back(static_cast<double>(h.cvNumberGet("FM")), r);
  }
  if (names.size() < minRecords) {
    ADD_FAILURE() << "records were lost: " << names.size() << " of at least " << minRecords;
    return {};
  }
  std::sort(names.begin(), names.end());
  std::sort(fms.begin(), fms.end());
  for (const auto& tag : tags) {
    SCOPED_TRACE("tag " + tag);
    EXPECT_GT(h.cvSetTagTo(tag, false), 0);
    std::vector<std::pair<std::string, int32_t>> walkN;
    std::vector<std::pair<double, int32_t>> walkF;
    for (h.cvGetRec(cvReadTop); !h.cvEOF() && !h.cvBOF() && h.cvCurrentRecord() >= 1; h.cvGetRec(cvReadNext)) {
      walkN.emplace_back(Trimmed(h.cvStringGet("NAME")), h.cvCurrentRecord());
      walkF.emplace_back(static_cast<double>(h.cvNumberGet("FM")), h.cvCurrentRecord());
      if (walkN.size() > names.size() + 5) break;
    }
    const auto byKey = [](auto& a, auto& b) { return a.first < b.first; };
    if (tag[0] == 'N') {
      EXPECT_TRUE(std::is_sorted(walkN.begin(), walkN.end(), byKey));
      std::sort(walkN.begin(), walkN.end());
      EXPECT_EQ(walkN, names) << "tag keys " << walkN.size() << ", records " << names.size();
    } else {
      EXPECT_TRUE(std::is_sorted(walkF.begin(), walkF.end(), byKey));
      std::sort(walkF.begin(), walkF.end());
      EXPECT_EQ(walkF, fms) << "tag keys " << walkF.size() << ", records " << fms.size();
    }
  }
  return names;
}

// NAME of every live record as python3-dbf reads it, one per line.
inline Output PythonNames(const TempDir& dir, const std::string& table) {
  const std::string script = dir / "names.py";
  const std::string text =
      "import dbf, sys\n"
      "t = dbf.Table(sys.argv[1], codepage='cp1251')\n"
      "t.open()\n"
      "for r in t:\n"
      "    if not dbf.is_deleted(r):\n"
      "        print(r.name.strip() + '|' + (r.note or '').strip())\n"
      "t.close()\n";
  WriteAll(script, std::vector<uint8_t>(text.begin(), text.end()));
  return RunTool("/usr/bin/python3 " + Quote(script) + " " + Quote(table));
}

}  // namespace mtest
