// The dataset framework's record-buffer ring, driven through a small
// in-memory dataset with one buffer and with five.
#include <gtest/gtest.h>

#include "common/mem_dataset.h"

namespace {

class RingTest : public ::testing::TestWithParam<int> {
protected:
  void SetUp() override {
    // Ids 1..12; 4 deleted, 7 hidden (visible only unfiltered).
    for (int i = 1; i <= 12; ++i) ds.AddRow(i, "n" + std::to_string(i), i % 3, i == 7);
    ds.rows[3].deleted = true;
    ds.SetFiltered(true);
    source.SetDataSet(&ds);
    link.SetBufferCount(GetParam());
    link.SetDataSource(&source);
    ds.Open();
  }
  int Id() { return ds.FieldByName("ID")->AsInteger(); }
  std::vector<int32_t> WalkForward() {
    std::vector<int32_t> seen;
    ds.First();
    while (!ds.Eof()) {
      seen.push_back(Id());
      ds.Next();
    }
    return seen;
  }

  TMemDataSet ds;
  TDataSource source;
  TTestLink link;
  const std::vector<int32_t> visible{1, 2, 3, 5, 6, 8, 9, 10, 11, 12};
};

TEST_P(RingTest, WalksVisitEachVisibleRowOnceInBothDirections) {
  EXPECT_EQ(ds.BufferCount(), GetParam());
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(WalkForward(), visible);
  // Eof comes only from the attempt past the last row.
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(Id(), 12);
  std::vector<int32_t> back;
  while (!ds.Bof()) {
    back.push_back(Id());
    ds.Prior();
  }
  EXPECT_EQ(back, std::vector<int32_t>(visible.rbegin(), visible.rend()));
  // Back and forth inside and across the ring edges lands on the right rows.
  ds.First();
  EXPECT_EQ(ds.MoveBy(7), 7);
  EXPECT_EQ(Id(), 10);
  EXPECT_EQ(ds.MoveBy(-5), -5);
  EXPECT_EQ(Id(), 3);
  EXPECT_EQ(ds.MoveBy(100), 7);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(Id(), 12);
  EXPECT_EQ(ds.MoveBy(-100), -9);
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(Id(), 1);
  // Unfiltered, the hidden row shows up in its place.
  ds.SetFiltered(false);
  ds.First();
  EXPECT_EQ(WalkForward(), (std::vector<int32_t>{1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST_P(RingTest, EmptyDatasetHasBothEndsAndRefusesDelete) {
  TMemDataSet empty;
  empty.Open();
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_TRUE(empty.Bof());
  EXPECT_TRUE(empty.Eof());
  empty.Next();
  empty.Last();
  EXPECT_TRUE(empty.Eof() && empty.Bof());
  try {
    empty.Delete();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on an empty dataset");
  }
  EXPECT_EQ(empty.GetBookmark(), 0);
}

TEST_P(RingTest, EditAndPostAfterScrollingWriteTheActiveRow) {
  ds.First();
  ds.MoveBy(8);   // id 11; the ring has rotated
  ds.MoveBy(-3);  // id 8; inside the ring with five buffers, the cursor elsewhere
  ASSERT_EQ(Id(), 8);
  ds.Edit();
  ds.FieldByName("NAME")->SetAsString("eight");
  ds.Post();
  EXPECT_EQ(ds.posted_ids, std::vector<int32_t>{8});
  EXPECT_EQ(ds.RowById(8)->name, "eight");
  EXPECT_EQ(ds.RowById(11)->name, "n11");
  EXPECT_EQ(Id(), 8);
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "eight");
  // The neighbours in the ring are still the right ones.
  ds.Next();
  EXPECT_EQ(Id(), 9);
  ds.Prior();
  ds.Prior();
  EXPECT_EQ(Id(), 6);
}

TEST_P(RingTest, AFailedFetchDoesNotLoseTrackOfTheCursor) {
  ds.First();
  ds.MoveBy(4);  // id 6
  ds.fail_fetch_id = GetParam() == 1 ? 8 : 11;
  // One buffer: the fetch of 8 fails; five buffers: the ring edge is at 8
  // already and the fetch of 11 fails.  Either way the component moved.
  EXPECT_THROW(ds.MoveBy(GetParam() == 1 ? 1 : 5), EDatabaseError);
  ds.fail_fetch_id = 0;
  int shown = Id();
  ds.Edit();
  ds.FieldByName("NAME")->SetAsString("fixed");
  ds.Post();
  EXPECT_EQ(ds.RowById(shown)->name, "fixed");
  EXPECT_EQ(ds.posted_ids, std::vector<int32_t>{shown});
}

TEST_P(RingTest, AFailedInsertLeavesTheRingAsItWas) {
  ds.First();
  ds.MoveBy(5);  // id 8
  ds.fail_init = true;
  EXPECT_THROW(ds.Insert(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(Id(), 8);
  ds.Next();
  EXPECT_EQ(Id(), 9);
  ds.MoveBy(-3);
  EXPECT_EQ(Id(), 5);
  EXPECT_THROW(ds.Append(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsBrowse);
  ds.fail_init = false;
  EXPECT_EQ(WalkForward(), visible);
}

TEST_P(RingTest, InsertGoesBeforeTheActiveRowAndAppendAtTheEnd) {
  ds.First();
  ds.MoveBy(4);  // id 6
  ds.Insert();
  EXPECT_EQ(ds.State(), dsInsert);
  ds.FieldByName("ID")->SetAsInteger(100);
  ds.Post();
  EXPECT_EQ(Id(), 100);
  ds.Next();
  EXPECT_EQ(Id(), 6);
  ds.Append();
  EXPECT_TRUE(ds.FieldByName("NAME")->IsNull());
  ds.FieldByName("ID")->SetAsInteger(200);
  ds.FieldByName("NAME")->SetAsString("last");
  ds.Post();
  EXPECT_EQ(Id(), 200);
  EXPECT_EQ(WalkForward(), (std::vector<int32_t>{1, 2, 3, 5, 100, 6, 8, 9, 10, 11, 12, 200}));
  // Editing an empty dataset inserts.
  TMemDataSet empty;
  empty.Open();
  empty.Edit();
  EXPECT_EQ(empty.State(), dsInsert);
  empty.FieldByName("ID")->SetAsInteger(1);
  empty.Post();
  EXPECT_EQ(empty.VisibleIds(), std::vector<int32_t>{1});
  EXPECT_FALSE(empty.IsEmpty());
}

TEST_P(RingTest, CancelRestoresRowAndPosition) {
  ds.First();
  ds.MoveBy(6);  // id 9
  ds.Edit();
  ds.FieldByName("NAME")->SetAsString("x");
  ds.Cancel();
  EXPECT_EQ(Id(), 9);
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "n9");
  EXPECT_EQ(ds.post_calls, 0);
  ds.Insert();
  ds.FieldByName("ID")->SetAsInteger(55);
  ds.Cancel();
  EXPECT_EQ(Id(), 9);
  ds.Append();
  ds.Cancel();
  EXPECT_EQ(Id(), 12);
  EXPECT_EQ(WalkForward(), visible);
}

TEST_P(RingTest, DeleteMovesToTheNextRowOrBackFromTheEnd) {
  ds.First();
  ds.MoveBy(8);
  ds.MoveBy(-2);  // id 9
  ds.Delete();
  EXPECT_EQ(Id(), 10);
  ds.Prior();
  EXPECT_EQ(Id(), 8);
  ds.Last();
  ds.Delete();
  EXPECT_EQ(Id(), 11);
  EXPECT_EQ(ds.RecordCount(), 8);
  ds.Next();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(WalkForward(), (std::vector<int32_t>{1, 2, 3, 5, 6, 8, 10, 11}));
  // Deleting everything leaves an empty dataset.
  ds.First();
  for (int guard = 0; guard < 20 && !ds.IsEmpty(); ++guard) ds.Delete();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(ds.Bof());
}

TEST_P(RingTest, BookmarksRoundTripAndCompare) {
  ds.First();
  ds.MoveBy(2);
  TBookmark b3 = ds.GetBookmark();
  ds.MoveBy(5);
  TBookmark b10 = ds.GetBookmark();
  ASSERT_GT(b3, 0);
  ASSERT_GT(b10, 0);
  EXPECT_NE(b3, b10);
  ds.First();
  ds.GotoBookmark(b10);
  EXPECT_EQ(Id(), 10);
  ds.GotoBookmark(b3);
  EXPECT_EQ(Id(), 3);
  // The ring around a bookmark is complete in both directions.
  ds.Next();
  EXPECT_EQ(Id(), 5);
  ds.Prior();
  ds.Prior();
  EXPECT_EQ(Id(), 2);
  EXPECT_EQ(ds.CompareBookmarks(b3, b10), -1);
  EXPECT_EQ(ds.CompareBookmarks(b10, b3), 1);
  EXPECT_EQ(ds.CompareBookmarks(b3, b3), 0);
  EXPECT_TRUE(ds.BookmarkValid(b3));
  ds.FreeBookmark(b3);
  EXPECT_FALSE(ds.BookmarkValid(b3));
  EXPECT_EQ(ds.BookmarkBytes(b3), nullptr);
  // A freed handle is reused; the live one keeps its bytes.
  TBookmark again = ds.GetBookmark();
  EXPECT_EQ(again, b3);
  ds.GotoBookmark(b10);
  EXPECT_EQ(Id(), 10);
  // Handles survive a close and reopen.
  ds.Close();
  ds.Open();
  ds.GotoBookmark(b10);
  EXPECT_EQ(Id(), 10);
  // An inserted record has no bookmark yet.
  ds.Insert();
  EXPECT_EQ(ds.GetBookmark(), 0);
  ds.Cancel();
}

TEST_P(RingTest, ResyncExactCentresAndReportsMissingRecords) {
  ds.First();
  ds.MoveBy(6);  // id 9
  // As a component does: the cursor goes to the record, then the ring follows.
  ds.UpdateCursorPos();
  ds.Resync(rmExact | rmCenter);
  EXPECT_EQ(Id(), 9);
  EXPECT_EQ(ds.ActiveRecord(), (ds.BufferCount() - 1) / 2);
  ds.Next();
  EXPECT_EQ(Id(), 10);
  // Near the end the ring is filled backwards: the last record sits in the
  // last buffer and the ring is full.
  ds.Last();
  TBookmark last = ds.GetBookmark();
  ds.First();
  ds.GotoBookmark(last);
  EXPECT_EQ(Id(), 12);
  EXPECT_EQ(ds.ActiveRecord(), ds.BufferCount() - 1);
  EXPECT_EQ(ds.BufferRecordCount(), ds.BufferCount());
  ds.MoveBy(-4);
  EXPECT_EQ(Id(), 8);
  // The record under the cursor vanished behind the framework's back.
  ds.RowById(8)->deleted = true;
  ds.UpdateCursorPos();
  try {
    ds.Resync(rmExact);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Record not found");
  }
}

TEST_P(RingTest, ResyncInexactFallsBackToNeighboursOrEmpties) {
  ds.First();
  ds.MoveBy(3);  // id 5
  int active = ds.ActiveRecord();
  ds.UpdateCursorPos();
  ds.Resync(0);
  EXPECT_EQ(Id(), 5);
  EXPECT_EQ(ds.ActiveRecord(), active);
  // Behind the framework's back: the row goes, Resync finds the next one.
  ds.RowById(5)->deleted = true;
  ds.UpdateCursorPos();
  ds.Resync(0);
  EXPECT_EQ(Id(), 6);
  EXPECT_EQ(WalkForward(), (std::vector<int32_t>{1, 2, 3, 6, 8, 9, 10, 11, 12}));
  ds.Last();
  for (auto& r : ds.rows) r.deleted = true;
  ds.Resync(0);
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Eof());
}

TEST_P(RingTest, CalculatedFieldsAreComputedForEachRow) {
  TMemDataSet calc;
  for (int i = 1; i <= 9; ++i) calc.AddRow(i, "r");
  auto* id = calc.CreateOwned<TIntegerField>();
  id->SetFieldName("ID");
  id->SetDataSet(&calc);
  auto* twice = calc.CreateOwned<TIntegerField>();
  twice->SetFieldName("TWICE");
  twice->SetFieldKind(fkCalculated);
  twice->SetDataSet(&calc);
  int calls = 0;
  calc.OnCalcFields = [&](TDataSet* d) {
    ++calls;
    EXPECT_EQ(d->State(), dsCalcFields);
    twice->SetAsInteger(id->AsInteger() * 2);
  };
  TDataSource src;
  TTestLink l;
  l.SetBufferCount(GetParam());
  src.SetDataSet(&calc);
  l.SetDataSource(&src);
  calc.Open();
  EXPECT_FALSE(calc.DefaultFields());
  EXPECT_EQ(calc.CalcFieldsSize(), 5);
  std::vector<int> got;
  for (calc.First(); !calc.Eof(); calc.Next()) got.push_back(twice->AsInteger());
  EXPECT_EQ(got, (std::vector<int>{2, 4, 6, 8, 10, 12, 14, 16, 18}));
  for (calc.Last(); !calc.Bof(); calc.Prior()) EXPECT_EQ(twice->AsInteger(), id->AsInteger() * 2);
  // A field change recomputes the active record's calculated fields.
  calc.First();
  calc.Edit();
  id->SetAsInteger(50);
  EXPECT_EQ(twice->AsInteger(), 100);
  EXPECT_TRUE(calc.Modified());
  calc.Cancel();
  EXPECT_EQ(twice->AsInteger(), 2);
  EXPECT_GT(calls, 9);
  EXPECT_EQ(calc.State(), dsBrowse);
}

TEST_P(RingTest, CheckBrowseModePostsOnlyModifiedRows) {
  ds.First();
  ds.MoveBy(2);  // id 3
  ds.Edit();
  ds.Next();  // nothing changed: cancelled, not posted
  EXPECT_EQ(ds.post_calls, 0);
  EXPECT_EQ(Id(), 5);
  ds.Edit();
  ds.FieldByName("NAME")->SetAsString("five");
  ds.MoveBy(3);  // posts id 5, then moves
  EXPECT_EQ(ds.posted_ids, std::vector<int32_t>{5});
  EXPECT_EQ(Id(), 9);
  EXPECT_EQ(ds.RowById(5)->name, "five");
  EXPECT_EQ(ds.RowById(3)->name, "n3");
  // Any navigation checks browse mode; so does Last.
  ds.Edit();
  ds.FieldByName("KEY")->SetAsInteger(77);
  ds.Last();
  EXPECT_EQ(ds.posted_ids, (std::vector<int32_t>{5, 9}));
  EXPECT_EQ(ds.RowById(9)->key, 77);
  EXPECT_GT(link.check_browse, 0);
}

TEST_P(RingTest, DisableControlsPausesLinks) {
  ds.First();
  int changed = link.dataset_changed, scrolled = link.scrolled;
  ds.DisableControls();
  ds.DisableControls();
  ds.Next();
  ds.Next();
  ds.Last();
  ds.EnableControls();
  EXPECT_EQ(link.dataset_changed, changed);
  EXPECT_EQ(link.scrolled, scrolled);
  ds.EnableControls();
  EXPECT_EQ(link.dataset_changed, changed + 1);
  EXPECT_EQ(link.scrolled, scrolled);
  // Controls disabled across a close: re-enabling reports the layout change.
  ds.DisableControls();
  ds.Close();
  ds.Open();
  int layout = link.layout_changed;
  ds.EnableControls();
  EXPECT_EQ(link.layout_changed, layout + 1);
}

TEST_P(RingTest, LinksFollowScrollsStatesAndEdits) {
  ds.First();
  int scrolled = link.scrolled;
  ds.Next();
  EXPECT_EQ(link.scrolled, scrolled + 1);
  // A one-record link's window moves with the active record; a five-record
  // link's window stays and its active index moves.
  EXPECT_EQ(link.scroll_distances.back(), GetParam() == 1 ? 1 : 0);
  EXPECT_EQ(link.ActiveRecord(), GetParam() == 1 ? 0 : 1);
  int editing = link.editing_changed;
  ds.Edit();
  EXPECT_TRUE(link.Editing());
  ds.FieldByName("NAME")->SetAsString("z");
  EXPECT_GT(link.record_changed, 0);
  ds.Post();
  EXPECT_FALSE(link.Editing());
  EXPECT_EQ(link.editing_changed, editing + 2);
  // A disabled data source cuts its links off.
  source.SetEnabled(false);
  EXPECT_FALSE(link.Active());
  int scrolls = link.scrolled;
  ds.Next();
  EXPECT_EQ(link.scrolled, scrolls);
  source.SetEnabled(true);
  EXPECT_TRUE(link.Active());
  int active = link.active_changed;
  ds.Close();
  EXPECT_FALSE(link.Active());
  EXPECT_EQ(link.active_changed, active + 1);
}

INSTANTIATE_TEST_SUITE_P(BufferCounts, RingTest, ::testing::Values(1, 5),
                         [](const auto& info) { return "Buffers" + std::to_string(info.param); });

TEST(Ring, AWideLinkSeesItsWindowAndShrinkingKeepsTheActiveRow) {
  TMemDataSet ds;
  for (int i = 1; i <= 20; ++i) ds.AddRow(i, "x");
  TDataSource src;
  src.SetDataSet(&ds);
  TTestLink grid;
  grid.SetBufferCount(5);
  grid.SetDataSource(&src);
  ds.Open();
  EXPECT_EQ(grid.RecordCount(), 5);
  ds.MoveBy(7);
  EXPECT_EQ(ds.FieldByName("ID")->AsInteger(), 8);
  EXPECT_EQ(grid.ActiveRecord(), 4);
  ds.MoveBy(-2);
  EXPECT_EQ(grid.ActiveRecord(), 2);
  grid.SetBufferCount(1);
  EXPECT_EQ(ds.BufferCount(), 1);
  EXPECT_EQ(ds.FieldByName("ID")->AsInteger(), 6);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("ID")->AsInteger(), 7);
  grid.SetBufferCount(4);
  EXPECT_EQ(ds.FieldByName("ID")->AsInteger(), 7);
  ds.Prior();
  ds.Prior();
  ds.Prior();
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("ID")->AsInteger(), 3);
}

TEST(MasterDetail, DetailFollowsTheMaster) {
  TMemDataSet master, detail;
  for (int i = 1; i <= 3; ++i) master.AddRow(i, "m");
  for (int i = 1; i <= 9; ++i) detail.AddRow(100 + i, "d", i % 3 + 1);
  TDataSource master_source;
  master_source.SetDataSet(&master);
  master.Open();
  detail.SetMasterSource(&master_source);
  detail.SetMasterFields("ID");
  detail.Open();
  auto detail_ids = [&] {
    std::vector<int> out;
    for (detail.First(); !detail.Eof(); detail.Next()) out.push_back(detail.FieldByName("ID")->AsInteger());
    return out;
  };
  EXPECT_EQ(detail_ids(), (std::vector<int>{103, 106, 109}));
  master.Next();
  EXPECT_EQ(detail.FieldByName("ID")->AsInteger(), 101);
  EXPECT_EQ(detail_ids(), (std::vector<int>{101, 104, 107}));
  master.Last();
  EXPECT_EQ(detail_ids(), (std::vector<int>{102, 105, 108}));
  // A pending detail edit is posted before the detail moves with the master.
  detail.First();
  detail.Edit();
  detail.FieldByName("NAME")->SetAsString("edited");
  master.First();
  EXPECT_EQ(detail.posted_ids, std::vector<int32_t>{102});
  // While the master's controls are disabled the detail stays; enabling
  // brings it in step.
  master.DisableControls();
  master.Next();
  EXPECT_EQ(detail.FieldByName("ID")->AsInteger(), 103);
  master.EnableControls();
  EXPECT_EQ(detail.FieldByName("ID")->AsInteger(), 101);
  // Closing the master lifts the range.
  master.Close();
  EXPECT_EQ(detail_ids().size(), 9u);
  // A master source that leads back to the detail is refused.
  TDataSource detail_source;
  detail_source.SetDataSet(&detail);
  try {
    master.SetMasterSource(&detail_source);
    detail_source.SetDataSet(&master);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
  }
}

TEST(OpenClose, FailedOpenLeavesTheDatasetClosedAndClean) {
  TMemDataSet ds;
  ds.AddRow(1, "a");
  ds.fail_open = true;
  int after_open = 0;
  ds.AfterOpen = [&](TDataSet*) { ++after_open; };
  EXPECT_THROW(ds.Open(), EDatabaseError);
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.internal_close_calls, 1);
  EXPECT_EQ(ds.FieldCount(), 0);  // the default fields went with it
  EXPECT_EQ(after_open, 0);
  ds.fail_open = false;
  ds.Open();
  EXPECT_TRUE(ds.DefaultFields());
  EXPECT_EQ(ds.FieldCount(), 3);
  EXPECT_EQ(ds.FieldByName("NAME")->FieldNo(), 3);
  EXPECT_EQ(ds.FieldByName("KEY")->FieldNo(), 4);
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "a");
  EXPECT_EQ(after_open, 1);
  ds.Close();
  EXPECT_EQ(ds.FieldCount(), 0);
  try {
    ds.RecordCount();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on a closed dataset");
  }
}

TEST(OpenClose, LoadingOpensAStreamedActiveDataset) {
  TComponent form;
  auto* ds = form.CreateOwned<TMemDataSet>();
  ds->AddRow(1, "a");
  BeginLoading({&form, ds});
  ds->SetActive(true);  // as the stored form says
  EXPECT_FALSE(ds->Active());
  EndLoading({&form, ds});
  EXPECT_TRUE(ds->Active());
  EXPECT_FALSE(ds->InState(csLoading));
  // At run time a failing open propagates out of loading.
  auto* bad = form.CreateOwned<TMemDataSet>();
  bad->fail_open = true;
  bad->BeginLoad();
  bad->SetActive(true);
  EXPECT_THROW(bad->EndLoad(), EDatabaseError);
  EXPECT_FALSE(bad->Active());
}

TEST(OpenClose, EventsFireInOrderAndReadOnlyRefusesChanges) {
  TMemDataSet ds;
  for (int i = 1; i <= 3; ++i) ds.AddRow(i, "r");
  std::string log;
  ds.BeforePost = [&](TDataSet*) { log += "bp "; };
  ds.AfterPost = [&](TDataSet*) { log += "ap "; };
  ds.BeforeScroll = [&](TDataSet*) { log += "bs "; };
  ds.AfterScroll = [&](TDataSet*) { log += "as "; };
  ds.OnNewRecord = [&](TDataSet* d) {
    log += "new ";
    d->FieldByName("KEY")->SetAsInteger(9);
  };
  ds.AfterInsert = [&](TDataSet*) { log += "ai "; };
  ds.Open();
  log.clear();
  ds.Append();
  EXPECT_EQ(log, "bs new ai as ");
  EXPECT_FALSE(ds.Modified());  // OnNewRecord values do not count as changes
  EXPECT_EQ(ds.FieldByName("KEY")->AsInteger(), 9);
  log.clear();
  ds.Post();
  EXPECT_EQ(log, "bp ap ");
  ds.read_only = true;
  try {
    ds.Edit();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot modify a read-only dataset");
  }
  EXPECT_THROW(ds.Delete(), EDatabaseError);
  EXPECT_THROW(ds.Post(), EDatabaseError);  // not editing
  // A post error handler may abort silently.
  ds.read_only = false;
  ds.FieldByName("NAME")->SetRequired(true);
  ds.Append();
  ds.OnPostError = [](TDataSet*, EDatabaseError&, TDataAction& a) { a = daAbort; };
  EXPECT_THROW(ds.Post(), EAbort);
  EXPECT_EQ(ds.State(), dsInsert);
  ds.Cancel();
}

TEST(CalcFields, CalculateFieldsSetsTheBufferEvenWithoutCalculatedFields) {
  // A lookup computes a spare buffer in the calculated-fields state and then
  // reads the result fields there: the buffer must be set although the
  // dataset has no calculated field to compute.
  TMemDataSet ds;
  ds.AddRow(1, "one");
  ds.AddRow(2, "two");
  ds.Open();
  ASSERT_EQ(ds.CalcFieldsSize(), 0);
  ds.Next();
  TRecordBuffer spare = ds.TempBuffer();
  std::memcpy(spare, ds.ActiveBuffer(), 19);
  ds.First();
  int events = 0;
  ds.OnCalcFields = [&](TDataSet*) { ++events; };
  {
    TTempStateGuard calc(ds, dsCalcFields);
    ds.CalculateFields(spare);
    EXPECT_EQ(ds.CalcBuffer(), spare);
    EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "two");
  }
  EXPECT_EQ(events, 1);
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "one");
}

}  // namespace
