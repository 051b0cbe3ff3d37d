// The window over a real phones.dbf, driven as a user would.
#include "main_window.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QWidget>

#include <filesystem>

#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_dataset/dataset_test_util.h"
#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/index_mark.h"
#include "gui_test_env.h"
#include "sql_engine/sift_messages.h"

using guitest::Shown;
using guitest::W;

namespace {

// phones.dbf in a fresh directory that is the current one while it lives.
struct DirectoryHere {
  TempDir dir{"dirlook-window"};
  std::filesystem::path previous = std::filesystem::current_path();
  DirectoryHere() {
    MakeTable(dir / "phones.dbf", "3",
              {{"TEL", "C", 7, 0}, {"FM", "C", 20, 0}, {"UL", "C", 16, 0}, {"ND", "C", 4, 0}, {"KW", "C", 4, 0}},
              {{"542783", W("ИВАНОВ И.И."), W("ЛЕНИНА"), "5", "12"},
               {"110000", W("иванова а.а."), W("МИРА"), "5", "1"},
               {"330000", W("ИВАНЕНКО П."), "", "", ""},
               {"220000", "ABBOT", W("ЛЕНИНА"), "7", "3"},
               {"440000", "abbey", W("МИРА"), "5", "12"},
               {"660001", W("О'БРАЙЕН"), W("МИРА"), "9", "2'"}});
    std::filesystem::current_path(dir.path());
    Shown().clear();
  }
  ~DirectoryHere() { std::filesystem::current_path(previous); }
};

std::vector<std::string> Column(TListView* list, int column) {
  std::vector<std::string> out;
  for (int i = 0; i < list->Count(); ++i) out.push_back(list->Item(i)->ColumnText(column));
  return out;
}

void PressEnter(void* widget) {
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(static_cast<QWidget*>(widget), &press);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(static_cast<QWidget*>(widget), &release);
}

TEST(MainWindow, TypingEnterAndTheRows) {
  DirectoryHere here;
  TMain main(nullptr);
  EXPECT_TRUE(main.HDS->Active());

  // Nothing filled: only the message.
  main.bSelect->Click();
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].Text, NoSearchFieldsMessage());
  Shown().clear();

  guitest::Type(main.tFM->Handle(), "иван");
  EXPECT_EQ(main.tFM->Text(), W("ИВАН"));
  PressEnter(main.tFM->Handle());
  EXPECT_TRUE(Shown().empty());
  // Case-sensitive LIKE: the lower-case entry stays out; rows by phone.
  EXPECT_EQ(Column(main.List, 0), (std::vector<std::string>{"330000", "542783"}));
  EXPECT_EQ(Column(main.List, 1), (std::vector<std::string>{W("ИВАНЕНКО П."), W("ИВАНОВ И.И.")}));
  EXPECT_EQ(Column(main.List, 2), (std::vector<std::string>{W(" , КВ. "), W("ЛЕНИНА 5, КВ. 12")}));

  // The same fields again change nothing.
  main.List->SetSelected(main.List->Item(1));
  main.bSelect->Click();
  EXPECT_EQ(main.List->Count(), 2);
  EXPECT_EQ(main.List->Selected(), main.List->Item(1));
  EXPECT_TRUE(Shown().empty());

  // Nothing found: the message after an empty list.
  main.tFM->SetText("");
  main.tTEL->SetText("9%");
  main.bSelect->Click();
  EXPECT_EQ(main.List->Count(), 0);
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].Text, NothingFoundMessage());
}

