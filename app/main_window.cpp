#include "main_window.h"

#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"
#include "app/main_form_text.h"
#include "platform/code_page.h"
#include "platform/gui/application.h"
#include "platform/gui/form_description.h"
#include "platform/text.h"

namespace {

std::string Cp1251(std::string_view utf8) {
  std::string out;
  Utf8ToCp1251(utf8, out);
  return out;
}

template <class T>
T* Find(TForm& form, const char* name) {
  auto* c = dynamic_cast<T*>(form.FindComponent(name));
  if (c == nullptr) throw EGuiError(std::string("The window's description lacks ") + name);
  return c;
}

// The DBF dataset a form description lists, owned by `owner`; stored
// active, it opens as the window is created.
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

}  // namespace

std::string NoSearchFieldsMessage() { return Cp1251("Введите параметры поиска"); }
std::string NothingFoundMessage() { return Cp1251("По вашему запросу ничего не найдено"); }

TMain::TMain(TComponent* owner) : TForm(owner) { Build(MainFormDescription()); }

TMain::TMain(TComponent* owner, std::string_view description) : TForm(owner) { Build(description); }

TMain::~TMain() = default;

void TMain::Build(std::string_view description) {
  RegisterHandler("bSelectClick", TNotifyEvent([this](TComponent* s) { bSelectClick(s); }));
  RegisterHandler("ListColumnClick",
                  TLVColumnClickEvent([this](TComponent* s, TListColumn* c) { ListColumnClick(s, c); }));
  RegisterHandler("ListCompare", TLVCompareEvent([this](TComponent* s, TListItem* a, TListItem* b, intptr_t d, int& r) {
                    ListCompare(s, a, b, d, r);
                  }));
  LoadFromDescription(description, "main_form.txt", [this](const TDescribedComponent& c) { CreateNonVisual(c); });
  Label1 = Find<TLabel>(*this, "Label1");
  Label2 = Find<TLabel>(*this, "Label2");
  Label3 = Find<TLabel>(*this, "Label3");
  Label4 = Find<TLabel>(*this, "Label4");
  Label5 = Find<TLabel>(*this, "Label5");
  List = Find<TListView>(*this, "List");
  tTEL = Find<TEdit>(*this, "tTEL");
  tFM = Find<TEdit>(*this, "tFM");
  tUL = Find<TEdit>(*this, "tUL");
  tND = Find<TEdit>(*this, "tND");
  tKW = Find<TEdit>(*this, "tKW");
  bSelect = Find<TButton>(*this, "bSelect");
  HDS = dynamic_cast<TCorvidDataSet*>(Find<TDataSet>(*this, "HDS"));
  if (HDS == nullptr) throw EGuiError("HDS is not a DBF data set");
  DBQuery = Find<TCorvidSift>(*this, "DBQuery");
}

void TMain::CreateNonVisual(const TDescribedComponent& c) {
  if (c.ClassName == "TCorvidDataSet") {
    CreateCorvidDataSet(this, c);
    return;
  }
  if (c.ClassName == "TCorvidSift") {
    auto* q = CreateOwned<TCorvidSift>();
    q->SetName(c.Name);
    BeginLoading({q});
    for (const TDescribedProperty& p : c.Properties) {
      if (p.Name == "SQL") q->SetSQL(p.AsText());
      else if (p.Name == "DBFType") {
        const std::string& n = p.AsName();
        using T = TCorvidSift::TDBFType;
        if (n == "Clipper") q->DBFType = T::Clipper;
        else if (n == "DBaseIII") q->DBFType = T::DBaseIII;
        else if (n == "DBaseIV") q->DBFType = T::DBaseIV;
        else if (n == "FoxPro2") q->DBFType = T::FoxPro2;
        else p.Fail("unknown value " + n);
      } else if (p.Name == "AutoOverwrite") q->AutoOverwrite = p.AsBoolean();
      else if (p.Name == "UseDeleted") q->UseDeleted = p.AsBoolean();
      else if (p.Name == "AutoDisableControls") q->AutoDisableControls = p.AsBoolean();
      else p.Fail("unknown property " + p.Name);
    }
    for (const TDescribedItem* item : c.ItemsOf("DataSets")) {
      const TDescribedProperty* alias = item->Find("Alias");
      const TDescribedProperty* ds = item->Find("DataSet");
      if (alias == nullptr || ds == nullptr)
        DescriptionError(item->Source, item->Line, "a data set item needs Alias and DataSet");
      auto* source = dynamic_cast<TDataSet*>(FindComponent(ds->AsName()));
      if (source == nullptr) ds->Fail("no data set " + ds->AsName());
      q->AddDataSet(source, alias->AsText());
    }
    EndLoading({q});  // installs the query's handlers
    return;
  }
  DescriptionError(c.Source, c.Line, "unknown component class " + c.ClassName);
}

