// The report-style list view: rows of a caption and sub-items under titled
// columns, read-only, selected a whole row at a time.
//
// Sorting: with a `SortType` other than stNone the list keeps itself sorted,
// by `OnCompare` when assigned (the first row is the left operand) and by
// `CompareText` of the captions otherwise.  It sorts once per batch of
// changes, not once per change: rows added between `BeginUpdate` and
// `EndUpdate` are sorted when the update ends, and changes outside an update
// are sorted before the rows are next read or shown.  Sorting is stable, so
// rows that compare equal keep the order they were added in.  `AlphaSort`
// sorts at once.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/gui/controls.h"

class TListView;

class TListItem {
public:
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  const std::vector<std::string>& SubItems() const { return subItems_; }
  void AddSubItem(const std::string& text);
  void SetSubItem(int index, const std::string& text);
  // The text of column `column`: 0 the caption, n sub-item n-1 (empty when
  // the row has none there).
  const std::string& ColumnText(int column) const;
  // The row's place in the list (after any pending sort).
  int Index() const;
  intptr_t Data = 0;

private:
  friend class TListView;
  explicit TListItem(TListView* owner) : owner_(owner) {}
  TListView* owner_;
  std::string caption_;
  std::vector<std::string> subItems_;
};

struct TListColumn {
  std::string Caption;
  int Width = 50;
  int Index = 0;
};

enum TSortType { stNone, stData, stText, stBoth };

using TLVCompareEvent =
    std::function<void(TComponent* Sender, TListItem* Item1, TListItem* Item2, intptr_t Data, int& Compare)>;
using TLVColumnClickEvent = std::function<void(TComponent* Sender, TListColumn* Column)>;

class TListView : public TControl {
public:
  explicit TListView(TComponent* owner);
  ~TListView() override;

  // Columns.
  TListColumn* AddColumn(const std::string& caption, int width);
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  TListColumn* Column(int index) const;

  // Rows.
  TListItem* Add();
  void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  TListItem* Item(int index);
  void BeginUpdate();
  void EndUpdate();

  TSortType SortType() const { return sortType_; }
  void SetSortType(TSortType type);
  // Sorts now (stably), whatever `SortType` is.
  void AlphaSort();

  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool on) { readOnly_ = on; }
  bool RowSelect() const { return rowSelect_; }
  void SetRowSelect(bool on);

  // The selected row, or null.
  TListItem* Selected();
  void SetSelected(TListItem* item);

  TLVCompareEvent OnCompare;
  TLVColumnClickEvent OnColumnClick;

private:
  friend class TListItem;
  friend struct TListModel;
  void Changed();
  void EnsureSorted();
  void Refresh();
  void ColumnClicked(int index);

  std::vector<std::unique_ptr<TListColumn>> columns_;
  // The rows live side by side in `storage_` (sorting follows pointers, and
  // neighbours in memory sort much faster than scattered ones); `items_`
  // holds them in list order.
  std::deque<TListItem> storage_;
  std::vector<TListItem*> items_;
  int updateCount_ = 0;
  bool unsorted_ = false;
  bool refreshPosted_ = false;
  bool shownStale_ = false;
  TSortType sortType_ = stNone;
  bool readOnly_ = true;
  bool rowSelect_ = true;
};