TEST(MainWindow, QuotesAndWildcards) {
  DirectoryHere here;
  TMain main(nullptr);
  main.tTEL->SetText("' or tel like '%");
  main.bSelect->Click();
  EXPECT_EQ(main.List->Count(), 0);  // a phone literally so: none
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].Text, NothingFoundMessage());
  Shown().clear();
  main.tTEL->SetText("'\"");
  main.bSelect->Click();  // refused with a message, no search
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].Flags & MB_ICONERROR, MB_ICONERROR);
  Shown().clear();
  main.tTEL->SetText("__0000");
  main.bSelect->Click();
  EXPECT_EQ(main.List->Count(), 4);
  // An apostrophe is searched for as typed, on the query's road (LIKE) and
  // on the DBF filter's (house and flat only).
  main.tTEL->SetText("");
  main.tFM->SetText(W("О'"));
  main.bSelect->Click();
  EXPECT_EQ(Column(main.List, 0), (std::vector<std::string>{"660001"}));
  bool filtered = false;
  main.DBQuery->OnCancelQuery = [&](TCustomSift*, bool&) { filtered = main.HDS->Filtered(); };
  main.tFM->SetText("");
  main.tKW->SetText("2'");
  main.bSelect->Click();
  EXPECT_EQ(Column(main.List, 0), (std::vector<std::string>{"660001"}));
  EXPECT_TRUE(filtered);
  EXPECT_TRUE(Shown().empty());
}

TEST(MainWindow, HeaderClicksSortByCompareText) {
  DirectoryHere here;
  TMain main(nullptr);
  main.tND->SetText("5");
  main.bSelect->Click();
  ASSERT_EQ(main.List->Count(), 3);
  EXPECT_EQ(Column(main.List, 0), (std::vector<std::string>{"110000", "440000", "542783"}));
  main.ListColumnClick(main.List, main.List->Column(1));
  // Latin letters fold, Cyrillic ones compare by their code.
  EXPECT_EQ(Column(main.List, 1), (std::vector<std::string>{"abbey", W("ИВАНОВ И.И."), W("иванова а.а.")}));
  main.ListColumnClick(main.List, main.List->Column(2));
  main.ListColumnClick(main.List, main.List->Column(2));
  EXPECT_EQ(Column(main.List, 2),
            (std::vector<std::string>{W("ЛЕНИНА 5, КВ. 12"), W("МИРА 5, КВ. 1"), W("МИРА 5, КВ. 12")}));
}

TEST(MainWindow, AFailedSearchIsShownAndCanBeRetried) {
  DirectoryHere here;
  TMain main(nullptr);
  main.tTEL->SetText("5%");
  main.HDS->Close();  // the table gone away meanwhile
  std::filesystem::rename("phones.dbf", "away.dbf");
  main.bSelect->Click();
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].Flags & MB_ICONERROR, MB_ICONERROR);
  EXPECT_EQ(Shown()[0].Text.back(), '.');
  EXPECT_EQ(main.List->Count(), 0);
  Shown().clear();
  std::filesystem::rename("away.dbf", "phones.dbf");
  main.bSelect->Click();  // same fields: runs again
  EXPECT_TRUE(Shown().empty());
  EXPECT_EQ(Column(main.List, 0), (std::vector<std::string>{"542783"}));
}

TEST(MainWindow, TheBusyCursorShowsWhileASearchRunsAndGoesAfter) {
  DirectoryHere here;
  TMain main(nullptr);
  ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);
  std::vector<int> shapes;
  bool fail = false;
  main.DBQuery->OnCancelQuery = [&](TCustomSift*, bool&) {
    const QCursor* c = QGuiApplication::overrideCursor();
    shapes.push_back(c ? c->shape() : -1);
    if (fail) throw ESiftError("stop here");
  };
  main.tTEL->SetText("%0000");
  main.bSelect->Click();
  EXPECT_EQ(main.List->Count(), 4);
  ASSERT_FALSE(shapes.empty());
  EXPECT_EQ(shapes, std::vector<int>(shapes.size(), Qt::BusyCursor));  // every row of the scan
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(Screen->Cursor(), crDefault);

  // A search failing mid-scan: the error box, and the arrow is back.
  shapes.clear();
  fail = true;
  main.tTEL->SetText("5%");
  main.bSelect->Click();
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].Flags & MB_ICONERROR, MB_ICONERROR);
  EXPECT_EQ(shapes, std::vector<int>{Qt::BusyCursor});
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(Screen->Cursor(), crDefault);
}

