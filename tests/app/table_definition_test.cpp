// The query binding's table-definition statements over a data list: CREATE
// and DROP of tables and indexes on DBF files of the four kinds, the list's
// INI file, SaveToDBF, and the files read back by independent tools
// (python3-dbf and configparser, Perl XBase, xbase64's dumprecs).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/run_tool.h"
#include "common/test_files.h"
#include "corvid_sift.h"
#include "data_list.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/handler/record_handler.h"
#include "platform/file_replace.h"
#include "platform/ini_file.h"
#include "platform/text.h"
#include "save_to_dbf.h"

namespace fs = std::filesystem;

namespace {

using T = TCorvidSift::TDBFType;

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// One field descriptor of a DBF header, read from the file's bytes.
struct Descriptor {
  std::string name;
  char type;
  int length, decimals;
  bool operator==(const Descriptor&) const = default;
};

std::vector<Descriptor> Descriptors(const std::string& file) {
  const std::vector<uint8_t> b = ReadAll(file);
  std::vector<Descriptor> out;
  for (size_t at = 32; at + 32 <= b.size() && b[at] != 0x0D; at += 32) {
    std::string name(reinterpret_cast<const char*>(&b[at]), 11);
    name = name.substr(0, name.find('\0'));
    out.push_back({name, static_cast<char>(b[at + 11]), b[at + 16], b[at + 17]});
  }
  return out;
}

std::vector<std::string> Files(const TempDir& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir.path())) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// A binding with a data list kept in list.ini of a temporary directory.
struct Binding {
  TempDir dir{"ddl"};
  TDataList list;
  TCorvidSift sift;
  explicit Binding(T type) {
    list.FileName = dir / "list.ini";
    sift.DBFType = type;
    sift.Loaded();
    sift.SetDataList(&list);
  }
  void Exec(const std::string& sql) {
    sift.SetSQL(sql);
    sift.ExecSQL();
  }
  std::string Path(const std::string& name) const { return dir / name; }
  // Appends rows of (NAME, N) through the entry's dataset.
  void Fill(const std::string& table, const std::vector<std::pair<std::string, int>>& rows) {
    TDataSet* ds = list.GetItem(list.Find(Path(table)))->AsDataSet();
    for (const auto& [name, n] : rows) {
      ds->Append();
      ds->FieldByName("NAME")->SetAsString(name);
      ds->FieldByName("N")->SetAsInteger(n);
      ds->Post();
    }
  }
  std::vector<std::string> Select(const std::string& sql, const std::string& field) {
    sift.SetSQL(sql);
    sift.Open();
    std::vector<std::string> out;
    for (; !sift.Eof(); sift.Next()) out.push_back(Trim(sift.FieldByName(field)->AsString()));
    sift.Close();
    return out;
  }
};

// Keys of an index file in index order, as Perl XBase reads them.
Output PerlKeys(const std::string& file, const std::string& tag) {
  return RunTool("perl -MXBase::Index -e '$i = XBase::Index->new(q{" + file + "}" +
                 (tag.empty() ? "" : ", tag => q{" + tag + "}") +
                 ", type => q{char}) or die XBase::Index->errstr; $i->prepare_select; "
                 "while (my ($k, $r) = $i->fetch) { $k =~ s/ +$//; print qq{$k=$r,} }'");
}

bool HavePerlXBase() { return RunTool("perl -MXBase::Index -e 1").code == 0; }

TEST(TableDefinition, WithoutADataListNothingHappens) {
  TempDir dir;
  TCorvidSift sift;
  sift.Loaded();
  for (const std::string& sql :
       {"create table '" + dir / "x.dbf" + "' (a char(10))", "create index i on '" + dir / "x.dbf" + "' (a)",
        "drop table '" + dir / "x.dbf" + "'", "drop index '" + dir / "x.dbf" + "' i"}) {
    sift.SetSQL(sql);
    EXPECT_NO_THROW(sift.ExecSQL()) << sql;
  }
  EXPECT_TRUE(Files(dir).empty());
}

