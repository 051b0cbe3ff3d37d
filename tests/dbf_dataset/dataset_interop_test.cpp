// Records posted, deleted and recalled through the dataset, and index files
// kept by it, read back by independent tools: python3-dbf, pgdbf and Perl
// XBase.
#include <stdio.h>
#include <sys/wait.h>

#include <fstream>

#include "dataset_test_util.h"
#include "common/run_tool.h"

namespace {

// Posts, deletes and recalls through the dataset; record 2 ends deleted.
void Change(const TempDir& dir, bool withIndex) {
  MakePhones(dir / "t.dbf", 4);
  TCorvidDataSet ds;
  Place(ds, dir, "t.dbf");
  ds.Open();
  if (withIndex) {
    ds.IndexOn("tel.ntx", "", "TEL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
    ds.IndexOn("fm.ndx", "", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
  }
  ds.SetRecNo(1);
  ds.Edit();
  ds.FieldByName("FM")->SetAsString("Edited");
  ds.Post();
  ds.AppendRecord({Variant("2005"), Variant("Appended"), Variant("New st"), Variant(5), Variant("5b")});
  ds.SetRecNo(2);
  ds.Delete();
  ds.SetRecNo(3);
  ds.Delete();
  ds.SetUseDeleted(true);
  ds.SetRecNo(3);
  ds.Recall();
}

TEST(Interop, PythonDbfReadsWhatTheDatasetWrote) {
  if (RunTool("/usr/bin/python3 -c 'import dbf'").code != 0) GTEST_SKIP() << "python3-dbf is not installed";
  TempDir dir;
  Change(dir, false);
  std::ofstream(dir / "dump.py")
      << "import dbf, sys\n"
         "t = dbf.Table(sys.argv[1]); t.open()\n"
         "for r in t:\n"
         "    print(('*' if dbf.is_deleted(r) else ' ') + '|'.join(str(v).strip() for v in r))\n";
  Output o = RunTool("/usr/bin/python3 " + Quote(dir / "dump.py") + " " + Quote(dir / "t.dbf"));
  ASSERT_EQ(o.code, 0) << o.text;
  EXPECT_EQ(o.text,
            " 1001|Edited|Street1|1|1a\n"
            "*1002|Name2|Street2|2|2a\n"
            " 1003|Name3|Street0|3|3a\n"
            " 1004|Name4|Street1|4|4a\n"
            " 2005|Appended|New st|5|5b\n");
}

TEST(Interop, PgdbfReadsWhatTheDatasetWrote) {
  if (::access("/usr/bin/pgdbf", X_OK) != 0) GTEST_SKIP() << "pgdbf is not installed";
  TempDir dir;
  Change(dir, false);
  Output o = RunTool("/usr/bin/pgdbf " + Quote(dir / "t.dbf"));
  ASSERT_EQ(o.code, 0) << o.text;
  // pgdbf leaves deleted records out of its COPY data.
  EXPECT_NE(o.text.find("1001\tEdited\tStreet1\t1\t1a"), std::string::npos) << o.text;
  EXPECT_NE(o.text.find("2005\tAppended\tNew st\t5\t5b"), std::string::npos) << o.text;
  EXPECT_NE(o.text.find("1003\tName3"), std::string::npos) << o.text;
  EXPECT_EQ(o.text.find("1002\tName2"), std::string::npos) << o.text;
}

TEST(Interop, PerlXBaseReadsTheIndexesTheDatasetKept) {
  if (RunTool("perl -MXBase::Index -e 1").code != 0) GTEST_SKIP() << "Perl XBase (libdbd-xbase-perl) is not installed";
  TempDir dir;
  Change(dir, true);
  auto keys = [&](const std::string& file) {
    Output o = RunTool("perl -MXBase::Index -e '$i = XBase::Index->new(q{" + (dir / file) +
                       "}, type => q{char}) or die XBase::Index->errstr; $i->prepare_select; "
                       "while (my ($k, $r) = $i->fetch) { $k =~ s/ +$//; print qq{$k=$r,} }'");
    EXPECT_EQ(o.code, 0) << o.text;
    return o.text;
  };
  // Deleted records keep their keys; the edited and appended ones are current.
  EXPECT_EQ(keys("tel.ntx"), "1001=1,1002=2,1003=3,1004=4,2005=5,");
  EXPECT_EQ(keys("fm.ndx"), "Appended=5,Edited=1,Name2=2,Name3=3,Name4=4,");
}

}  // namespace
