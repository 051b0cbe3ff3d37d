// Tables and memo files written here are read by independent DBF tools
// (Debian's python3-dbf, Perl XBase's dbf_dump, pgdbf), and tables written by
// python3-dbf are read here.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cstring>
#include <sstream>

#include "dbf_engine/table/memo_file.h"
#include "dbf_engine/table/table_file.h"
#include "dbf_engine/table_test_util.h"
#include "platform/file_io.h"
#include "common/run_tool.h"

namespace {

const std::string kLong(700, 'x');

// Builds a table of `kind` with a memo and four rows, the last one deleted.
void BuildTable(const std::string& name, const std::string& kind) {
  ASSERT_TRUE(cvCreateDBF(name, kind, [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
    static const char* names[] = {"ID", "NAME", "BORN", "OK", "NOTES"};
    static const char* types[] = {"N", "C", "D", "L", "M"};
    static const int lengths[] = {5, 12, 8, 1, 10};
    if (i <= 5) {
      n = names[i - 1];
      t = types[i - 1];
      l = lengths[i - 1];
      d = 0;
    }
    return true;
  }));
  CVO_dBaseDBF t(name, "", true, true);
  CVobjMemo* memo = t.cvMemoObject();
  ASSERT_NE(memo, nullptr);
  struct Row {
    const char* id;
    const char* name;
    const char* born;
    const char* ok;
    std::string notes;
  };
  const Row rows[] = {{"    1", "Ivanov", "19800115", "T", "first memo"},
                      {"    2", "Petrov", "        ", "F", kLong},
                      {"    3", "Sidorov", "20240229", "T", ""},
                      {"    4", "Gone", "        ", "F", "deleted memo"}};
  for (const Row& r : rows) {
    uint8_t* img = t.cvActiveBuffer();
    std::memset(img, ' ', static_cast<size_t>(t.cvRecordLength()));
    std::memcpy(img + 1, r.id, 5);
    std::memcpy(img + 6, r.name, std::strlen(r.name));
    std::memcpy(img + 18, r.born, 8);
    img[26] = static_cast<uint8_t>(r.ok[0]);
    uint32_t block = 0, size = static_cast<uint32_t>(r.notes.size());
    memo->moMemoWrite(r.notes.data(), block, size);
    if (block) {
      char num[16];
      std::snprintf(num, sizeof num, "%10u", block);
      std::memcpy(img + 27, num, 10);
    }
    t.cvAppend();
  }
  t.cvGetRec(4);
  t.cvActiveBuffer()[0] = '*';
  t.cvPutRec(4);
}

const char* kPythonDump = R"(
import sys, dbf
t = dbf.Table(sys.argv[1])
t.open()
for r in t:
    print('%d|%s|%s|%s|%s|%d:%s' % (dbf.is_deleted(r), r.id, r.name.strip(), r.born, r.ok,
                                    len(r.notes), r.notes[:12]))
t.close()
)";

class Interop : public ::testing::TestWithParam<std::string> {
protected:
  TempDir dir;
};

// python3-dbf knows no dBase IV tables; the other tools read those.
class PythonReadsOurs : public Interop {};

TEST_P(PythonReadsOurs, PythonDbfReadsOurTables) {
  if (!HavePythonDbf()) GTEST_SKIP() << "python3-dbf is not installed";
  BuildTable(dir / "ours.dbf", GetParam());
  WriteAll(dir / "dump.py", std::vector<uint8_t>(kPythonDump, kPythonDump + std::strlen(kPythonDump)));
  Output o = RunTool("/usr/bin/python3 " + Quote(dir / "dump.py") + " " + Quote(dir / "ours.dbf"));
  ASSERT_EQ(o.code, 0) << o.text;
  EXPECT_EQ(o.text,
            "0|1|Ivanov|1980-01-15|True|10:first memo\n"
            "0|2|Petrov|None|False|700:xxxxxxxxxxxx\n"
            "0|3|Sidorov|2024-02-29|True|0:\n"
            "1|4|Gone|None|False|12:deleted memo\n");
}

TEST_P(Interop, PerlXBaseReadsOurTables) {
  if (!HaveTool("/usr/bin/dbf_dump")) GTEST_SKIP() << "dbf_dump (libdbd-xbase-perl) is not installed";
  BuildTable(dir / "ours.dbf", GetParam());
  Output o = RunTool("/usr/bin/dbf_dump --fs '|' " + Quote(dir / "ours.dbf"));
  ASSERT_EQ(o.code, 0) << o.text;
  EXPECT_EQ(o.text,
            "1|Ivanov|19800115|1|first memo\n"
            "2|Petrov||0|" +
                kLong +
                "\n"
                "3|Sidorov|20240229|1|\n");
}

