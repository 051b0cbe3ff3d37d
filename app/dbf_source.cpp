#include "dbf_source.h"

#include "dbf_dataset/corvid_dataset.h"
#include "platform/gui/form_description.h"
#include "platform/text.h"

TCorvidDataSet* AsCorvidDataSet(TDataSet* dataset) { return dynamic_cast<TCorvidDataSet*>(dataset); }
TDataSet* AsDataSet(TCorvidDataSet* dataset) { return dataset; }

bool CorvidUseDeleted(TCorvidDataSet* ds) { return ds->UseDeleted(); }
void CorvidSetUseDeleted(TCorvidDataSet* ds, bool on) { ds->SetUseDeleted(on); }
std::string CorvidIndexName(TCorvidDataSet* ds) { return ds->IndexName(); }
void CorvidSetIndexName(TCorvidDataSet* ds, const std::string& name) { ds->SetIndexName(name); }
void CorvidSetRange(TCorvidDataSet* ds, const std::string& low, const std::string& high) { ds->SetRange(low, high); }
void CorvidSetTagTo(TCorvidDataSet* ds, const std::string& tag) { ds->SetTagTo(tag); }

std::string CorvidRangeTag(TCorvidDataSet* ds, const std::string& key) {
  const int count = ds->IndexCount();
  for (int i = 1; i <= count; ++i) {
    // A unique tag lists one record per key, a FOR tag only some records, a
    // descending one the wrong way round: none of them serves a range.
    if (!ds->IndexAscending(i) || ds->IndexUnique(i) || !Trim(ds->IndexFilter(i)).empty()) continue;
    std::string bare;
    for (char c : ds->IndexExpression(i))
      if (c != ' ') bare += c;
    if (SameText(bare, key)) return ds->IndexTagName(i);
  }
  return {};
}

TCorvidDataSet* CreateCorvidDataSet(TComponent* owner, const TDescribedComponent& c) {
  auto* ds = owner->CreateOwned<TCorvidDataSet>();
  ds->SetName(c.Name);
  bool active = false;
  for (const TDescribedProperty& p : c.Properties) {
    if (p.Name == "TableName") ds->SetTableName(p.AsText());
    else if (p.Name == "DatabaseName") ds->SetDatabaseName(p.AsText());
    else if (p.Name == "Active") active = p.AsBoolean();
    else if (p.Name == "Exclusive") ds->SetExclusive(p.AsBoolean());
    else if (p.Name == "FilterOptions") {
      TFilterOptions o = 0;
      for (const std::string& n : p.AsSet()) {
        if (n == "foCaseInsensitive") o |= foCaseInsensitive;
        else if (n == "foNoPartialCompare") o |= foNoPartialCompare;
        else p.Fail("unknown filter option " + n);
      }
      ds->SetFilterOptions(o);
    } else if (p.Name == "TranslateASCII") ds->SetTranslateASCII(p.AsBoolean());
    else if (p.Name == "LargeIntegerAs") {
      const std::string& n = p.AsName();
      if (n == "asInteger") ds->LargeIntegerAs = asInteger;
      else if (n == "asLargeInt") ds->LargeIntegerAs = asLargeInt;
      else if (n == "asFloat") ds->LargeIntegerAs = asFloat;
      else p.Fail("unknown value " + n);
    } else if (p.Name == "LockProtocol") {
      const std::string& n = p.AsName();
      if (n == "Default") ds->SetLockProtocol(CVsetLokProtocol::Default);
      else if (n == "DB4Lock") ds->SetLockProtocol(CVsetLokProtocol::DB4Lock);
      else if (n == "ClipLock") ds->SetLockProtocol(CVsetLokProtocol::ClipLock);
      else if (n == "FoxLock") ds->SetLockProtocol(CVsetLokProtocol::FoxLock);
      else p.Fail("unknown value " + n);
    } else if (p.Name == "UseDeleted") ds->SetUseDeleted(p.AsBoolean());
    else if (p.Name == "AutoFlush") ds->SetAutoFlush(p.AsBoolean());
    else if (p.Name == "UserID") ds->SetUserID(p.AsInteger());
    else p.Fail("unknown property " + p.Name);
  }
  // Stored active: the table opens as the window is created.
  if (active) ds->Open();
  return ds;
}
