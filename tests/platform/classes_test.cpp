// Components, collections, memory streams and statement parameters.
#include <gtest/gtest.h>

#include "platform/classes.h"
#include "platform/component.h"
#include "platform/db.h"
#include "platform/db_params.h"

namespace {

class TWatcher : public TComponent {
public:
  using TComponent::TComponent;
  std::vector<std::pair<TComponent*, TOperation>> seen;
  int loaded = 0;

protected:
  void Notification(TComponent* c, TOperation op) override {
    seen.emplace_back(c, op);
    TComponent::Notification(c, op);
  }
  void Loaded() override {
    TComponent::Loaded();
    ++loaded;
  }
};

TEST(Component, OwnerDestroysWhatItOwnsAndTellsTheOthers) {
  auto form = std::make_unique<TWatcher>();
  auto* a = form->CreateOwned<TWatcher>();
  a->SetName("A");
  TWatcher outside;  // listed by the form but not owned by it
  auto* b = form->CreateOwned<TWatcher>();
  b->SetName("B");
  EXPECT_EQ(form->ComponentCount(), 2);
  EXPECT_EQ(form->FindComponent("a"), a);
  try {
    b->SetName("a");
    FAIL();
  } catch (const EComponentError& e) {
    EXPECT_STREQ(e.what(), "A component named a already exists");
  }
  // Free notification works both ways and across owners.
  outside.FreeNotification(a);
  EXPECT_TRUE(form->DestroyOwned(a));
  ASSERT_FALSE(outside.seen.empty());
  EXPECT_EQ(outside.seen.back().first, a);
  EXPECT_EQ(outside.seen.back().second, opRemove);
  // The owner forwards removals to its other components.
  bool b_heard = false;
  for (auto& [c, op] : b->seen) b_heard |= (c == a && op == opRemove);
  EXPECT_TRUE(b_heard);
  EXPECT_EQ(form->ComponentCount(), 1);
  form.reset();  // destroys b; nothing dangles
}

TEST(Component, LoadingSetsStatesAndCallsLoadedOnce) {
  TWatcher a, b;
  BeginLoading({&a, &b});
  EXPECT_TRUE(a.InState(csLoading) && a.InState(csReading));
  EndLoading({&a, &b});
  EXPECT_FALSE(a.InState(csLoading | csReading));
  EXPECT_EQ(a.loaded + b.loaded, 2);
}

TEST(Component, DataSourceForgetsADestroyedDataSet) {
  TDataSource source;
  {
    class TTiny : public TDataSet {
    public:
      bool GetFieldData(TField*, void*) override { return false; }
      void SetFieldData(TField*, const void*) override {}

    protected:
      std::unique_ptr<uint8_t[]> AllocRecordBuffer() override { return nullptr; }
      void GetBookmarkData(TRecordBuffer, void*) override {}
      void SetBookmarkData(TRecordBuffer, const void*) override {}
      TBookmarkFlag GetBookmarkFlag(TRecordBuffer) override { return bfCurrent; }
      void SetBookmarkFlag(TRecordBuffer, TBookmarkFlag) override {}
      TGetResult GetRecord(TRecordBuffer, TGetMode, bool) override { return grEOF; }
      int GetRecordSize() override { return 0; }
      void InternalAddRecord(const void*, bool) override {}
      void InternalClose() override {}
      void InternalDelete() override {}
      void InternalFirst() override {}
      void InternalGotoBookmark(const void*) override {}
      void InternalInitFieldDefs() override {}
      void InternalInitRecord(TRecordBuffer) override {}
      void InternalLast() override {}
      void InternalOpen() override {}
      void InternalSetToRecord(TRecordBuffer) override {}
      bool IsCursorOpen() override { return false; }
    } tiny;
    source.SetDataSet(&tiny);
    EXPECT_EQ(tiny.DataSourceCount(), 1);
  }
  EXPECT_EQ(source.DataSet(), nullptr);
  EXPECT_EQ(source.State(), dsInactive);
}

class TNamedItem : public TCollectionItem {
public:
  std::string name;
  void Assign(const TPersistent* source) override {
    if (auto* o = dynamic_cast<const TNamedItem*>(source)) {
      name = o->name;
      return;
    }
    TCollectionItem::Assign(source);
  }
};

class TNamedItems : public TOwnedCollection {
public:
  using TOwnedCollection::TOwnedCollection;
  TNamedItem* Item(int i) const { return static_cast<TNamedItem*>(Items(i)); }
  TNamedItem* AddNamed(const std::string& n) {
    auto* it = static_cast<TNamedItem*>(Add());
    it->name = n;
    return it;
  }
  int updates = 0;

protected:
  std::unique_ptr<TCollectionItem> CreateItem() override { return std::make_unique<TNamedItem>(); }
  void Update(TCollectionItem*) override { ++updates; }
};

TEST(Collection, ItemsKeepIdsAcrossMovesAndCopiesCopyValues) {
  TComponent owner;
  TNamedItems items(&owner);
  EXPECT_EQ(items.GetOwner(), &owner);
  auto* a = items.AddNamed("a");
  auto* b = items.AddNamed("b");
  auto* c = items.AddNamed("c");
  EXPECT_EQ(c->ID(), 2);
  c->SetIndex(0);
  EXPECT_EQ(items.Item(0), c);
  EXPECT_EQ(a->Index(), 1);
  items.Delete(1);
  EXPECT_EQ(items.Count(), 2);
  EXPECT_EQ(items.FindItemID(1), b);
  EXPECT_EQ(items.FindItemID(0), nullptr);
  EXPECT_EQ(items.AddNamed("d")->ID(), 3);  // ids are never reused
  TNamedItems copy(nullptr);
  copy.AddNamed("old");
  int before = copy.updates;
  copy.Assign(&items);
  EXPECT_EQ(copy.updates, before + 1);  // one update for the whole batch
  ASSERT_EQ(copy.Count(), 3);
  EXPECT_EQ(copy.Item(0)->name, "c");
  EXPECT_EQ(copy.Item(2)->name, "d");
  EXPECT_THROW(items.Items(9), EListError);
}

TEST(MemoryStream, SeeksFromEachOriginAndFillsGaps) {
  TMemoryStream s;
  s.WriteBuffer("abcdef", 6);
  EXPECT_EQ(s.Seek(-2, soFromEnd), 4);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 2);
  EXPECT_STREQ(buf, "ef");
  EXPECT_EQ(s.Seek(-5, soFromCurrent), 1);
  EXPECT_EQ(s.Seek(2, soFromBeginning), 2);
  s.Write("XY", 2);
  EXPECT_EQ(s.DataString(), "abXYef");
  // Past the end: reads nothing, writes fill the gap with zero bytes.
  EXPECT_EQ(s.Seek(8, soFromBeginning), 8);
  EXPECT_EQ(s.Read(buf, 1), 0);
  s.Write("Z", 1);
  EXPECT_EQ(s.DataString(), std::string("abXYef\0\0Z", 9));
  s.SetPosition(7);
  EXPECT_THROW(s.ReadBuffer(buf, 3), EReadError);
  TMemoryStream copy;
  EXPECT_EQ(copy.CopyFrom(s, 0), 9);
  EXPECT_EQ(copy.DataString(), s.DataString());
  s.SetSize(3);
  EXPECT_EQ(s.Position(), 3);
  EXPECT_EQ(s.DataString(), "abX");
}