TEST(TableDefinition, SqlTypesBecomeFieldsOfTheHeader) {
  Binding b(T::DBaseIV);
  b.Exec("create table '" + b.Path("types.dbf") +
         "' (name char(30), i integer, s smallint, ok boolean, d date, t time, dt datetime, m money, f float, "
         "f8 float(8), f82 float(8,2), a autoinc, memo blob(1), bin blob(2), pic blob(5))");
  const std::vector<Descriptor> expected = {
      {"NAME", 'C', 30, 0}, {"I", 'N', 11, 0}, {"S", 'N', 6, 0},     {"OK", 'L', 1, 0},   {"D", 'D', 8, 0},
      {"T", 'D', 8, 0},     {"DT", 'D', 8, 0}, {"M", 'N', 20, 4},    {"F", 'N', 20, 4},   {"F8", 'N', 8, 0},
      {"F82", 'N', 8, 2},   {"A", 'N', 11, 0}, {"MEMO", 'M', 10, 0}, {"BIN", 'B', 10, 0}, {"PIC", 'G', 10, 0}};
  EXPECT_EQ(Descriptors(b.Path("types.dbf")), expected);
  ASSERT_EQ(b.list.GetCount(), 1);
  EXPECT_EQ(b.list.GetItem(0)->Alias(), "types");
  // The new table is a source of the query at once, under its alias.
  EXPECT_NE(b.sift.DataSetByName("types"), nullptr);
  // A type the builder cannot hold is refused naming the line; nothing is
  // written.
  EXPECT_NE(MessageOf([&] { b.Exec("create table '" + b.Path("bad.dbf") + "' (n float(300,2))"); }).find("N;300;2"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(b.Path("bad.dbf")));
}

// CREATE TABLE with a primary key, CREATE INDEX twice, DROP INDEX and DROP
// TABLE on each of the four kinds.
struct Kind {
  T type;
  const char* ext;
  bool singleTag;
};

class IndexKinds : public ::testing::TestWithParam<Kind> {};

TEST_P(IndexKinds, CreateAndDropIndexes) {
  const Kind k = GetParam();
  Binding b(k.type);
  const std::string table = b.Path("people.dbf");
  b.Exec("create table '" + table + "' (name char(12), n integer, note blob(1) primary key (n))");
  b.Fill("people.dbf", {{"Petrov", 3}, {"Abramov", 1}, {"Sidorov", 2}});
  b.Exec("create index byname on '" + table + "' (name)");
  b.Exec("create desc index bynum on '" + table + "' (n, name)");
  const std::string primary = std::string("people") + k.ext;
  std::vector<std::string> files =
      k.singleTag ? std::vector<std::string>{std::string("byname") + k.ext, std::string("bynum") + k.ext, "list.ini",
                                             "people.dbf", primary}
                  : std::vector<std::string>{"list.ini", "people.dbf", primary};
  files.insert(files.begin() + (k.singleTag ? 4 : 2), k.type == T::FoxPro2 ? "people.fpt" : "people.dbt");
  std::sort(files.begin(), files.end());
  EXPECT_EQ(Files(b.dir), files);
  // The list notes every index file once, and the INI file has them.
  const TDataItem& item = *b.list.GetItem(0);
  std::vector<std::string> noted;
  for (int i = 0; i < item.IndexFiles().Count(); ++i) noted.push_back(item.IndexFiles()[i]);
  EXPECT_EQ(noted, k.singleTag ? (std::vector<std::string>{primary, std::string("byname") + k.ext,
                                                           std::string("bynum") + k.ext})
                               : std::vector<std::string>{primary});
  {
    TIniFile ini(b.Path("list.ini"));
    EXPECT_EQ(ini.ReadInteger("File1", "NumIndexes", -1), static_cast<int>(noted.size()));
  }
  // The same tag again is refused and changes nothing.
  EXPECT_NE(MessageOf([&] { b.Exec("create index byname on '" + table + "' (n)"); }), "(no error)");

  // The indexes hold the rows: Perl XBase walks them in key order (not NTX
  // files with a FOR condition, signature 7, which it does not read).
  if (HavePerlXBase() && k.type != T::Clipper) {
    const std::string byname = k.singleTag ? b.Path(std::string("byname") + k.ext) : b.Path(primary);
    Output o = PerlKeys(byname, k.singleTag ? "" : "BYNAME");
    EXPECT_EQ(o.text, "Abramov=2,Petrov=1,Sidorov=3,") << o.text;
  }

  // DROP INDEX takes away the tag and its own file; the others stay.
  b.Exec("drop index '" + table + "' byname");
  if (k.singleTag) {
    EXPECT_FALSE(fs::exists(b.Path(std::string("byname") + k.ext)));
    EXPECT_TRUE(fs::exists(b.Path(std::string("bynum") + k.ext)));
    EXPECT_TRUE(fs::exists(b.Path(primary)));
  }
  EXPECT_NE(MessageOf([&] { b.Exec("drop index '" + table + "' byname"); }).find("not found"), std::string::npos);
  {
    // Reloaded, the list opens the table with what is left.
    TDataList again;
    again.LoadFromFile(b.Path("list.ini"));
    ASSERT_EQ(again.GetCount(), 1);
    EXPECT_EQ(again.GetItem(0)->IndexFiles().Count(), k.singleTag ? 2 : 1);
    EXPECT_NO_THROW(again.OpenDataSets());
    again.CloseDataSets();
  }
  // PRIMARY is a keyword of the SQL grammar: the handler directly.
  b.sift.DropIndex(&b.sift, table, "PRIMARY");
  b.Exec("drop index '" + table + "' bynum");
  EXPECT_EQ(Files(b.dir),
            (std::vector<std::string>{"list.ini", "people.dbf", k.type == T::FoxPro2 ? "people.fpt" : "people.dbt"}));
  // The rows are all there, through the query.
  EXPECT_EQ(b.Select("select name from people", "NAME"), (std::vector<std::string>{"Petrov", "Abramov", "Sidorov"}));

  // DROP TABLE: table, memo and index files go, and so does the entry.
  b.Exec("create index byname on '" + table + "' (name)");
  b.Exec("drop table '" + table + "'");
  EXPECT_EQ(Files(b.dir), std::vector<std::string>{"list.ini"});
  EXPECT_EQ(b.list.GetCount(), 0);
  EXPECT_EQ(b.sift.DataSetByName("people"), nullptr);
  TIniFile ini(b.Path("list.ini"));
  EXPECT_EQ(ini.ReadInteger("General", "NumFiles", -1), 0);
  EXPECT_FALSE(ini.ValueExists("General", "File1"));
  EXPECT_FALSE(ini.SectionExists("File1"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, IndexKinds,
                         ::testing::Values(Kind{T::Clipper, ".NTX", true}, Kind{T::DBaseIII, ".NDX", true},
                                           Kind{T::DBaseIV, ".MDX", false}, Kind{T::FoxPro2, ".CDX", false}),
                         [](const auto& info) { return std::string(info.param.ext + 1); });

TEST(TableDefinition, TablesNotInTheListAreRefused) {
  Binding b(T::Clipper);
  const std::string other = b.Path("other.dbf");
  for (const std::string& sql :
       {"create index i on '" + other + "' (a)", "drop table '" + other + "'", "drop index '" + other + "' i"})
    EXPECT_NE(MessageOf([&] { b.Exec(sql); }).find("not in the data list"), std::string::npos) << sql;
}

TEST(TableDefinition, CreatingAListedTableAgainReplacesItsEntry) {
  Binding b(T::Clipper);
  b.sift.AutoOverwrite = true;
  const std::string table = b.Path("t.dbf");
  b.Exec("create table '" + table + "' (name char(5), n integer primary key (name))");
  b.Exec("create index old on '" + table + "' (n)");
  b.Exec("create table '" + b.Path("T.DBF") + "' (other char(8))");
  ASSERT_EQ(b.list.GetCount(), 1);
  EXPECT_EQ(Descriptors(table), (std::vector<Descriptor>{{"OTHER", 'C', 8, 0}}));
  // The old table's index files go with it.
  EXPECT_EQ(Files(b.dir), (std::vector<std::string>{"list.ini", "t.dbf"}));
  // The list attaches again (no second alias).
  TDataList again;
  again.LoadFromFile(b.Path("list.ini"));
  TCorvidSift sift;
  EXPECT_NO_THROW(sift.SetDataList(&again));
  EXPECT_EQ(sift.DataSets().Count(), 1);

  // Another table under the same alias is refused before anything is made.
  fs::create_directory(b.Path("sub"));
  EXPECT_NE(MessageOf([&] { b.Exec("create table '" + b.Path("sub/t.dbf") + "' (a char(1))"); }).find("Alias t"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(b.Path("sub/t.dbf")));

  // Without AutoOverwrite the question decides; Cancel keeps the table.
  b.sift.AutoOverwrite = false;
  std::string asked;
  b.sift.OnConfirmOverwrite = [&](const std::string& q) {
    asked = q;
    return false;
  };
  b.Exec("create table '" + table + "' (third char(3))");
  EXPECT_EQ(asked, "Table exists.  Do you want to overwrite?");
  EXPECT_EQ(Descriptors(table), (std::vector<Descriptor>{{"OTHER", 'C', 8, 0}}));
}

TEST(TableDefinition, AFailedPrimaryKeyLeavesNoTable) {
  Binding b(T::DBaseIV);
  // A key over a memo field cannot be built.
  EXPECT_NE(MessageOf([&] { b.Exec("create table '" + b.Path("m.dbf") + "' (memo blob(1) primary key (memo))"); }),
            "(no error)");
  EXPECT_EQ(Files(b.dir), std::vector<std::string>{});
  EXPECT_EQ(b.list.GetCount(), 0);
}

TEST(TableDefinition, FailuresHalfWay) {
  Binding b(T::Clipper);
  const std::string table = b.Path("t.dbf");
  b.Exec("create table '" + table + "' (name char(5), note blob(1))");
  // An index that cannot be built leaves no file and no note.
  EXPECT_NE(MessageOf([&] { b.Exec("create index bad on '" + table + "' (note)"); }), "(no error)");
  EXPECT_EQ(Files(b.dir), (std::vector<std::string>{"list.ini", "t.dbf", "t.dbt"}));
  EXPECT_EQ(b.list.GetItem(0)->IndexFiles().Count(), 0);
  // An index name that is no file name is refused.
  EXPECT_NE(MessageOf([&] { b.sift.CreateIndex(&b.sift, false, false, table, "../x", {"NAME"}); }), "(no error)");
  // A file of the table that cannot be deleted (here a directory in the
  // way of an index file) is reported; the table and its entry are gone.
  b.Exec("create index byname on '" + table + "' (name)");
  fs::remove(b.Path("byname.NTX"));
  fs::create_directory(b.Path("byname.NTX"));
  fs::create_directory(b.Path("byname.NTX/keep"));
  EXPECT_NE(MessageOf([&] { b.Exec("drop table '" + table + "'"); }).find("byname.NTX"), std::string::npos);
  EXPECT_EQ(Files(b.dir), (std::vector<std::string>{"byname.NTX", "list.ini"}));
  EXPECT_EQ(b.list.GetCount(), 0);
  EXPECT_EQ(TIniFile(b.Path("list.ini")).ReadInteger("General", "NumFiles", -1), 0);
}

TEST(SaveToDBF, AFailureHalfWayLeavesNoTable) {
  Binding b(T::DBaseIII);
  b.Exec("create table '" + b.Path("src.dbf") + "' (name char(12), n integer)");
  b.Fill("src.dbf", {{"a", 1}, {"b", 2}, {"c", 3}});
  b.sift.SetSQL("select name from src");
  b.sift.Open();
  int seen = 0;
  b.sift.OnFilterRecord = [&](TDataSet*, bool& accept) {
    if (++seen > 1) throw EDatabaseError("read failed");
    accept = true;
  };
  b.sift.SetFiltered(true);
  seen = 0;
  EXPECT_THROW(b.sift.SaveToDBF(b.Path("out.dbf")), EDatabaseError);
  EXPECT_FALSE(fs::exists(b.Path("out.dbf")));
}

TEST(TableDefinition, KeysOverSeveralColumnsOfMixedTypes) {
  Binding b(T::FoxPro2);
  const std::string table = b.Path("k.dbf");
  b.Exec("create table '" + table + "' (name char(8), n integer primary key (n, name))");
  b.Fill("k.dbf", {{"b", 10}, {"a", 10}, {"c", 9}});
  b.Exec("create index nn on '" + table + "' (name, n)");
  EXPECT_EQ(b.Select("select name from k", "NAME"), (std::vector<std::string>{"b", "a", "c"}));
  // The number goes into the key as its text, so both columns order it.
  if (HavePerlXBase()) {
    const std::string s9(10, ' '), s10(9, ' '), pad(7, ' ');
    EXPECT_EQ(PerlKeys(b.Path("k.CDX"), "PRIMARY").text, s9 + "9c=3," + s10 + "10a=2," + s10 + "10b=1,");
    EXPECT_EQ(PerlKeys(b.Path("k.CDX"), "NN").text,
              "a" + pad + s10 + "10=2,b" + pad + s10 + "10=1,c" + pad + s9 + "9=3,");
  }
}

TEST(DataList, IniFileReadBackByConfigParserAndReloaded) {
  TempDir dir;
  TDataList list;
  list.UseDeleted = true;
  list.MapFileSize = 4096;
  // A table that exists, and one whose file is missing.
  TCorvidSift sift;
  sift.DBFType = T::DBaseIII;
  sift.AutoOverwrite = true;
  sift.Loaded();
  list.FileName = dir / "list.ini";
  sift.SetDataList(&list);
  sift.SetSQL("create table '" + dir / "a.dbf" + "' (x char(2) primary key (x))");
  sift.ExecSQL();
  TStringList none;
  list.Add(dir / "missing.dbf", "", none);
  list.SaveToFile(list.FileName);
  EXPECT_EQ(list.GetItem(1)->Alias(), "missing");

  if (RunTool("/usr/bin/python3 -c 'import configparser'").code == 0) {
    std::ofstream(dir / "read.py") << "import configparser, sys\n"
                                      "c = configparser.ConfigParser(); c.optionxform = str\n"
                                      "c.read(sys.argv[1])\n"
                                      "for s in c.sections():\n"
                                      "    for k, v in c.items(s): print(s, k, v, sep='|')\n";
    const Output o = RunTool("/usr/bin/python3 " + Quote(dir / "read.py") + " " + Quote(dir / "list.ini"));
    ASSERT_EQ(o.code, 0) << o.text;
    EXPECT_EQ(o.text,
              "General|NumFiles|2\nGeneral|UseDeleted|1\nGeneral|InMemResultSet|1\n"
              "General|MapFileSize|4096\nGeneral|DateFormat|m/d/yyyy\n"
              "General|File1|" +
                  dir / "a.dbf" +
                  "\nGeneral|Alias1|a\n"
                  "General|File2|" +
                  dir / "missing.dbf" +
                  "\nGeneral|Alias2|missing\n"
                  "File1|NumIndexes|1\nFile1|Index1|a.NDX\nFile2|NumIndexes|0\n");
  }
  TDataList again;
  again.LoadFromFile(dir / "list.ini");
  ASSERT_EQ(again.GetCount(), 1);
  EXPECT_TRUE(again.UseDeleted);
  EXPECT_EQ(again.MapFileSize, 4096);
  EXPECT_EQ(again.GetItem(0)->Alias(), "a");
  EXPECT_EQ(again.IndexOf(dir / "A.DBF"), 0);
  TCorvidSift other;
  other.SetDataList(&again);
  EXPECT_TRUE(other.UseDeleted);
}

TEST(SaveToDBF, FieldNamesStayUniqueAfterTheCut) {
  EXPECT_EQ(DBFFieldNames({"First Name", "FirstName", "COUNT(*)", "1st", "\xD1\xF3\xEC\xEC\xE0"}),
            (std::vector<std::string>{"FirstName", "FirstNam_1", "COUNT___", "F1st", "F_____"}));
  std::vector<std::string> many(120, "LONGCOLUMNNAME");
  const std::vector<std::string> names = DBFFieldNames(many);
  EXPECT_EQ(names[0], "LONGCOLUMN");
  EXPECT_EQ(names[9], "LONGCOLU_9");
  EXPECT_EQ(names[10], "LONGCOL_10");
  EXPECT_EQ(names[119], "LONGCO_119");
  for (size_t i = 0; i < names.size(); ++i)
    for (size_t j = i + 1; j < names.size(); ++j) ASSERT_FALSE(SameText(names[i], names[j])) << names[i];
}

TEST(SaveToDBF, AResultBecomesAFoxProTableOthersRead) {
  Binding b(T::DBaseIV);
  b.Exec("create table '" + b.Path("src.dbf") + "' (name char(12), n integer)");
  b.Fill("src.dbf", {{"\xC8\xE2\xE0\xED\xEE\xE2", 1}, {"Smith", 2}});
  b.sift.SetSQL("select name, n, n * 2.5, name as FirstName, name as FirstName from src");
  b.sift.Open();
  b.sift.Next();
  b.sift.SaveToDBF(b.Path("out"));
  // The query stands where it stood.
  EXPECT_EQ(Trim(b.sift.FieldByName("NAME")->AsString()), "Smith");
  b.sift.Close();
  const std::vector<Descriptor> d = Descriptors(b.Path("out.DBF"));
  ASSERT_EQ(d.size(), 5u);
  EXPECT_EQ(d[0], (Descriptor{"NAME", 'C', 12, 0}));
  EXPECT_EQ(d[2].type, 'N');
  EXPECT_EQ(d[2].length, 20);
  EXPECT_EQ(d[2].decimals, 4);
  // The query names the second FirstName FirstName_1, cut to 10.
  EXPECT_EQ(d[3].name, "FIRSTNAME");
  EXPECT_EQ(d[4].name, "FIRSTNAME_");
  // A FoxPro table (without memo fields: version 0x03).
  EXPECT_EQ(ReadAll(b.Path("out.DBF"))[0], 0x03);

  if (HavePythonDbf()) {
    // The dataset writes text in the OEM code page (TranslateASCII is on).
    std::ofstream(b.Path("dump.py")) << "import dbf, sys\n"
                                        "t = dbf.Table(sys.argv[1], codepage='cp866'); t.open()\n"
                                        "for r in t: print('|'.join(str(v).strip() for v in r))\n";
    const Output o = RunTool("/usr/bin/python3 " + Quote(b.Path("dump.py")) + " " + Quote(b.Path("out.DBF")));
    ASSERT_EQ(o.code, 0) << o.text;
    EXPECT_EQ(o.text,
              "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2|1|2.5|\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2|"
              "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2\nSmith|2|5.0|Smith|Smith\n");
  }
}

TEST(TableDefinition, IndependentToolsOpenWhatIsMade) {
  for (const auto& [type, name] : std::vector<std::pair<T, std::string>>{
           {T::Clipper, "clip"}, {T::DBaseIII, "db3"}, {T::DBaseIV, "db4"}, {T::FoxPro2, "fox"}}) {
    SCOPED_TRACE(name);
    Binding b(type);
    const std::string table = b.Path(name + ".dbf");
    b.Exec("create table '" + table +
           "' (name char(10), n integer, d date, ok boolean, note blob(1) primary key (name))");
    b.Fill(name + ".dbf", {{"Beta", 2}, {"Alpha", 1}});
    // python3-dbf reads no dBase IV tables with memos.
    if (HavePythonDbf() && type != T::DBaseIV) {
      const Output o = RunTool(
          "/usr/bin/python3 -c 'import dbf, sys\nt = dbf.Table(sys.argv[1]); t.open()\n"
          "print(len(t), [str(r.name).strip() for r in t])' " +
          Quote(table));
      EXPECT_EQ(o.text, "2 ['Beta', 'Alpha']\n");
    }
    if (HaveTool("/usr/bin/dumprecs")) {
      const Output o = RunTool("/usr/bin/dumprecs " + Quote(table));
      EXPECT_NE(o.text.find("Alpha"), std::string::npos) << o.text;
      EXPECT_NE(o.text.find("Beta"), std::string::npos) << o.text;
    }
    if (HavePerlXBase()) {
      const Output o = RunTool("perl -MXBase -e '$t = XBase->new(q{" + table +
                               "}) or die XBase->errstr; for (0 .. $t->last_record) { my @r = $t->get_record($_); "
                               "print qq{$r[1],} }'");
      EXPECT_EQ(o.text, "Beta,Alpha,");
      const std::string index = b.Path(name + IndexExtension(static_cast<TDataTableType>(type)));
      if (type == T::Clipper) continue;  // NTX with a FOR condition: see above
      const Output k = PerlKeys(index, type == T::DBaseIV || type == T::FoxPro2 ? "PRIMARY" : "");
      EXPECT_EQ(k.text, "Alpha=2,Beta=1,") << k.text;
    }
  }
}

// Every file of the directory (subfolders listed as empty), byte for byte.
std::map<std::string, std::vector<uint8_t>> Snapshot(const TempDir& dir) {
  std::map<std::string, std::vector<uint8_t>> out;
  for (const auto& e : fs::directory_iterator(dir.path()))
    out[e.path().filename().string()] = e.is_regular_file() ? ReadAll(e.path().string()) : std::vector<uint8_t>{};
  return out;
}

// Fails the n-th step of a commit (from 1) for a scope.
class FailStep {
public:
  explicit FailStep(int n) {
    SetReplaceStepHook([this, n](const std::string& step, const std::string& name) {
      if (++seen_ == n) throw EInOutError("injected failure at " + step + " " + name);
    });
  }
  ~FailStep() { SetReplaceStepHook(nullptr); }
  int seen() const { return seen_; }

private:
  int seen_ = 0;
};

const char* const kWideTable =
    "(a1 char(9), a2 char(9), a3 char(9), a4 char(9), a5 char(9), a6 char(9), a7 char(9), a8 char(9), a9 char(9), "
    "b1 char(9), b2 char(9), b3 char(9), b4 char(9), b5 char(9), b6 char(9), b7 char(9), b8 char(9), b9 char(9), "
    "c1 char(9), c2 char(9), c3 char(9), c4 char(9), c5 char(9), c6 char(9), note blob(1) primary key (a1))";

TEST(TableDefinition, AReplacementThatFailsAnywhereLeavesTheOldTableAndItsEntry) {
  for (T type : {T::Clipper, T::FoxPro2}) {
    SCOPED_TRACE(static_cast<int>(type));
    Binding b(type);
    b.sift.AutoOverwrite = true;
    // The table was made in capitals; the statement names it in lower case.
    b.Exec("create table '" + b.Path("PHONES.DBF") + "' (name char(5), n integer, note blob(1) primary key (name))");
    b.Fill("PHONES.DBF", {{"c", 3}, {"a", 1}, {"b", 2}});
    b.list.GetItem(0)->Close();
    const auto before = Snapshot(b.dir);
    ASSERT_EQ(before.size(), 4u);  // table, memo, primary key, list
    const std::string lower = b.Path("phones.dbf");
    const auto unchanged = [&] {
      EXPECT_EQ(Snapshot(b.dir), before);
      ASSERT_EQ(b.list.GetCount(), 1);
      EXPECT_EQ(b.list.GetItem(0)->FileName(), b.Path("PHONES.DBF"));
      EXPECT_EQ(b.list.GetItem(0)->IndexFiles().Count(), 1);
      EXPECT_EQ(b.Select("select name from phones order by name", "NAME"), (std::vector<std::string>{"a", "b", "c"}));
      b.list.GetItem(0)->Close();
    };
    {
      // The disk fills while the new header is written.
      FileSizeLimit full(512);
      EXPECT_NE(MessageOf([&] { b.Exec("create table '" + lower + "' " + kWideTable); }), "(no error)");
    }
    unchanged();
    // Each step of the commit fails in turn: taking and keeping aside the
    // old files, flushing and moving each new one, syncing the folder; what
    // moved goes back.
    int steps = 0;
    for (int n = 1;; ++n) {
      FailStep fail(n);
      const std::string m = MessageOf([&] { b.Exec("create table '" + lower + "' " + kWideTable); });
      if (m == "(no error)") {
        steps = n - 1;
        break;
      }
      EXPECT_NE(m.find("injected"), std::string::npos) << m;
      unchanged();
    }
    EXPECT_EQ(steps, 13);  // three files, four steps each, and the folder
    // The successful replacement took the existing names: no second table.
    const auto after = Snapshot(b.dir);
    EXPECT_EQ(after.size(), 4u);
    EXPECT_EQ(after.count("PHONES.DBF"), 1u);
    EXPECT_EQ(Descriptors(b.Path("PHONES.DBF")).size(), 25u);
    EXPECT_EQ(b.list.GetCount(), 1);
  }
}

TEST(SaveToDBF, AReplacementThatFailsLeavesTheOldTable) {
  Binding b(T::FoxPro2);
  b.Exec("create table '" + b.Path("src.dbf") + "' (name char(12), n integer, note blob(1))");
  std::vector<std::pair<std::string, int>> rows;
  for (int i = 0; i < 40; ++i) rows.push_back({"name" + std::to_string(i), i});
  b.Fill("src.dbf", rows);
  b.sift.SetSQL("select name, n, note from src");
  b.sift.Open();
  // The old table lives elsewhere; the name in this folder is a link to it.
  TempDir other("real");
  b.sift.SaveToDBF(other / "OUT.DBF");
  fs::create_symlink(other / "OUT.DBF", b.Path("out.dbf"));
  fs::create_symlink(other / "OUT.FPT", b.Path("out.fpt"));
  b.sift.Close();
  b.sift.SetSQL("select name, n * 2 as twice, note from src where n < 30");
  b.sift.Open();
  b.sift.AutoOverwrite = false;
  b.sift.OnConfirmOverwrite = [](const std::string&) { return true; };
  const auto here = Snapshot(b.dir);
  const auto there = Snapshot(other);
  {
    FileSizeLimit full(1024);  // the rows fill the disk
    EXPECT_THROW(b.sift.SaveToDBF(b.Path("OUT.dbf")), Exception);
  }
  EXPECT_EQ(Snapshot(b.dir), here);
  EXPECT_EQ(Snapshot(other), there);
  for (int n = 1; n <= 6; ++n) {
    FailStep fail(n);
    EXPECT_THROW(b.sift.SaveToDBF(b.Path("OUT.dbf")), EInOutError);
    EXPECT_EQ(Snapshot(b.dir), here);
    EXPECT_EQ(Snapshot(other), there);
  }
  {
    // A table someone has open is not replaced under them.
    TCorvidDataSet reader;
    reader.SetDatabaseName(other.path());
    reader.SetTableName("OUT.DBF");
    reader.Open();
    EXPECT_NE(MessageOf([&] { b.sift.SaveToDBF(b.Path("OUT.dbf")); }).find("OUT.DBF"), std::string::npos);
    EXPECT_EQ(Snapshot(other), there);
  }
  // Done: the links stand and the files they point to are the new table.
  b.sift.SaveToDBF(b.Path("OUT.dbf"));
  EXPECT_TRUE(fs::is_symlink(b.Path("out.dbf")));
  EXPECT_TRUE(fs::is_symlink(b.Path("out.fpt")));
  EXPECT_EQ(Descriptors(other / "OUT.DBF")[1].name, "TWICE");
  EXPECT_EQ(ReadAll(other / "OUT.DBF")[4], 30);  // records
}

TEST(SaveToDBF, ADevicePipeOrDanglingLinkIsRefusedAndStaysWhatItIs) {
  Binding b(T::FoxPro2);
  b.Exec("create table '" + b.Path("src.dbf") + "' (name char(12), n integer, note blob(1))");
  b.Fill("src.dbf", {{"a", 1}, {"b", 2}});
  b.sift.SetSQL("select name, n, note from src");
  b.sift.Open();
  b.sift.AutoOverwrite = true;
  ASSERT_EQ(mkfifo(b.Path("pipe.dbf").c_str(), 0600), 0);
  const bool device = mknod(b.Path("null.dbf").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  fs::create_symlink(b.Path("nowhere.dbf"), b.Path("dangling.dbf"));
  fs::create_symlink("/dev/null", b.Path("tonull.dbf"));
  const auto before = Files(b.dir);
  // Nothing may wait on the pipe: a hang ends the test.
  alarm(30);
  for (const char* name : {"pipe.dbf", "null.dbf", "dangling.dbf", "tonull.dbf", "PIPE"}) {
    if (std::string(name) == "null.dbf" && !device) continue;
    SCOPED_TRACE(name);
    EXPECT_NE(MessageOf([&] { b.sift.SaveToDBF(b.Path(name)); }).find("not a regular file"), std::string::npos);
    EXPECT_EQ(Files(b.dir), before);
  }
  alarm(0);
  struct stat st {};
  ASSERT_EQ(lstat(b.Path("pipe.dbf").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  if (device) {
    ASSERT_EQ(lstat(b.Path("null.dbf").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
  EXPECT_TRUE(fs::is_symlink(b.Path("dangling.dbf")));
  EXPECT_FALSE(fs::exists(b.Path("nowhere.dbf")));
  b.sift.Close();
}

TEST(TableDefinition, AReplacementKilledBetweenStepsLeavesATableWithItsMemo) {
  Binding b(T::DBaseIII);
  b.sift.AutoOverwrite = true;
  const std::string table = b.Path("t.dbf");
  b.Exec("create table '" + table + "' (name char(5), n integer primary key (name))");
  b.Fill("t.dbf", {{"x", 1}, {"y", 2}, {"z", 3}});
  b.list.GetItem(0)->Close();
  const auto before = Snapshot(b.dir);
  for (int k = 1;; ++k) {
    SCOPED_TRACE(k);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int seen = 0;
      SetReplaceStepHook([&](const std::string&, const std::string&) {
        if (++seen == k) _exit(1);
      });
      try {
        b.Exec("create table '" + table + "' (other char(8), note blob(1) primary key (other))");
      } catch (...) {
        _exit(2);
      }
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2);
    // Once the table is opened (which rolls back a journal the kill left),
    // it is the old one with its old index byte for byte, or the new one
    // with its memo.
    { CVO_dBHandler open(table, "", false, false); }
    EXPECT_FALSE(fs::exists(table + "-journal"));
    // The open took away the staging folder the kill left.
    for (const std::string& f : Files(b.dir)) EXPECT_NE(f.rfind(".~kp", 0), 0u) << f;
    const std::vector<Descriptor> d = Descriptors(table);
    if (ReadAll(table) == before.at("t.dbf")) {
      const auto now = Snapshot(b.dir);
      for (const auto& [name, bytes] : before) EXPECT_EQ(now.at(name), bytes) << name;
    } else {
      ASSERT_EQ(d.size(), 2u);
      EXPECT_TRUE(fs::exists(b.Path("t.dbt")));
    }
    if (WEXITSTATUS(status) == 0) {
      EXPECT_EQ(d[0].name, "OTHER");
      break;
    }
    // The next round starts from the old files again.
    for (const auto& e : fs::directory_iterator(b.dir.path())) fs::remove_all(e.path());
    for (const auto& [name, bytes] : before) WriteAll(b.Path(name), bytes);
    ASSERT_LT(k, 20);
  }
}

}  // namespace