TEST_P(Interop, PgdbfReadsOurTables) {
  if (!HaveTool("/usr/bin/pgdbf")) GTEST_SKIP() << "pgdbf is not installed";
  const std::string kind = GetParam();
  BuildTable(dir / "ours.dbf", kind);
  const std::string memo = dir / (kind == "F" ? "ours.fpt" : "ours.dbt");
  Output o = RunTool("/usr/bin/pgdbf -m " + Quote(memo) + " " + Quote(dir / "ours.dbf"));
  ASSERT_EQ(o.code, 0) << o.text;
  // pgdbf leaves dBase IV memo text out; the other fields must still match.
  const std::string first = kind == "4" ? "" : "first memo", second = kind == "4" ? "" : kLong;
  EXPECT_NE(o.text.find("1\tIvanov\t1980-01-15\tt\t" + first + "\n"), std::string::npos) << o.text;
  EXPECT_NE(o.text.find("2\tPetrov\t\\N\tf\t" + second + "\n"), std::string::npos) << o.text;
  EXPECT_NE(o.text.find("3\tSidorov\t2024-02-29\tt\t\n"), std::string::npos) << o.text;
  EXPECT_EQ(o.text.find("Gone"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Interop, ::testing::Values("3", "4", "F"));
INSTANTIATE_TEST_SUITE_P(Kinds, PythonReadsOurs, ::testing::Values("3", "F"));

// --- Tables written by python3-dbf -------------------------------------------

const char* kPythonWrite = R"(
import sys, dbf, datetime
t = dbf.Table(sys.argv[1], 'name C(10); qty N(5,1); born D; notes M', dbf_type=sys.argv[2])
t.open(dbf.READ_WRITE)
t.append(('Ivanov', 12.5, datetime.date(1999, 12, 31), 'first memo'))
t.append(('Petrov', 3, None, 'y' * 900))
t.append(('Empty', 0, None, ''))
t.close()
t.open()
for r in t:
    print(bytes(r._data).hex())
t.close()
)";

class PythonTables : public ::testing::TestWithParam<std::string> {
protected:
  TempDir dir;
};

TEST_P(PythonTables, OpenHereWithTheSameRecordImages) {
  if (!HavePythonDbf()) GTEST_SKIP() << "python3-dbf is not installed";
  const std::string type = GetParam();
  WriteAll(dir / "w.py", std::vector<uint8_t>(kPythonWrite, kPythonWrite + std::strlen(kPythonWrite)));
  Output o = RunTool("cd " + Quote(dir.path()) + " && /usr/bin/python3 w.py py " + type);
  ASSERT_EQ(o.code, 0) << o.text;
  std::vector<std::string> images;
  std::istringstream lines(o.text);
  for (std::string line; std::getline(lines, line);) images.push_back(line);
  ASSERT_EQ(images.size(), 3u) << o.text;

  CVO_dBaseDBF t(dir / "py.dbf", "", false, true);
  EXPECT_EQ(t.cvVersion(), type == "db3" ? 0x83 : type == "fp" ? 0xF5 : 0x30);
  ASSERT_EQ(t.cvFieldCount(), 4);
  ASSERT_EQ(t.cvRecordCount(), 3);
  EXPECT_EQ(t.cvDescName(4), "NOTES");
  CVobjMemo* memo = t.cvMemoObject();
  ASSERT_NE(memo, nullptr);
  const std::string memos[] = {"first memo", std::string(900, 'y'), ""};
  for (int r = 1; r <= 3; ++r) {
    t.cvGetRec(r);
    std::ostringstream hex;
    for (int i = 0; i < t.cvRecordLength(); ++i) {
      char h[3];
      std::snprintf(h, sizeof h, "%02x", t.cvActiveBuffer()[i]);
      hex << h;
    }
    EXPECT_EQ(hex.str(), images[static_cast<size_t>(r - 1)]) << "record " << r;
    // The memo's block number: 10 digits, or a 4-byte integer in 0x30 tables.
    const uint8_t* field = t.cvActiveBuffer() + t.cvDescOffset(4);
    uint32_t block = 0;
    if (t.cvVersion() == 0x30) {
      block = cvLoadLE32(field);
    } else {
      std::string digits(reinterpret_cast<const char*>(field), 10);
      block = static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 10));
    }
    std::string text(memo->moMemoSize(block) + 1, '\0');
    uint32_t size = static_cast<uint32_t>(text.size());
    memo->moMemoRead(text.data(), block, size);
    text.resize(size);
    EXPECT_EQ(text, memos[r - 1]) << "record " << r;
  }
}

INSTANTIATE_TEST_SUITE_P(Types, PythonTables, ::testing::Values("db3", "fp", "vfp"));

}  // namespace
