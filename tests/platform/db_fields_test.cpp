// Fields over a one-record dataset that keeps each field's native bytes:
// the native buffer forms, conversions, validation and blobs.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <random>

#include "platform/date_time.h"
#include "platform/db.h"
#include "platform/numbers.h"
#include "platform/text.h"

namespace {

// Code tests ranges of field types: the order is the platform's.
static_assert(ftString == 1 && ftBCD == 8 && ftBytes == 12 && ftAutoInc == 14 && ftBlob == 15 && ftTypedBinary == 21 &&
              ftLargeint == 25 && ftADT == 26 && ftDataSet == 29 && ftGuid == 35);

class TValueDataSet;

// A blob stream that writes its bytes back into the record when freed.
class TValueBlobStream : public TMemoryStream {
public:
  TValueBlobStream(std::optional<std::string>* slot, bool write) : slot_(slot), write_(write) {
    if (!write && slot->has_value()) {
      const std::string& s = **slot;
      if (!s.empty()) WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
      SetPosition(0);
    }
  }
  ~TValueBlobStream() override {
    if (write_) *slot_ = Size() == 0 ? std::optional<std::string>() : std::optional<std::string>(DataString());
  }

private:
  std::optional<std::string>* slot_;
  bool write_;
};

class TValueDataSet : public TDataSet {
public:
  using Image = std::map<int, std::optional<std::string>>;
  TValueDataSet() = default;
  ~TValueDataSet() override {
    Destroying();
    try {
      Close();
    } catch (...) {
    }
  }
  Image row, edit;
  // The stored native bytes of a field, for the format checks.
  std::string Raw(const char* name) { return row[FieldByName(name)->FieldNo()].value_or(""); }

  std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override {
    Image& img = (State() == dsEdit || State() == dsInsert) ? edit : row;
    if (mode != bmRead && State() != dsEdit && State() != dsInsert) DatabaseError(dbmsg::NotEditing);
    auto s = std::make_unique<TValueBlobStream>(&img[field->FieldNo()], mode != bmRead);
    if (mode != bmRead) DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
    return s;
  }

protected:
  std::unique_ptr<uint8_t[]> AllocRecordBuffer() override { return std::unique_ptr<uint8_t[]>(new uint8_t[8]()); }
  void GetBookmarkData(TRecordBuffer b, void* d) override { std::memcpy(d, b, 4); }
  void SetBookmarkData(TRecordBuffer b, const void* d) override { std::memcpy(b, d, 4); }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer b) override { return static_cast<TBookmarkFlag>(b[4]); }
  void SetBookmarkFlag(TRecordBuffer b, TBookmarkFlag f) override { b[4] = f; }
  TGetResult GetRecord(TRecordBuffer b, TGetMode mode, bool) override {
    if (mode == gmNext && pos_ < 1) pos_ = 1;
    else if (mode == gmNext) {
      pos_ = 2;
      return grEOF;
    } else if (mode == gmPrior && pos_ > 1) pos_ = 1;
    else if (mode == gmPrior) {
      pos_ = 0;
      return grBOF;
    } else if (pos_ != 1) return grError;
    b[4] = bfCurrent;
    return grOK;
  }
  int GetRecordSize() override { return 0; }
  void InternalAddRecord(const void*, bool) override { row = edit; }
  void InternalClose() override {
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    open_ = false;
  }
  void InternalDelete() override {}
  void InternalFirst() override { pos_ = 0; }
  void InternalLast() override { pos_ = 2; }
  void InternalGotoBookmark(const void*) override { pos_ = 1; }
  void InternalSetToRecord(TRecordBuffer) override { pos_ = 1; }
  void InternalInitFieldDefs() override {}
  void InternalInitRecord(TRecordBuffer) override { edit.clear(); }
  void InternalOpen() override {
    if (DefaultFields()) CreateFields();
    BindFields(true);
    SetBookmarkSize(4);
    open_ = true;
  }
  void InternalEdit() override { edit = row; }
  void InternalPost() override {
    TDataSet::InternalPost();
    row = edit;
  }
  bool IsCursorOpen() override { return open_; }
  bool GetFieldData(TField* field, void* buffer) override {
    Image& img = (State() == dsEdit || State() == dsInsert) ? edit : row;
    auto it = img.find(field->FieldNo());
    if (it == img.end() || !it->second) return false;
    if (buffer) std::memcpy(buffer, it->second->data(), it->second->size());
    return true;
  }
  void SetFieldData(TField* field, const void* buffer) override {
    if (State() != dsEdit && State() != dsInsert) DatabaseError(dbmsg::NotEditing);
    field->Validate(buffer);
    if (buffer)
      edit[field->FieldNo()] = std::string(static_cast<const char*>(buffer), static_cast<size_t>(field->DataSize()));
    else edit[field->FieldNo()].reset();
    DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
  }

private:
  int pos_ = 0;
  bool open_ = false;
};

