// The query binding's table-definition handlers and SaveToDBF: the SQL side
// (statement items, field-definition lines, the overwrite question) over the
// data list, which does the DBF side.
#include <string>

#include "corvid_sift.h"
#include "data_list.h"
#include "platform/exceptions.h"
#include "platform/gui/application.h"
#include "platform/string_list.h"
#include "save_to_dbf.h"
#include "sql_engine/front/sql_tokens.h"

namespace {

constexpr const char* kMsgNoAnswer = "Table exists and AutoOverwrite is off: nobody can be asked to replace it";
constexpr const char* kMsgUnknownType = "Field %s: unknown column type";
constexpr const char* kWarning = "Warning";

TDataTableType TableType(TCorvidSift::TDBFType t) {
  switch (t) {
    case TCorvidSift::TDBFType::Clipper: return TDataTableType::Clipper;
    case TCorvidSift::TDBFType::DBaseIII: return TDataTableType::DBaseIII;
    case TCorvidSift::TDBFType::DBaseIV: return TDataTableType::DBaseIV;
    case TCorvidSift::TDBFType::FoxPro2: return TDataTableType::FoxPro2;
  }
  return TDataTableType::DBaseIV;
}

// The field-definition line of one column of CREATE TABLE.
std::string FieldLine(const TCreateField& f) {
  std::string type;
  int32_t length = 0, decimals = 0;
  switch (f.TypeToken) {
    case tkCHAR:
      type = "C";
      length = f.Size;
      break;
    case tkINTEGER:
    case tkAUTOINC:
      type = "N";
      length = 11;
      break;
    case tkBOOLEAN:
      type = "L";
      length = 1;
      break;
    case tkDATE:
    case tkDATETIME:
    case tkTIME:
      type = "D";
      length = 10;
      break;
    case tkFLOAT:
    case tkMONEY:
      type = "N";
      if (f.Precision > 0) {
        length = f.Precision;
        decimals = f.Scale;
      } else {
        length = 20;
        decimals = 4;
      }
      break;
    case tkSMALLINT:
      type = "N";
      length = 6;
      break;
    case tkBLOB:
      length = 8;
      if (f.BlobKind == 1 || f.BlobKind == 3) type = "M";
      else if (f.BlobKind == 2 || f.BlobKind == 4) type = "B";
      else if (f.BlobKind == 5) type = "G";
      break;
    default: break;
  }
  if (type.empty()) throw EDatabaseError(kMsgUnknownType, {f.Name});
  return f.Name + ";" + type + ";" + std::to_string(length) + ";" + std::to_string(decimals);
}

}  // namespace

void TCorvidSift::InstallTableHandlers() {
  OnCreateTable = [this](TCustomSift* s, TCreateTableItem* item) { CreateTable(s, item); };
  OnCreateIndex = [this](TCustomSift* s, bool unique, bool descending, const std::string& table,
                         const std::string& index, const std::vector<std::string>& columns) {
    CreateIndex(s, unique, descending, table, index, columns);
  };
  OnDropTable = [this](TCustomSift* s, const std::string& table) { DropTable(s, table); };
  OnDropIndex = [this](TCustomSift* s, const std::string& table, const std::string& index) {
    DropIndex(s, table, index);
  };
}

bool TCorvidSift::ConfirmOverwrite(const std::string& question) {
  if (OnConfirmOverwrite) return OnConfirmOverwrite(question);
  if (Application) return Application->MessageBox(question, kWarning, MB_OKCANCEL | MB_ICONWARNING) == IDOK;
  throw EDatabaseError(kMsgNoAnswer);
}

void TCorvidSift::SetDataList(TDataList* list) {
  ClearDatasets();
  dataList_ = list;
  if (!list) return;
  for (int i = 0; i < list->GetCount(); ++i) AddDataSet(list->GetItem(i)->AsDataSet(), list->GetItem(i)->Alias());
  UseDeleted = list->UseDeleted;
}

void TCorvidSift::CreateTable(TCustomSift*, TCreateTableItem* Item) {
  if (!dataList_ || !Item) return;
  TStringList lines;
  for (int32_t i = 0; i < Item->Fields.Count(); ++i) lines.Add(FieldLine(*Item->Fields.Get(i)));
  TDataItem* created = nullptr;
  const bool done = dataList_->CreateTable(
      Item->TableName, TableType(DBFType), lines, Item->KeyFields, AutoOverwrite,
      [this](const std::string& q) { return ConfirmOverwrite(q); }, &created);
  // The new table is a source from now on (a replaced one left with its
  // dataset).
  if (done && created && !DataSetByName(created->Alias())) AddDataSet(created->AsDataSet(), created->Alias());
}

void TCorvidSift::CreateIndex(TCustomSift*, bool Unique, bool Descending, const std::string& TableName,
                              const std::string& IndexName, const std::vector<std::string>& Columns) {
  if (!dataList_) return;
  dataList_->CreateIndex(TableName, TableType(DBFType), IndexName, Columns, Unique, Descending);
}

void TCorvidSift::DropTable(TCustomSift*, const std::string& TableName) {
  if (!dataList_) return;
  dataList_->DropTable(TableName);
}

void TCorvidSift::DropIndex(TCustomSift*, const std::string& TableName, const std::string& IndexName) {
  if (!dataList_) return;
  dataList_->DropIndex(TableName, TableType(DBFType), IndexName);
}

void TCorvidSift::SaveToDBF(const std::string& FileName) {
  SaveDataSetToDBF(*this, FileName, AutoOverwrite, [this](const std::string& q) { return ConfirmOverwrite(q); });
}
