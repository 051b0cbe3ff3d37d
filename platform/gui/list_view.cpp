#include "platform/gui/list_view.h"

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTimer>
#include <QTreeView>

#include <algorithm>

#include "platform/gui/application.h"
#include "platform/gui/form.h"
#include "platform/gui/gui_internal.h"
#include "platform/text.h"

// The toolkit's view reads the rows through this model; the rows themselves
// stay in the list view, in code page 1251.
struct TListModel : QAbstractTableModel {
  explicit TListModel(TListView* list) : list_(list) {}

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() || !list_ ? 0 : static_cast<int>(list_->items_.size());
  }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() || !list_ ? 0 : std::max(1, list_->ColumnCount());
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!list_ || role != Qt::DisplayRole || index.row() >= static_cast<int>(list_->items_.size())) return {};
    return ToQString(list_->items_[static_cast<size_t>(index.row())]->ColumnText(index.column()));
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (!list_ || orientation != Qt::Horizontal || role != Qt::DisplayRole || section >= list_->ColumnCount())
      return {};
    return ToQString(list_->columns_[static_cast<size_t>(section)]->Caption);
  }
  Qt::ItemFlags flags(const QModelIndex& index) const override {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
  }
  void Reset() {
    beginResetModel();
    endResetModel();
  }

  TListView* list_;
};

namespace {

QTreeView* ViewOf(void* handle) { return static_cast<QTreeView*>(handle); }

QWidget* NewView(TComponent* owner) {
  auto* form = dynamic_cast<TForm*>(owner);
  if (!form) throw EGuiError("A control must be owned by a form");
  return new QTreeView(static_cast<QWidget*>(form->Handle()));
}

const std::string kEmpty;

}  // namespace

void TListItem::SetCaption(const std::string& caption) {
  caption_ = caption;
  owner_->Changed();
}

void TListItem::AddSubItem(const std::string& text) {
  subItems_.push_back(text);
  owner_->Changed();
}

void TListItem::SetSubItem(int index, const std::string& text) {
  if (index < 0) throw EListError("List index out of bounds (%d)", {index});
  if (static_cast<size_t>(index) >= subItems_.size()) subItems_.resize(static_cast<size_t>(index) + 1);
  subItems_[static_cast<size_t>(index)] = text;
  owner_->Changed();
}

const std::string& TListItem::ColumnText(int column) const {
  if (column == 0) return caption_;
  if (column < 0 || static_cast<size_t>(column) > subItems_.size()) return kEmpty;
  return subItems_[static_cast<size_t>(column) - 1];
}

int TListItem::Index() const {
  owner_->EnsureSorted();
  const auto& items = owner_->items_;
  for (size_t i = 0; i < items.size(); ++i)
    if (items[i] == this) return static_cast<int>(i);
  return -1;
}

TListView::TListView(TComponent* owner)
    : TControl(owner, [&] {
        auto impl = std::make_unique<TControlImpl>();
        impl->widget = NewView(owner);
        return impl;
      }()) {
  QTreeView* view = ViewOf(Handle());
  auto* model = new TListModel(this);
  model->setParent(view);
  view->setModel(model);
  view->setRootIsDecorated(false);
  view->setItemsExpandable(false);
  view->setUniformRowHeights(true);
  view->setAllColumnsShowFocus(true);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setFocusPolicy(Qt::StrongFocus);
  view->header()->setSectionsClickable(true);
  view->header()->setSectionsMovable(false);
  view->header()->setStretchLastSection(false);
  QObject::connect(view->header(), &QHeaderView::sectionClicked, view, [this](int section) { ColumnClicked(section); });
}

TListView::~TListView() {
  if (QTreeView* view = ViewOf(Handle())) {
    // The model must not read rows that are going away.
    if (auto* model = dynamic_cast<TListModel*>(view->model())) model->list_ = nullptr;
  }
}

