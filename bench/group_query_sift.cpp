#include "group_query_sift.h"

#include "platform/db.h"
#include "sql_engine/query/custom_sift.h"

namespace bench {

struct SiftRows::Impl {
  TSift q;
};

SiftRows::SiftRows(TDataSet* phones) : impl_(std::make_unique<Impl>()) { impl_->q.AddDataSet(phones, "Phones"); }

SiftRows::~SiftRows() = default;

std::vector<std::string> SiftRows::Run(const std::string& sql) {
  TSift& q = impl_->q;
  q.SetSQL(sql);
  q.Open();
  const int n = q.Fields().Count();
  std::vector<std::string> rows;
  q.First();
  while (!q.Eof()) {
    std::string row;
    for (int f = 0; f < n; ++f) {
      std::string v = q.Fields().Fields(f)->AsString();
      while (!v.empty() && v.back() == ' ') v.pop_back();
      if (f > 0) row += "|";
      row += v;
    }
    rows.push_back(std::move(row));
    q.Next();
  }
  q.Close();
  return rows;
}

}  // namespace bench