void TMain::bSelectClick(TComponent*) {
  TSearchFields f{tTEL->Text(), tFM->Text(), tUL->Text(), tND->Text(), tKW->Text()};
  sqlText = BuildSearchText(f);  // refuses a field with both quotes
  if (sqlText.empty()) {
    ShowMessage(NoSearchFieldsMessage());
    return;
  }
  sortColumn = 0;
  ShowResults(sqlText);
}

int TMain::ShowResults(const std::string& text) {
  if (text == lastSqlText) return 0;
  // The emptied list no longer shows the last search: forget it until this
  // one has succeeded, so a failed search can be retried.
  lastSqlText.clear();
  List->Clear();
  RunQuery(DBQuery, text, 1);
  // Rows arrive unsorted and are sorted once, stably, when all are in.
  const TSortType sortType = List->SortType();
  List->SetSortType(stNone);
  List->BeginUpdate();
  try {
    TField* tel = DBQuery->FieldByName("TEL");
    TField* fm = DBQuery->FieldByName("FM");
    TField* ul = DBQuery->FieldByName("UL");
    TField* nd = DBQuery->FieldByName("ND");
    TField* kw = DBQuery->FieldByName("KW");
    std::string address;
    while (!DBQuery->Eof()) {
      TListItem* row = List->Add();
      row->SetCaption(tel->AsString());
      row->AddSubItem(fm->AsString());
      address = ul->AsString();
      address += ' ';
      address += nd->AsString();
      address += Cp1251(", КВ. ");
      address += kw->AsString();
      row->AddSubItem(address);
      DBQuery->Next();
    }
  } catch (...) {
    List->EndUpdate();
    List->SetSortType(sortType);
    DBQuery->Close();
    throw;
  }
  List->EndUpdate();
  List->SetSortType(sortType);
  List->AlphaSort();
  DBQuery->Close();
  lastSqlText = text;
  if (List->Count() == 0) ShowMessage(NothingFoundMessage());
  return 1;
}

int TMain::RunQuery(TCustomSift* query, const std::string& text, int mode) {
  query->Close();
  query->SQL().Clear();
  query->SQL().Add(text);
  switch (mode) {
    case 1: query->Open(); break;
    case 2: query->ExecSQL(); break;
    case 3: query->Edit(); break;
    default: break;
  }
  return 1;
}

void TMain::ListColumnClick(TComponent*, TListColumn* Column) {
  sortColumn = Column->Index;
  List->AlphaSort();
}

void TMain::ListCompare(TComponent*, TListItem* Item1, TListItem* Item2, intptr_t, int& Compare) {
  Compare = CompareText(Item1->ColumnText(sortColumn), Item2->ColumnText(sortColumn));
}

int DirlookMain(TApplication& app) {
  try {
    app.Initialize();
    app.CreateForm<TMain>();
    app.Run();
  } catch (...) {
    app.HandleException(std::current_exception());
  }
  return 0;
}
