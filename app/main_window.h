// Dirlook's window: five search fields, the Find button and the list of
// matching directory entries.
//
// The window is built from its description (resources/main_form.txt): the
// controls, then the directory table HDS (opened as it is created, so a
// missing, locked or damaged phones.dbf fails the window's creation) and the
// query DBQuery over it.  A click on Find turns the filled fields into one
// SELECT, runs it and lists every row; a click on a column header sorts the
// rows by that column, ascending, by CompareText.
#pragma once

#include <memory>
#include <string>

#include "platform/gui/controls.h"
#include "platform/gui/form.h"
#include "platform/gui/list_view.h"
#include "search_text.h"

class TCorvidDataSet;
class TCorvidSift;
class TCustomSift;

class TMain : public TForm {
public:
  // Builds the window from `description` (the built-in one by default).
  explicit TMain(TComponent* owner);
  TMain(TComponent* owner, std::string_view description);
  ~TMain() override;

  TLabel* Label1 = nullptr;
  TLabel* Label2 = nullptr;
  TLabel* Label3 = nullptr;
  TLabel* Label4 = nullptr;
  TLabel* Label5 = nullptr;
  TListView* List = nullptr;
  TEdit* tTEL = nullptr;
  TEdit* tFM = nullptr;
  TEdit* tUL = nullptr;
  TEdit* tND = nullptr;
  TEdit* tKW = nullptr;
  TButton* bSelect = nullptr;
  TCorvidDataSet* HDS = nullptr;
  TCorvidSift* DBQuery = nullptr;

  void bSelectClick(TComponent* Sender);
  // Runs one search text and fills the list: 1 when it ran the query, 0
  // when the text was the last successful search's.
  int ShowResults(const std::string& text);
  // The query's SQL becomes `text`; mode 1 opens it, 2 executes it, 3 puts
  // it into edit state, anything else only sets the text.
  int RunQuery(TCustomSift* query, const std::string& text, int mode);
  void ListColumnClick(TComponent* Sender, TListColumn* Column);
  void ListCompare(TComponent* Sender, TListItem* Item1, TListItem* Item2, intptr_t Data, int& Compare);

  const std::string& SqlText() const { return sqlText; }
  const std::string& LastSqlText() const { return lastSqlText; }
  int SortColumn() const { return sortColumn; }
  // The next search runs even with the fields of the last one (timing runs).
  void ForgetLastSearch() { lastSqlText.clear(); }

private:
  void Build(std::string_view description);
  void CreateNonVisual(const TDescribedComponent& c);

  std::string sqlText;
  std::string lastSqlText;
  int sortColumn = 0;
};

class TApplication;
// The program: creates the window and runs it; whatever escapes (a table
// that does not open ends the program before any window) is shown in an
// error box.  Returns the exit code, always 0.
int DirlookMain(TApplication& app);

// The messages of the window, code page 1251.
std::string NoSearchFieldsMessage();
std::string NothingFoundMessage();
