#include "platform/db_links.h"

#include <algorithm>

#include "platform/db.h"
#include "platform/exceptions.h"

// ---- TDataSource ------------------------------------------------------------

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  Destroying();
  OnStateChange = nullptr;
  OnDataChange = nullptr;
  OnUpdateData = nullptr;
  BestEffort([&] { SetDataSet(nullptr); });
  while (!links_.empty()) {
    TDataLink* link = links_.back();
    links_.pop_back();
    link->dataSource_ = nullptr;
    BestEffort([&] { link->UpdateState(); });
  }
}

void TDataSource::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset != nullptr && IsLinkedTo(dataset)) DatabaseError(dbmsg::CircularDataLink);
  if (dataset_ != nullptr) {
    RemoveFreeNotification(dataset_);
    dataset_->RemoveDataSource(this);
  }
  dataset_ = dataset;
  if (dataset_ != nullptr) {
    FreeNotification(dataset_);
    dataset_->AddDataSource(this);
  }
  UpdateState();
}

void TDataSource::SetEnabled(bool on) {
  if (enabled_ == on) return;
  enabled_ = on;
  UpdateState();
}

bool TDataSource::IsLinkedTo(TDataSet* dataset) const {
  while (dataset != nullptr) {
    TDataSource* source = dataset->GetDataSource();
    if (source == nullptr) break;
    if (source == this) return true;
    dataset = source->DataSet();
  }
  return false;
}

void TDataSource::Edit() {
  if (AutoEdit && dataset_ != nullptr && state_ == dsBrowse) dataset_->Edit();
}

void TDataSource::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == opRemove && component != nullptr && component == dataset_) {
    dataset_ = nullptr;
    UpdateState();
  }
}

void TDataSource::UpdateState() {
  TDataSetState s = (enabled_ && dataset_ != nullptr) ? dataset_->State() : dsInactive;
  if (s == state_) return;
  state_ = s;
  std::vector<TDataLink*> links = links_;
  for (TDataLink* l : links)
    if (std::find(links_.begin(), links_.end(), l) != links_.end()) l->UpdateState();
  if (!InState(csDestroying) && OnStateChange) OnStateChange(this);
}

void TDataSource::DataEvent(TDataEvent event, intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (state_ == dsInactive) return;
  std::vector<TDataLink*> links = links_;
  for (TDataLink* l : links)
    if (std::find(links_.begin(), links_.end(), l) != links_.end()) l->DataEvent(event, info);
  switch (event) {
    case deFieldChange:
      if (OnDataChange) OnDataChange(this, reinterpret_cast<TField*>(info));
      break;
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(this);
      break;
    default: break;
  }
}

void TDataSource::AddDataLink(TDataLink* link) {
  links_.push_back(link);
  if (dataset_ != nullptr) dataset_->UpdateBufferCount();
}

void TDataSource::RemoveDataLink(TDataLink* link) {
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
  if (dataset_ != nullptr) dataset_->UpdateBufferCount();
}

// ---- TDataLink --------------------------------------------------------------

TDataLink::~TDataLink() {
  active_ = false;
  editing_ = false;
  if (dataSource_ != nullptr) {
    BestEffort([&] { dataSource_->RemoveDataLink(this); });
    dataSource_ = nullptr;
  }
}

TDataSet* TDataLink::DataSet() const { return dataSource_ ? dataSource_->DataSet() : nullptr; }

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == dataSource_) return;
  if (dataSource_ != nullptr) dataSource_->RemoveDataLink(this);
  dataSource_ = source;
  if (dataSource_ != nullptr) dataSource_->AddDataLink(this);
  UpdateState();
}

void TDataLink::SetBufferCount(int count) {
  if (count < 1) count = 1;
  if (count == bufferCount_) return;
  bufferCount_ = count;
  TDataSet* ds = DataSet();
  if (ds != nullptr) ds->UpdateBufferCount();
  if (active_) UpdateRange();
}