class FieldsTest : public ::testing::Test {
protected:
  void SetUp() override {
    auto& d = ds.FieldDefs();
    d.Add("S", ftString, 5);
    d.Add("I", ftInteger);
    d.Add("SI", ftSmallint);
    d.Add("L", ftLargeint);
    d.Add("F", ftFloat);
    d.Add("C", ftCurrency);
    d.Add("N", ftBCD, 4);
    d.Add("B", ftBoolean);
    d.Add("D", ftDate);
    d.Add("T", ftTime);
    d.Add("DT", ftDateTime);
    d.Add("M", ftMemo);
    d.Add("BL", ftBlob);
    ds.Open();
    ds.Edit();
  }
  TField* F(const char* n) { return ds.FieldByName(n); }
  TValueDataSet ds;
  FormatSettingsGuard settings;
};

TEST_F(FieldsTest, NativeFormsAreTheFixedOnes) {
  F("B")->SetAsBoolean(true);
  F("D")->SetAsDateTime(EncodeDate(2001, 1, 1));
  F("T")->SetAsDateTime(EncodeTime(12, 0, 0, 0));
  F("DT")->SetAsDateTime(EncodeDate(1, 1, 1));
  F("N")->SetAsFloat(12.3456);
  F("SI")->SetAsInteger(-2);
  ds.Post();
  EXPECT_EQ(ds.Raw("B"), std::string("\xFF\xFF", 2));
  int32_t days;
  std::memcpy(&days, ds.Raw("D").data(), 4);
  EXPECT_EQ(days, 693594 + 36892);  // 0001-01-01 is day 1
  int32_t ms;
  std::memcpy(&ms, ds.Raw("T").data(), 4);
  EXPECT_EQ(ms, 43200000);
  double dt;
  std::memcpy(&dt, ds.Raw("DT").data(), 8);
  EXPECT_EQ(dt, 86400000.0);
  int64_t cur;
  std::memcpy(&cur, ds.Raw("N").data(), 8);
  EXPECT_EQ(cur, 123456);
  EXPECT_EQ(ds.Raw("SI").size(), 2u);
  EXPECT_EQ(F("D")->DataSize(), 4);
  EXPECT_EQ(F("S")->DataSize(), 6);
  // Reading back; any non-zero boolean reads true (the DBF dataset writes 1).
  EXPECT_DOUBLE_EQ(F("D")->AsDateTime(), EncodeDate(2001, 1, 1));
  EXPECT_DOUBLE_EQ(F("DT")->AsDateTime(), EncodeDate(1, 1, 1));
  EXPECT_DOUBLE_EQ(F("N")->AsFloat(), 12.3456);
  ds.row[F("B")->FieldNo()] = std::string("\x01\x00", 2);
  EXPECT_TRUE(F("B")->AsBoolean());
  ds.row[F("B")->FieldNo()] = std::string("\x00\x00", 2);
  EXPECT_FALSE(F("B")->AsBoolean());
}

TEST_F(FieldsTest, TextConversionsFollowTheProcessSettings) {
  F("F")->SetAsFloat(1.5);
  EXPECT_EQ(F("F")->AsString(), "1,5");
  auto* f = static_cast<TFloatField*>(F("F"));
  f->DisplayFormat = "0.00";
  EXPECT_EQ(F("F")->DisplayText(), "1,50");
  EXPECT_EQ(F("F")->Text(), "1,50");
  F("F")->SetAsString("2,25");
  EXPECT_DOUBLE_EQ(F("F")->AsFloat(), 2.25);
  EXPECT_EQ(F("F")->AsInteger(), 2);
  try {
    F("F")->SetAsString("2.5x");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "'2.5x' is not a valid floating point value for field 'F'");
  }
  F("D")->SetAsString("31.12.1999");
  EXPECT_EQ(F("D")->AsString(), "31.12.1999");
  static_cast<TDateTimeField*>(F("D"))->DisplayFormat = "yyyy";
  EXPECT_EQ(F("D")->DisplayText(), "1999");
  F("I")->SetAsString("-17");
  EXPECT_EQ(F("I")->AsString(), "-17");
  EXPECT_DOUBLE_EQ(F("I")->AsFloat(), -17);
  F("I")->SetAsString("");
  EXPECT_TRUE(F("I")->IsNull());
  EXPECT_EQ(F("I")->AsInteger(), 0);
}

