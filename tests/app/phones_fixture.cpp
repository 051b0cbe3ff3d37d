#include "phones_fixture.h"

#include "dbf_dataset/dataset_test_util.h"

struct PhonesTable::Impl {
  TempDir dir{"dirlook-sift"};
  TCorvidDataSet ds;
};

PhonesTable::PhonesTable(int rows) : impl(std::make_unique<Impl>()) {
  MakePhones(impl->dir / "phones.dbf", rows);
  Place(impl->ds, impl->dir, "phones.dbf");
  impl->ds.Open();
}
PhonesTable::~PhonesTable() = default;
TDataSet* PhonesTable::dataset() const { return &impl->ds; }
TCorvidDataSet* PhonesTable::corvid() const { return &impl->ds; }
void PhonesTable::AddIndex(const std::string& file, const std::string& key, bool unique) {
  impl->ds.IndexOn(file, "", key, "", unique ? CVsetIndexUnique::Unique : CVsetIndexUnique::Duplicates,
                   CVsetSortStatus::Ascending);
  impl->ds.SetIndexName("");
}
std::vector<std::string> PhonesTable::Walk(const std::string& field) const { return ::Walk(impl->ds, field); }