int TDataLink::ActiveRecord() const {
  TDataSet* ds = DataSet();
  if (ds == nullptr || !active_) return 0;
  return ds->ActiveRecord() - firstRecord_;
}

void TDataLink::SetActiveRecord(int index) {
  TDataSet* ds = DataSet();
  if (ds != nullptr && active_) ds->activeRecord_ = index + firstRecord_;
}

int TDataLink::RecordCount() const {
  TDataSet* ds = DataSet();
  if (ds == nullptr || !active_) return 0;
  int n = ds->BufferRecordCount() - firstRecord_;
  if (n > bufferCount_) n = bufferCount_;
  return n < 0 ? 0 : n;
}

bool TDataLink::Edit() {
  if (dataSource_ != nullptr && !editing_ && !ReadOnly) dataSource_->Edit();
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

void TDataLink::UpdateRange() {
  TDataSet* ds = DataSet();
  if (ds == nullptr) return;
  int lo = ds->ActiveRecord() - bufferCount_ + 1;
  if (lo < 0) lo = 0;
  int hi = ds->BufferCount() - bufferCount_;
  if (hi < 0) hi = 0;
  if (hi > ds->ActiveRecord()) hi = ds->ActiveRecord();
  if (firstRecord_ < lo) firstRecord_ = lo;
  if (firstRecord_ > hi) firstRecord_ = hi;
}

void TDataLink::UpdateState() {
  TDataSet* ds = DataSet();
  SetActive(dataSource_ != nullptr && dataSource_->Enabled() && ds != nullptr && ds->Active());
  TDataSetState s = dataSource_ ? dataSource_->State() : dsInactive;
  SetEditing(s == dsEdit || s == dsInsert || s == dsSetKey);
}

void TDataLink::SetActive(bool on) {
  if (active_ == on) return;
  active_ = on;
  if (on) UpdateRange();
  else firstRecord_ = 0;
  ActiveChanged();
}

void TDataLink::SetEditing(bool on) {
  if (editing_ == on) return;
  editing_ = on;
  EditingChanged();
}

void TDataLink::DataEvent(TDataEvent event, intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (!active_) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (!updating_) RecordChanged(reinterpret_cast<TField*>(info));
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
      int old_first = firstRecord_;
      // info is how far the dataset's buffers rotated (negative: towards the
      // end); the window first follows its records, then the active one.
      if (event == deDataSetScroll) firstRecord_ += static_cast<int>(info);
      UpdateRange();
      if (event == deDataSetScroll) DataSetScrolled(firstRecord_ - old_first - static_cast<int>(info));
      else if (event == deLayoutChange) LayoutChanged();
      else DataSetChanged();
      break;
    }
    case deUpdateRecord: UpdateRecord(); break;
    case deCheckBrowseMode: CheckBrowseMode(); break;
    case deFocusControl: FocusControl(reinterpret_cast<TField*>(info)); break;
    default: break;
  }
}

// ---- TMasterDataLink --------------------------------------------------------

void TMasterDataLink::SetFieldNames(const std::string& names) {
  if (names == fieldNames_) return;
  fieldNames_ = names;
  ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
  fields_.clear();
  if (Active()) {
    try {
      fields_ = DataSet()->GetFieldList(fieldNames_);
    } catch (...) {
      fields_.clear();
      throw;
    }
  }
  if (detail_ != nullptr && detail_->Active() && !detail_->InState(csDestroying)) {
    if (Active() && !fields_.empty()) {
      if (OnMasterChange) OnMasterChange(this);
    } else if (OnMasterDisable) {
      OnMasterDisable(this);
    }
  }
}

void TMasterDataLink::CheckBrowseMode() {
  if (detail_ != nullptr && detail_->Active()) detail_->CheckBrowseMode();
}

void TMasterDataLink::RecordChanged(TField* field) {
  if (DataSource() == nullptr || DataSource()->State() == dsSetKey) return;
  if (detail_ == nullptr || !detail_->Active() || fields_.empty() || !OnMasterChange) return;
  if (field != nullptr && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
  OnMasterChange(this);
}