TEST(MainWindow, AnIndexLeftHalfWrittenIsNamedInAnErrorBoxOrRebuilt) {
  DirectoryHere here;
  {
    CVO_dBHandler h("phones.dbf", "", true, false);
    ASSERT_EQ(h.cvIndexTo("phones.ntx", "", "TEL", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending), 0);
  }
  // What a writer that stopped half-way leaves: a mark nobody holds, one
  // session begun and none ended.
  std::vector<uint8_t> mark = {'C', 'V', 'I', 'X', 'M', 'A', 'R', 'K'};
  mark.resize(24, 0);
  mark[8] = 1;
  WriteAll(cvIndexMark::MarkName("phones.ntx"), mark);
  // A read-only open of the index: an error box naming the file, no crash.
  {
    TCorvidDataSet ro;
    ro.SetTableName("phones.dbf");
    ro.SetReadOnly(true);
    InvokeEventHandler([&] {
      ro.IndexFiles().Add("phones.ntx");
      ro.Open();
    });
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0].Flags & MB_ICONERROR, MB_ICONERROR);
    EXPECT_NE(Shown()[0].Text.find("Error getting "), std::string::npos) << Shown()[0].Text;
    EXPECT_NE(Shown()[0].Text.find("phones.ntx was left half-written by a process that stopped"), std::string::npos)
        << Shown()[0].Text;
    EXPECT_NE(Shown()[0].Text.find("rebuilt by the next open that may write it"), std::string::npos);
    EXPECT_FALSE(ro.Active());
    Shown().clear();
  }
  // The window works over the table (it opens no index), and an open that
  // may write rebuilds the index and takes the mark away.
  {
    TMain main(nullptr);
    main.tTEL->SetText("5%");
    main.bSelect->Click();
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(Column(main.List, 0), (std::vector<std::string>{"542783"}));
  }
  TCorvidDataSet rw;
  rw.SetTableName("phones.dbf");
  rw.IndexFiles().Add("phones.ntx");
  rw.Open();
  EXPECT_FALSE(std::filesystem::exists(cvIndexMark::MarkName("phones.ntx")));
  rw.SetIndexName("PHONES");
  std::vector<std::string> tels;
  for (rw.First(); !rw.Eof(); rw.Next()) tels.push_back(Trim(rw.FieldByName("TEL")->AsString()));
  EXPECT_EQ(tels, (std::vector<std::string>{"110000", "220000", "330000", "440000", "542783", "660001"}));
}

TEST(MainWindow, StartUpFailuresEndBeforeAnyWindow) {
  for (int kind = 0; kind < 3; ++kind) {
    DirectoryHere here;
    TCorvidDataSet holder;
    if (kind == 0) std::filesystem::remove("phones.dbf");
    if (kind == 1) {
      holder.SetTableName("phones.dbf");
      holder.SetExclusive(true);
      holder.Open();
    }
    if (kind == 2) WriteAll("phones.dbf", std::vector<uint8_t>(40, 0x55));
    EXPECT_EQ(DirlookMain(*Application), 0) << kind;
    ASSERT_EQ(Shown().size(), 1u) << kind;
    EXPECT_EQ(Shown()[0].Flags & MB_ICONERROR, MB_ICONERROR);
    EXPECT_EQ(Application->MainForm(), nullptr);
  }
}

}  // namespace

namespace {

// The window after a search as a picture: under CI's virtual display the
// file named by DIRLOOK_SCREENSHOT is kept as an artifact.
TEST(MainWindow, Screenshot) {
  DirectoryHere here;
  TMain main(nullptr);
  main.Show();
  main.tFM->SetText(W("ИВАН"));
  main.bSelect->Click();
  QApplication::processEvents();
  const char* wanted = std::getenv("DIRLOOK_SCREENSHOT");
  const std::string file = wanted && *wanted ? std::string(wanted) : here.dir / "window.png";
  ASSERT_TRUE(main.SaveImage(file));
  EXPECT_GT(std::filesystem::file_size(file), 1000u);
  main.Close();
}

}  // namespace
