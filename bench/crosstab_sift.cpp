#include "crosstab_sift.h"

#include "platform/db.h"
#include "sql_engine/query/custom_sift.h"

namespace bench {

struct SiftCrossTab::Impl {
  TSift q;
};

SiftCrossTab::SiftCrossTab(TDataSet* phones) : impl_(std::make_unique<Impl>()) {
  impl_->q.AddDataSet(phones, "Phones");
}

SiftCrossTab::~SiftCrossTab() = default;

namespace {
std::string TrimRight(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}
}  // namespace

CrossTabTotals SiftCrossTab::Run(const std::string& sql, int headings, CrossTabCells* cells) {
  TSift& q = impl_->q;
  q.SetSQL(sql);
  q.Open();
  CrossTabTotals t;
  const int n = q.Fields().Count();
  t.columns = n;
  q.First();
  while (!q.Eof()) {
    ++t.rows;
    for (int f = headings; f < n; ++f) {
      TField* field = q.Fields().Fields(f);
      if (field->IsNull()) continue;
      ++t.cells;
      t.sum += field->AsFloat();
      if (cells)
        (*cells)[{TrimRight(q.Fields().Fields(0)->AsString()), TrimRight(field->FieldName())}] = field->AsFloat();
    }
    q.Next();
  }
  q.Close();
  return t;
}

}  // namespace bench
