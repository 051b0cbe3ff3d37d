// Text export of a query result: quoting, line ends, the header line, blob
// fields, the exact bytes of a file, python3's csv module reading it back,
// and a failure half-way leaving the old file as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/run_tool.h"
#include "common/test_files.h"
#include "common/expr_test_support.h"
#include "platform/string_list.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/query/custom_sift.h"

namespace {

std::string FileText(const std::string& name) {
  const std::vector<uint8_t> b = ReadAll(name);
  return std::string(b.begin(), b.end());
}

// A query over one source of text values, a number and a memo; `rows` are
// the NAME values (code page 1251 bytes).
struct Export {
  TempDir dir{"export"};
  std::unique_ptr<TRowDataSet> src;
  TSift q;

  explicit Export(const std::vector<std::string>& names, const std::string& sql = "select * from t") {
    std::vector<std::vector<Variant>> rows;
    int n = 0;
    for (const std::string& s : names) rows.push_back({Variant(s), Variant(++n), Variant()});
    src = std::make_unique<TRowDataSet>(
        std::vector<TTestColumn>{{"NAME", ftString, 20}, {"N", ftInteger, 0}, {"NOTE", ftMemo, 0}}, rows);
    src->Open();
    q.AddDataSet(src.get(), "t");
    q.SetSQL(sql);
    q.Open();
  }
  std::string Write(char quote, char separator, bool whenNeeded, std::vector<std::string> names = {}) {
    TStringList list;
    for (const std::string& s : names) list.Add(s);
    q.WriteToTextFile(dir / "out.txt", quote, separator, whenNeeded, list);
    return FileText(dir / "out.txt");
  }
};

TEST(SiftExport, QuotingMatrix) {
  // Each value as written under: no quote character (quote when needed on,
  // then off), and the quote character "'".
  struct Case {
    std::string value, needed, bare, apostrophe;
  };
  const std::vector<Case> cases = {
      {"plain", "plain", "plain", "'plain'"},
      {"  padded \t", "padded", "padded", "'padded'"},
      {"say \"hi\"", "\"say \"\"hi\"\"\"", "say \"hi\"", "'say \"hi\"'"},
      {"a;b", "\"a;b\"", "a;b", "'a;b'"},
      {"a\rb", "\"a\rb\"", "a\rb", "'a\rb'"},
      {"a\nb", "\"a\nb\"", "a\nb", "'a\nb'"},
      {"it's", "it's", "it's", "'it''s'"},
      {"", "", "", "''"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Export e({c.value});
    EXPECT_EQ(e.Write('\0', ';', true, {"NAME", "N"}), "NAME;N\r\n" + c.needed + ";1\r\n");
    EXPECT_EQ(e.Write('\0', ';', false, {"NAME", "N"}), "NAME;N\r\n" + c.bare + ";1\r\n");
    EXPECT_EQ(e.Write('\'', ';', false, {"NAME", "N"}), "'NAME';'N'\r\n" + c.apostrophe + ";'1'\r\n");
  }
  // A separator that would make the file unreadable is refused; a double
  // quote parts values well enough when none is ever quoted.
  Export e({"x"});
  for (const auto& [quote, sep] :
       std::vector<std::pair<char, char>>{{'\0', '"'}, {'\'', '\''}, {'\0', '\n'}, {'\0', '\r'}, {'\0', '\0'}}) {
    TStringList names;
    EXPECT_THROW(e.q.WriteToTextFile(e.dir / "bad.txt", quote, sep, true, names), ESiftError);
  }
  EXPECT_FALSE(std::filesystem::exists(e.dir / "bad.txt"));
  EXPECT_EQ(e.Write('\0', '"', false, {"NAME", "N"}), "NAME\"N\r\nx\"1\r\n");
}

TEST(SiftExport, ExactBytesOfAFile) {
  // Code page 1251 text goes out byte for byte; lines end in CR LF; the
  // memo (a blob) is never written, so an empty list names NAME and N.
  Export e({"\xC8\xE2\xE0\xED\xEE\xE2 \xC8.\xC8.", "Smith, J", "5\" tall"});
  TStringList names;
  e.q.WriteToTextFile(e.dir / "out.txt", '\0', ',', true, names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(names[0], "NAME");
  EXPECT_EQ(names[1], "N");
  const std::vector<uint8_t> expected = {
      'N',  'A',  'M',  'E',  ',',  'N',  '\r', '\n',                                         //
      0xC8, 0xE2, 0xE0, 0xED, 0xEE, 0xE2, ' ',  0xC8, '.', 0xC8, '.', ',', '1',  '\r', '\n',  //
      '"',  'S',  'm',  'i',  't',  'h',  ',',  ' ',  'J', '"',  ',', '2', '\r', '\n',        //
      '"',  '5',  '"',  '"',  ' ',  't',  'a',  'l',  'l', '"',  ',', '3', '\r', '\n'};
  EXPECT_EQ(ReadAll(e.dir / "out.txt"), expected);
  // The query stands past its last row.
  EXPECT_TRUE(e.q.Eof());
}

TEST(SiftExport, HeaderAlwaysWrittenAndListedNamesAsGiven) {
  Export e({"a", "b"}, "select * from t where n > 5");
  EXPECT_EQ(e.Write('\0', ',', true), "NAME,N\r\n");
  // Names as listed, whatever their case; a name that is no field writes
  // nothing, not even its separator; a blob listed last leaves the
  // separator of the entry before it.
  Export f({"a"});
  EXPECT_EQ(f.Write('\0', ',', true, {"n", "MISSING", "name", "NOTE"}), "n,name,\r\n1,a,\r\n");
}

TEST(SiftExport, PythonCsvReadsItBack) {
  if (RunTool("/usr/bin/python3 -c 'import csv'").code != 0) GTEST_SKIP() << "python3 is not installed";
  // Each cell as the hex of its code page 1251 bytes; argv[2] is the code
  // of the quote character the reader expects, 0 for a file with no quoting.
  TempDir dir("export-py");
  std::ofstream(dir / "read.py") << "import csv, sys\n"
                                    "q = int(sys.argv[2])\n"
                                    "opts = {'quotechar': chr(q)} if q else {'quoting': csv.QUOTE_NONE}\n"
                                    "with open(sys.argv[1], newline='', encoding='cp1251') as f:\n"
                                    "    for row in csv.reader(f, **opts):\n"
                                    "        print('|'.join(c.encode('cp1251').hex() for c in row))\n";
  auto hex = [](const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) h += {d[c >> 4], d[c & 15]};
    return h;
  };
  auto check = [&](const std::vector<std::string>& values, char quote, bool whenNeeded) {
    SCOPED_TRACE(std::string("quote ") + (quote ? std::string(1, quote) : "none") +
                 (whenNeeded ? ", when needed" : ""));
    Export e(values);
    e.Write(quote, ',', whenNeeded, {"NAME", "N"});
    const char expect = quote ? quote : whenNeeded ? '"' : '\0';
    const Output o = RunTool("/usr/bin/python3 " + Quote(dir / "read.py") + " " + Quote(e.dir / "out.txt") + " " +
                             std::to_string(static_cast<int>(expect)));
    ASSERT_EQ(o.code, 0) << o.text;
    std::string expected = hex("NAME") + "|" + hex("N") + "\n";
    for (size_t i = 0; i < values.size(); ++i) expected += hex(values[i]) + "|" + hex(std::to_string(i + 1)) + "\n";
    EXPECT_EQ(o.text, expected);
  };
  const std::vector<std::string> awkward = {
      "plain", "with, comma", "say \"hi\"", "two\r\nlines", "\xCF\xF0\xE8\xE2\xE5\xF2", "lf\nonly", "\"lead"};
  check(awkward, '\0', true);
  // A value holding the quote character reads back because the character is
  // doubled inside it.
  check({"it's", "'lead", "trail'", "a, 'b', c", "two\nlines", "say \"hi\""}, '\'', false);
  // Written as they stand: quotes stay as they are in the values.
  check({"plain", "say \"hi\"", "\"lead", "trail\"", "\xCF\xF0\xE8\xE2\xE5\xF2"}, '\0', false);
}

TEST(SiftExport, AFailureHalfWayLeavesTheOldFile) {
  Export e({"a", "b", "c", "d"});
  WriteAll(e.dir / "out.txt", {'o', 'l', 'd'});
  int seen = 0;
  e.q.OnFilterRecord = [&](TDataSet*, bool& accept) {
    if (++seen > 2) throw EDatabaseError("read failed");
    accept = true;
  };
  e.q.SetFiltered(true);
  seen = 0;
  TStringList names;
  EXPECT_THROW(e.q.WriteToTextFile(e.dir / "out.txt", '\0', ',', true, names), EDatabaseError);
  EXPECT_EQ(FileText(e.dir / "out.txt"), "old");
  // No temporary file is left beside it.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(e.dir.path())) ++files;
  EXPECT_EQ(files, 1);
  // A directory that does not exist is the platform's input/output error.
  e.q.OnFilterRecord = nullptr;
  e.q.SetFiltered(false);
  EXPECT_THROW(e.q.WriteToTextFile(e.dir / "no/such/dir.txt", '\0', ',', true, names), EInOutError);
}

TEST(SiftExport, OnlyARegularFileIsReplacedAndALinkIsFollowedToIt) {
  Export e({"a"});
  namespace fs = std::filesystem;
  auto kind = [](const std::string& name) { return fs::symlink_status(name).type(); };
  TStringList names;
  auto write = [&](const std::string& name) { e.q.WriteToTextFile(name, '\0', ',', true, names); };
  // Anything that exists and is not a regular file stays what it is: the
  // rename would have put a regular file in its place.
  ASSERT_EQ(::mkfifo((e.dir / "fifo").c_str(), 0600), 0);
  EXPECT_THROW(write(e.dir / "fifo"), EInOutError);
  EXPECT_EQ(kind(e.dir / "fifo"), fs::file_type::fifo);
  fs::create_directory(e.dir / "sub");
  EXPECT_THROW(write(e.dir / "sub"), EInOutError);
  EXPECT_EQ(kind(e.dir / "sub"), fs::file_type::directory);
  // A link to one of them, or to nothing, is refused the same way.
  fs::create_symlink(e.dir / "fifo", e.dir / "to-fifo");
  fs::create_symlink(e.dir / "nowhere", e.dir / "dangling");
  EXPECT_THROW(write(e.dir / "to-fifo"), EInOutError);
  EXPECT_THROW(write(e.dir / "dangling"), EInOutError);
  EXPECT_EQ(kind(e.dir / "fifo"), fs::file_type::fifo);
  EXPECT_FALSE(fs::exists(e.dir / "nowhere"));
  // A link to a regular file in another folder: the file it names is
  // replaced and keeps its permissions, the link stays a link.
  fs::create_directory(e.dir / "real");
  WriteAll(e.dir / "real/out.txt", {'o', 'l', 'd'});
  ::chmod((e.dir / "real/out.txt").c_str(), 0640);
  fs::create_symlink("real/out.txt", e.dir / "link.txt");
  write(e.dir / "link.txt");
  EXPECT_EQ(kind(e.dir / "link.txt"), fs::file_type::symlink);
  EXPECT_EQ(FileText(e.dir / "real/out.txt"), "NAME,N\r\na,1\r\n");
  EXPECT_EQ(fs::status(e.dir / "real/out.txt").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // No temporary file is left anywhere.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : fs::recursive_directory_iterator(e.dir.path())) ++files;
  EXPECT_EQ(files, 7);  // fifo, sub, to-fifo, dangling, real, real/out.txt, link.txt

  // A device node (made only where the test may make one).
  if (::geteuid() != 0) GTEST_SKIP() << "a device node can only be made as root";
  if (::mknod((e.dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot make a device node here";
  EXPECT_THROW(write(e.dir / "null"), EInOutError);
  EXPECT_EQ(kind(e.dir / "null"), fs::file_type::character);
}

}  // namespace
