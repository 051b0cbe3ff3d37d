// Data sources and data links: how a dataset tells the things bound to it
// (controls, detail datasets, queries) about its changes.
//
// A `TDataSource` connects one dataset to any number of `TDataLink`s.  The
// dataset sends every data event to its data sources, which pass them to
// their links while they are enabled; a link turns them into calls of its
// virtual operations (ActiveChanged, EditingChanged, RecordChanged,
// DataSetChanged, DataSetScrolled, LayoutChanged, CheckBrowseMode,
// UpdateData).  While the dataset's controls are disabled nothing reaches
// the links.
//
// A link that shows several records asks for that many record buffers
// (`SetBufferCount`); the dataset keeps at least as many as its most
// demanding link.  `ActiveRecord` is the link's index of the dataset's
// active record within the link's window of buffers.
//
// `TMasterDataLink` links a detail dataset to its master: `FieldNames`
// (";"-separated master field names) resolve to `Fields` whenever the master
// opens; `OnMasterChange` fires when the master moves or one of those fields
// changes, `OnMasterDisable` when the master closes or has no such fields.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/db_common.h"

class TDataSet;
class TDataLink;
class TField;

using TDataChangeEvent = std::function<void(class TDataSource* sender, TField* field)>;
using TSourceNotifyEvent = std::function<void(class TDataSource* sender)>;

class TDataSource : public TComponent {
public:
  explicit TDataSource(TComponent* owner = nullptr);
  ~TDataSource() override;

  TDataSet* DataSet() const { return dataset_; }
  // "Circular datalinks are not allowed" when the dataset is (through its
  // own data source chain) linked to this data source.
  void SetDataSet(TDataSet* dataset);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);
  bool AutoEdit = true;
  // The dataset's state as the links see it (inactive when disabled).
  TDataSetState State() const { return state_; }
  // True when `dataset` reaches this data source through its data-source
  // chain (dataset -> its data source -> that one's dataset ...).
  bool IsLinkedTo(TDataSet* dataset) const;
  // Puts the dataset into edit mode when AutoEdit allows.
  void Edit();

  TSourceNotifyEvent OnStateChange;
  TDataChangeEvent OnDataChange;
  TSourceNotifyEvent OnUpdateData;

  int LinkCount() const { return static_cast<int>(links_.size()); }
  TDataLink* Links(int i) const { return links_[static_cast<size_t>(i)]; }

protected:
  void Notification(TComponent* component, TOperation operation) override;

private:
  friend class TDataSet;
  friend class TDataLink;
  void DataEvent(TDataEvent event, intptr_t info);
  void UpdateState();
  void AddDataLink(TDataLink* link);
  void RemoveDataLink(TDataLink* link);

  TDataSet* dataset_ = nullptr;
  bool enabled_ = true;
  TDataSetState state_ = dsInactive;
  std::vector<TDataLink*> links_;
};

class TDataLink {
public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return dataSource_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const;
  bool Active() const { return active_; }
  bool Editing() const { return editing_; }
  bool ReadOnly = false;
  int BufferCount() const { return bufferCount_; }
  void SetBufferCount(int count);
  // Index of the dataset's active record in this link's window.
  int ActiveRecord() const;
  void SetActiveRecord(int index);
  // Records in this link's window.
  int RecordCount() const;
  // Puts the dataset into edit mode (data source's AutoEdit) and answers
  // whether it is editing.
  bool Edit();
  // Asks the owner of the link to write pending values (UpdateData) once.
  void UpdateRecord();

protected:
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int distance) {
    (void)distance;
    DataSetChanged();
  }
  virtual void EditingChanged() {}
  virtual void FocusControl(TField* field) { (void)field; }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* field) { (void)field; }
  virtual void UpdateData() {}

private:
  friend class TDataSource;
  friend class TDataSet;
  void DataEvent(TDataEvent event, intptr_t info);
  void UpdateState();
  void SetActive(bool on);
  void SetEditing(bool on);
  void UpdateRange();

  TDataSource* dataSource_ = nullptr;
  bool active_ = false;
  bool editing_ = false;
  bool updating_ = false;
  int bufferCount_ = 1;
  int firstRecord_ = 0;
};

// A link whose data source is the master of a dataset.
class TDetailDataLink : public TDataLink {
public:
  virtual TDataSet* DetailDataSet() const { return nullptr; }
};

class TMasterDataLink : public TDetailDataLink {
public:
  explicit TMasterDataLink(TDataSet* detail) : detail_(detail) {}
  TDataSet* DetailDataSet() const override { return detail_; }
  const std::string& FieldNames() const { return fieldNames_; }
  void SetFieldNames(const std::string& names);
  const std::vector<TField*>& Fields() const { return fields_; }

  std::function<void(TMasterDataLink* sender)> OnMasterChange;
  std::function<void(TMasterDataLink* sender)> OnMasterDisable;

protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void LayoutChanged() override { ActiveChanged(); }
  void RecordChanged(TField* field) override;

private:
  TDataSet* detail_;
  std::string fieldNames_;
  std::vector<TField*> fields_;
};