TEST_F(FieldsTest, StringsAreCutToSizeAndNotTranslated) {
  F("S")->SetAsString("abcdefgh");
  EXPECT_EQ(F("S")->AsString(), "abcde");
  F("S")->SetAsString("\xC0\xE1");  // CP1251 bytes pass unchanged
  EXPECT_EQ(F("S")->AsString(), "\xC0\xE1");
  F("S")->SetAsInteger(42);
  EXPECT_EQ(F("S")->AsInteger(), 42);
  F("S")->SetAsString("yes");
  EXPECT_TRUE(F("S")->AsBoolean());
  EXPECT_TRUE(F("S")->Value().IsString());
}

TEST_F(FieldsTest, RangesAndBadTextAreRefusedWithTheirMessages) {
  try {
    F("SI")->SetAsInteger(40000);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "40000 is not a valid value for field 'SI'. The allowed range is -32768 to 32767");
  }
  try {
    F("I")->SetAsString("12a");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "'12a' is not a valid integer value for field 'I'");
  }
  EXPECT_THROW(F("I")->SetAsLargeInt(int64_t{1} << 40), EDatabaseError);
  F("L")->SetAsLargeInt(int64_t{1} << 40);
  EXPECT_EQ(F("L")->AsLargeInt(), int64_t{1} << 40);
  EXPECT_THROW(F("L")->AsInteger(), ERangeError);
  F("B")->SetAsString("f");
  EXPECT_FALSE(F("B")->AsBoolean());
  F("B")->SetAsString("TR");
  EXPECT_TRUE(F("B")->AsBoolean());
  EXPECT_EQ(F("B")->AsString(), "True");
  try {
    F("B")->SetAsString("yes");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "'yes' is not a valid boolean value for field 'B'");
  }
  try {
    F("B")->AsDateTime();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot access field 'B' as type DateTime");
  }
}

TEST_F(FieldsTest, VariantsNullsAndFieldValues) {
  EXPECT_TRUE(F("I")->Value().IsNull());
  F("I")->SetValue(Variant(7));
  F("S")->SetValue(Variant("ab"));
  EXPECT_EQ(F("I")->Value().Type(), VarType::Integer);
  Variant both = ds.FieldValues("I;S");
  ASSERT_TRUE(both.IsArray());
  EXPECT_EQ(both[0].AsInteger(), 7);
  EXPECT_EQ(both[1].AsString(), "ab");
  ds.SetFieldValues("I;S", Variant::ArrayOf({Variant(8), Variant::Null()}));
  EXPECT_EQ(F("I")->AsInteger(), 8);
  EXPECT_TRUE(F("S")->IsNull());
  F("DT")->SetValue(Variant::DateTime(EncodeDate(2020, 2, 29) + EncodeTime(10, 30, 0, 0)));
  EXPECT_EQ(F("DT")->AsString(), "29.02.2020 10:30:00");
  F("C")->Assign(F("I"));
  EXPECT_DOUBLE_EQ(F("C")->AsFloat(), 8);
  F("I")->Clear();
  F("C")->Assign(F("I"));
  EXPECT_TRUE(F("C")->IsNull());
  EXPECT_THROW(ds.FieldByName("NOPE"), EDatabaseError);
  EXPECT_EQ(ds.FindField("nope"), nullptr);
  EXPECT_EQ(ds.FindField("dt"), F("DT"));  // names match ignoring case
}