TEST(Params, ParseSqlReplacesNamesOutsideQuotes) {
  TParams params;
  std::vector<std::string> names;
  std::string out = params.ParseSQL(
      "select * from t where a = :a and b=:Bee and c = ':x' and t = '10::30' and d = :a and e = 1::2", true, &names);
  EXPECT_EQ(out, "select * from t where a = ? and b=? and c = ':x' and t = '10::30' and d = ? and e = 1:2");
  EXPECT_EQ(names, (std::vector<std::string>{"a", "Bee", "a"}));
  ASSERT_EQ(params.Count(), 2);
  EXPECT_EQ(params.Items(1)->Name(), "Bee");
  EXPECT_EQ(params.ParamByName("bee"), params.Items(1));
  // Quoted names; a name ends at a closing parenthesis.
  names.clear();
  EXPECT_EQ(params.ParseSQL("f(:\"my name\", :z)", false, &names), "f(?, ?)");
  EXPECT_EQ(names, (std::vector<std::string>{"my name", "z"}));
  EXPECT_EQ(params.Count(), 2);  // no creation asked
  try {
    params.ParamByName("zz");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Parameter 'zz' not found");
  }
}

TEST(Params, ValuesTypesAndBinding) {
  TParams params;
  TParam* p = params.CreateParam(ftUnknown, "P", ptInput);
  EXPECT_TRUE(p->IsNull());
  EXPECT_FALSE(p->Bound());
  p->SetValue(Variant(3.5));
  EXPECT_EQ(p->DataType(), ftFloat);
  EXPECT_TRUE(p->Bound());
  p->SetAsString("x'y");
  EXPECT_EQ(p->DataType(), ftString);
  EXPECT_EQ(p->AsString(), "x'y");
  p->SetAsInteger(12);
  EXPECT_EQ(p->AsString(), "12");
  EXPECT_DOUBLE_EQ(p->AsFloat(), 12);
  p->Clear();
  EXPECT_TRUE(p->IsNull());
  EXPECT_FALSE(p->Bound());
  TParams other;
  other.CreateParam(ftUnknown, "p", ptInput)->SetAsBoolean(true);
  other.CreateParam(ftUnknown, "q", ptInput)->SetAsInteger(1);
  params.AssignValues(other);
  EXPECT_EQ(params.Count(), 1);
  EXPECT_TRUE(params.ParamByName("P")->AsBoolean());
  EXPECT_EQ(params.ParamByName("P")->DataType(), ftBoolean);
  EXPECT_FALSE(params.IsEqual(other));
}

}  // namespace
