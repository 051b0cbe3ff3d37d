// The source dataset collection, driven through a small stand-in query.
#include <gtest/gtest.h>

#include "sql_engine/sift_messages.h"
#include "sql_engine/query/sift_datasets.h"
#include "store_test_util.h"

namespace {

// What the query component does for its collection: it is the owner, and it
// drops the items of a dataset that is destroyed.
class FakeSift : public TComponent, public ISiftDataSetsOwner {
public:
  FakeSift() : DataSets(*this) {}
  ~FakeSift() override { Destroying(); }
  TComponent* SiftComponent() override { return this; }
  TSiftDataSets DataSets;

protected:
  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == opRemove) DataSets.RemoveDataSet(component);
  }
};

std::unique_ptr<TMemDataSet> Named(const std::string& name) {
  auto ds = std::make_unique<TMemDataSet>();
  ds->SetName(name);
  return ds;
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(SiftDataSets, AliasesAreUniqueIgnoringCase) {
  FakeSift q;
  auto phones = Named("PhonesTable");
  TSiftDataSetItem* item = q.DataSets.AddDataSet(phones.get(), "Phones");
  EXPECT_EQ(MessageOf([&] { item->SetAlias("Phones"); }), "Alias already exists");  // its own alias too
  EXPECT_THROW(item->SetAlias("PHONES"), ESiftError);
  item->SetAlias("P2");
  EXPECT_EQ(q.DataSets.IndexOfAlias("p2"), 0);
  EXPECT_EQ(q.DataSets.IndexOfAlias("Phones"), -1);
  EXPECT_EQ(q.DataSets.DataSetByName("[P2]"), phones.get());
  EXPECT_EQ(q.DataSets.DataSetByName("x"), nullptr);
  EXPECT_EQ(item->GetCaption(), "PhonesTable (P2)");
  EXPECT_EQ(item->GetDisplayName(), "PhonesTable (P2)");
  EXPECT_EQ(q.DataSets.Add()->GetCaption(), "(not defined)");
}

TEST(SiftDataSets, AddDataSetChecksBeforeAdding) {
  FakeSift q;
  auto a = Named("A");
  auto b = Named("B");
  EXPECT_EQ(q.DataSets.AddDataSet(nullptr, "X"), nullptr);
  EXPECT_EQ(q.DataSets.AddDataSet(a.get(), "")->Alias(), "A");  // the component name
  EXPECT_EQ(MessageOf([&] { q.DataSets.AddDataSet(b.get(), "a"); }), "Alias already exists");
  EXPECT_EQ(q.DataSets.Count(), 1);  // no empty item left behind
  q.DataSets.AddDataSet(b.get(), "Second");
  EXPECT_EQ(q.DataSets.Count(), 2);
}

TEST(SiftDataSets, SetDataSetRefusesTheQueryAndNonDatasets) {
  FakeSift q;
  TComponent plain;
  TSiftDataSetItem* item = q.DataSets.Add();
  EXPECT_EQ(MessageOf([&] { item->SetDataSet(&q); }), "Circular reference not allowed");
  EXPECT_EQ(MessageOf([&] { item->SetDataSet(nullptr); }), "DataSet is not of the expected class: TDataSet");
  EXPECT_THROW(item->SetDataSet(&plain), Exception);
  EXPECT_EQ(item->DataSet(), nullptr);
  // An empty alias takes the component name only when no other item has it.
  auto a = Named("A");
  auto other = Named("a");
  q.DataSets.AddDataSet(a.get(), "");
  EXPECT_THROW(item->SetDataSet(other.get()), ESiftError);
  EXPECT_EQ(item->DataSet(), nullptr);
  EXPECT_EQ(item->Alias(), "");
  item->SetAlias("Other");
  item->SetDataSet(other.get());
  EXPECT_EQ(item->Alias(), "Other");
}

TEST(SiftDataSets, DestroyedSourceLeavesTheCollection) {
  FakeSift q;
  auto a = Named("A");
  auto b = Named("B");
  q.DataSets.AddDataSet(a.get(), "A1");
  q.DataSets.AddDataSet(b.get(), "B1");
  q.DataSets.AddDataSet(a.get(), "A2");
  a.reset();
  ASSERT_EQ(q.DataSets.Count(), 1);
  EXPECT_EQ(q.DataSets.GetItem(0)->Alias(), "B1");

  // Items copied from another query are watched as well.
  FakeSift copy;
  copy.DataSets.Assign(&q.DataSets);
  ASSERT_EQ(copy.DataSets.Count(), 1);
  EXPECT_EQ(copy.DataSets.GetItem(0)->DataSet(), b.get());
  b.reset();
  EXPECT_EQ(copy.DataSets.Count(), 0);
  EXPECT_EQ(q.DataSets.Count(), 0);
}

TEST(SiftDataSets, AssignKeepsAliasesUnique) {
  FakeSift q;
  auto a = Named("A");
  auto b = Named("B");
  TSiftDataSetItem* first = q.DataSets.AddDataSet(a.get(), "A");
  TSiftDataSetItem* second = q.DataSets.AddDataSet(b.get(), "B");
  EXPECT_THROW(second->Assign(first), ESiftError);
  EXPECT_EQ(second->DataSet(), b.get());
  q.DataSets.SetItem(0, first);  // itself: nothing changes
  EXPECT_EQ(first->Alias(), "A");
}

TEST(SiftDataSets, TemporaryDatasetsGoWithTheirItems) {
  FakeSift q;
  auto kept = Named("Kept");
  q.DataSets.AddDataSet(kept.get(), "Kept");
  bool freed = false;
  struct Watched : TMemDataSet {
    explicit Watched(bool& f) : flag(f) {}
    ~Watched() override { flag = true; }
    bool& flag;
  };
  auto temp = std::make_unique<Watched>(freed);
  TDataSet* raw = temp.get();
  q.DataSets.AddTempDataSet(std::move(temp), "T");
  q.DataSets.AddDataSet(raw, "AlsoT");
  EXPECT_TRUE(q.DataSets.GetItem(1)->Temporary());
  EXPECT_FALSE(q.DataSets.GetItem(2)->Temporary());
  q.DataSets.ClearTempDatasets();
  EXPECT_TRUE(freed);
  ASSERT_EQ(q.DataSets.Count(), 1);
  EXPECT_EQ(q.DataSets.GetItem(0)->Alias(), "Kept");
  // A temporary dataset still listed when the query goes is freed with it.
  bool freed_late = false;
  {
    FakeSift q2;
    q2.DataSets.AddTempDataSet(std::make_unique<Watched>(freed_late), "T");
  }
  EXPECT_TRUE(freed_late);
}

}  // namespace