TEST_F(FieldsTest, ValidationSeesTheNewValueAndCanRefuseIt) {
  F("I")->SetAsInteger(1);
  int seen = 0, changes = 0;
  F("I")->OnValidate = [&](TField* f) {
    seen = f->AsInteger();
    if (seen < 0) DatabaseError("negative");
  };
  F("I")->OnChange = [&](TField*) { ++changes; };
  F("I")->SetAsInteger(5);
  EXPECT_EQ(seen, 5);
  EXPECT_EQ(changes, 1);
  EXPECT_THROW(F("I")->SetAsInteger(-3), EDatabaseError);
  EXPECT_EQ(seen, -3);
  EXPECT_EQ(F("I")->AsInteger(), 5);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(ds.Modified());
}

TEST_F(FieldsTest, BlobsGoThroughStreams) {
  auto* memo = static_cast<TBlobField*>(F("M"));
  EXPECT_TRUE(memo->IsBlob());
  EXPECT_TRUE(memo->IsNull());
  memo->SetAsString("line one\r\nline two");
  EXPECT_EQ(memo->AsString(), "line one\r\nline two");
  EXPECT_EQ(memo->BlobSize(), 18);
  EXPECT_EQ(memo->DisplayText(), "(MEMO)");
  TMemoryStream out;
  memo->SaveToStream(out);
  EXPECT_EQ(out.DataString(), "line one\r\nline two");
  auto* blob = static_cast<TBlobField*>(F("BL"));
  blob->Assign(memo);
  EXPECT_EQ(blob->AsString(), "line one\r\nline two");
  TMemoryStream in;
  in.WriteBuffer("\x00\x01\x02", 3);
  blob->LoadFromStream(in);
  EXPECT_EQ(blob->AsString(), std::string("\x00\x01\x02", 3));
  blob->Clear();
  EXPECT_TRUE(blob->IsNull());
  ds.Post();
  EXPECT_EQ(memo->AsString(), "line one\r\nline two");
  EXPECT_THROW(memo->SetAsString("x"), EDatabaseError);  // not editing
}

TEST_F(FieldsTest, DefinitionsNumberFieldsAndRefuseDuplicates) {
  EXPECT_EQ(F("S")->FieldNo(), 1);
  EXPECT_EQ(F("BL")->FieldNo(), 13);
  EXPECT_TRUE(ds.DefaultFields());
  TFieldDefs defs(nullptr);
  defs.Add("A", ftString, 3);
  defs.Add("C", ftInteger)->SetFieldNo(3);
  EXPECT_EQ(defs.Find("a")->FieldNo(), 1);
  EXPECT_EQ(defs.Find("C")->FieldNo(), 3);
  try {
    defs.Add("a", ftInteger);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Duplicate field name 'a'");
  }
  try {
    defs.Find("Z");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'Z' not found");
  }
  TIndexDefs idx(nullptr);
  idx.Add("BYNAME", "FM;TEL", 0);
  idx.Add("UP", "UPPER(FM)", ixExpression);
  EXPECT_EQ(idx.Find("up")->Expression, "UPPER(FM)");
  EXPECT_EQ(idx.GetIndexForFields("FM", false), idx.Find("BYNAME"));
  EXPECT_EQ(idx.GetIndexForFields("F", false), nullptr);
  EXPECT_EQ(idx.FindIndexForFields("fm;tel"), idx.Find("BYNAME"));
  TIndexDefs copy(nullptr);
  copy.Assign(&idx);
  EXPECT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.Items(1)->Options, ixExpression);
}

// Names are looked up through an index kept beside the lists; after any
// mix of additions, insertions, renames, moves, deletions, copies and
// clears, a look-up finds what a walk of the list from its start finds (the
// first entry of that name, ASCII case ignored), and an item's index is its
// place.
const char* const kLookupNames[] = {"A", "a", "B", "b2", "B2", "\xC6", "\xE6", "ID", ""};

int WalkDefs(const TFieldDefs& defs, const std::string& name) {
  for (int i = 0; i < defs.Count(); ++i)
    if (SameText(defs.Items(i)->Name(), name)) return i;
  return -1;
}