TListColumn* TListView::AddColumn(const std::string& caption, int width) {
  auto column = std::make_unique<TListColumn>();
  column->Caption = caption;
  column->Width = width;
  column->Index = ColumnCount();
  columns_.push_back(std::move(column));
  if (QTreeView* view = ViewOf(Handle())) {
    static_cast<TListModel*>(view->model())->Reset();
    for (int i = 0; i < ColumnCount(); ++i) view->setColumnWidth(i, columns_[static_cast<size_t>(i)]->Width);
  }
  return columns_.back().get();
}

TListColumn* TListView::Column(int index) const {
  if (index < 0 || index >= ColumnCount()) throw EListError("List index out of bounds (%d)", {index});
  return columns_[static_cast<size_t>(index)].get();
}

TListItem* TListView::Add() {
  storage_.push_back(TListItem(this));
  items_.push_back(&storage_.back());
  Changed();
  return items_.back();
}

void TListView::Clear() {
  // The view lets go of the rows before they are freed.
  items_.clear();
  storage_.clear();
  unsorted_ = false;
  shownStale_ = true;
  if (updateCount_ == 0) Refresh();
}

TListItem* TListView::Item(int index) {
  EnsureSorted();
  if (index < 0 || index >= Count()) throw EListError("List index out of bounds (%d)", {index});
  return items_[static_cast<size_t>(index)];
}

void TListView::BeginUpdate() { ++updateCount_; }

void TListView::EndUpdate() {
  if (updateCount_ > 0 && --updateCount_ == 0) Refresh();
}

void TListView::SetSortType(TSortType type) {
  sortType_ = type;
  if (type != stNone) Changed();
}

void TListView::SetRowSelect(bool on) {
  rowSelect_ = on;
  if (QTreeView* view = ViewOf(Handle()))
    view->setSelectionBehavior(on ? QAbstractItemView::SelectRows : QAbstractItemView::SelectItems);
}

void TListView::Changed() {
  if (sortType_ != stNone) unsorted_ = true;
  shownStale_ = true;
  if (updateCount_ > 0 || refreshPosted_ || !Handle()) return;
  // Outside an update the rows are sorted and shown once control returns to
  // the message loop, however many changes come before.
  refreshPosted_ = true;
  QTimer::singleShot(0, ViewOf(Handle()), [this] {
    refreshPosted_ = false;
    if (updateCount_ == 0) Refresh();
  });
}

void TListView::EnsureSorted() {
  if (!unsorted_) return;
  unsorted_ = false;
  AlphaSort();
}

void TListView::AlphaSort() {
  unsorted_ = false;
  // The order is worked out on plain pointers first, so that a compare
  // handler that raises leaves every row in place.
  std::vector<TListItem*> order(items_);
  std::stable_sort(order.begin(), order.end(), [this](TListItem* a, TListItem* b) {
    int result = 0;
    if (OnCompare) OnCompare(this, a, b, 0, result);
    else result = CompareText(a->Caption(), b->Caption());
    return result < 0;
  });
  items_.swap(order);
  shownStale_ = true;
  if (updateCount_ == 0) Refresh();
}

void TListView::Refresh() {
  EnsureSorted();
  if (!shownStale_) return;
  shownStale_ = false;
  if (QTreeView* view = ViewOf(Handle())) static_cast<TListModel*>(view->model())->Reset();
}

TListItem* TListView::Selected() {
  Refresh();
  QTreeView* view = ViewOf(Handle());
  if (!view) return nullptr;
  const QModelIndexList rows = view->selectionModel()->selectedRows();
  if (rows.isEmpty() || rows.front().row() >= Count()) return nullptr;
  return items_[static_cast<size_t>(rows.front().row())];
}

void TListView::SetSelected(TListItem* item) {
  Refresh();
  QTreeView* view = ViewOf(Handle());
  if (!view) return;
  if (!item) {
    view->selectionModel()->clearSelection();
    return;
  }
  const int row = item->Index();
  view->selectionModel()->select(view->model()->index(row, 0),
                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TListView::ColumnClicked(int index) {
  if (index < 0 || index >= ColumnCount() || !OnColumnClick) return;
  TListColumn* column = columns_[static_cast<size_t>(index)].get();
  InvokeEventHandler([&] { OnColumnClick(this, column); });
}