TEST(NameLookups, FieldDefinitionsAgreeWithAWalkUnderRandomEdits) {
  std::mt19937 rng(4242);
  TFieldDefs defs(nullptr), other(nullptr);
  other.Add("ID", ftInteger);
  other.Add("b2", ftString, 4);
  auto name = [&] { return std::string(kLookupNames[rng() % std::size(kLookupNames)]); };
  for (int step = 0; step < 20000; ++step) {
    const int n = defs.Count();
    try {
      switch (rng() % 10) {
        case 0:
        case 1: defs.Add(name(), ftInteger); break;
        case 2: static_cast<TFieldDef*>(defs.Insert(static_cast<int>(rng() % (n + 1))))->SetName(name()); break;
        case 3:
          if (n) defs.Items(static_cast<int>(rng() % n))->SetName(name());
          break;
        case 4:
          if (n) defs.Delete(static_cast<int>(rng() % n));
          break;
        case 5:
          if (n) defs.Items(static_cast<int>(rng() % n))->SetIndex(static_cast<int>(rng() % n));
          break;
        case 6:
          if (rng() % 8 == 0) defs.Assign(&other);
          break;
        case 7:
          if (rng() % 16 == 0) defs.Clear();
          break;
        default: defs.AddFieldDef(); break;
      }
    } catch (const EDatabaseError&) {
      // A duplicate name is refused; the list is as before.
    }
    if (defs.Count() > 12) defs.Delete(static_cast<int>(rng() % defs.Count()));
    for (const char* k : kLookupNames) ASSERT_EQ(defs.IndexOf(k), WalkDefs(defs, k)) << "step " << step << " " << k;
    for (int i = 0; i < defs.Count(); ++i) ASSERT_EQ(defs.Items(i)->Index(), i) << "step " << step;
  }
}

TEST(NameLookups, DatasetFieldsAgreeWithAWalkUnderRandomEdits) {
  std::mt19937 rng(4243);
  TValueDataSet ds;
  std::vector<std::unique_ptr<TField>> fields;
  auto name = [&] { return std::string(kLookupNames[rng() % std::size(kLookupNames)]); };
  auto walk = [&](const std::string& n) -> TField* {
    for (TField* f : ds.Fields())
      if (SameText(f->FieldName(), n)) return f;
    return nullptr;
  };
  for (int step = 0; step < 20000; ++step) {
    try {
      switch (rng() % 6) {
        case 0:
        case 1: {
          auto f = std::make_unique<TIntegerField>(nullptr);
          f->SetFieldName(name());
          if (rng() % 4) f->SetDataSet(&ds);
          fields.push_back(std::move(f));
          break;
        }
        case 2:
          if (!fields.empty()) fields[rng() % fields.size()]->SetFieldName(name());
          break;
        case 3:
          if (!fields.empty()) fields.erase(fields.begin() + static_cast<std::ptrdiff_t>(rng() % fields.size()));
          break;
        case 4:
          if (!fields.empty()) fields[rng() % fields.size()]->SetDataSet(rng() % 2 ? &ds : nullptr);
          break;
        default:
          if (!fields.empty()) fields.pop_back();
          break;
      }
    } catch (const EDatabaseError&) {
      // A duplicate name is refused; the list is as before.
    }
    if (fields.size() > 12) fields.erase(fields.begin());
    for (const char* k : kLookupNames) ASSERT_EQ(ds.FindField(k), walk(k)) << "step " << step << " " << k;
  }
}

// Fields owned by a dataset are not told of each other (they have nothing
// to do with the news); the dataset and its other components still are, and
// thousands of fields come and go in time linear in their number.
TEST(NameLookups, FieldsOfAnOwnerAreNotToldOfEachOther) {
  TValueDataSet ds;
  class TListener : public TComponent {
  public:
    using TComponent::TComponent;
    int inserted = 0, removed = 0;

  protected:
    void Notification(TComponent* c, TOperation op) override {
      (op == opInsert ? inserted : removed) += 1;
      TComponent::Notification(c, op);
    }
  };
  auto* listener = ds.CreateOwned<TListener>();
  const int n = 20000;
  for (int i = 0; i < n; ++i) ds.FieldDefs().Add("F" + std::to_string(i), ftInteger);
  ds.Open();
  EXPECT_EQ(ds.FieldCount(), n);
  EXPECT_EQ(listener->inserted, n);
  EXPECT_EQ(ds.FieldByName("f12345")->FieldNo(), 12346);
  EXPECT_EQ(ds.FindField("F" + std::to_string(n)), nullptr);
  ds.Close();
  EXPECT_EQ(ds.FieldCount(), 0);
  EXPECT_EQ(listener->removed, n);
  EXPECT_EQ(ds.ComponentCount(), 1);
}

}  // namespace
