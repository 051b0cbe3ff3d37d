#include "query_search_sift.h"

#include "platform/db.h"
#include "platform/exceptions.h"
#include "sql_engine/query/custom_sift.h"
#include "sqlite_rows.h"
#if DIRLOOK_BENCH_BINDING
#include "corvid_sift.h"
#endif

namespace bench {

struct SiftSearch::Impl {
#if DIRLOOK_BENCH_BINDING
  std::unique_ptr<TCustomSift> owned;
  TCustomSift& q;
  explicit Impl(bool binding)
      : owned(binding ? std::unique_ptr<TCustomSift>(new TCorvidSift) : std::make_unique<TSift>()), q(*owned) {}
#else
  explicit Impl(bool) {}
  TSift q;
#endif
  int handled = 0;
};

SiftSearch::SiftSearch(TDataSet* phones, bool filterHook) : impl_(std::make_unique<Impl>(filterHook)) {
  impl_->q.AddDataSet(phones, "Phones");
  if (!filterHook) return;
  Impl* impl = impl_.get();
#if DIRLOOK_BENCH_BINDING
  // The application's binding decides what the dataset's filter takes.
  static_cast<TCorvidSift&>(impl->q).Loaded();
  impl->q.OnCancelQuery = [impl, phones](TCustomSift*, bool&) {
    if (phones->Filtered()) ++impl->handled;
  };
  return;
#endif
  impl->q.OnSetFilter = [impl](TCustomSift*, TDataSet* d, const std::string& filter, bool, bool& handled) {
    handled = false;
    try {
      d->SetFilter(filter);
      d->SetFiltered(true);
    } catch (const Exception&) {
      return;  // not the table engine's language: the query tests WHERE itself
    }
    handled = true;
    ++impl->handled;
  };
  impl->q.OnCancelFilter = [](TCustomSift*, TDataSet* d, bool) { d->SetFiltered(false); };
}

SiftSearch::~SiftSearch() = default;

int64_t SiftSearch::Run(const std::string& sql, int64_t* bytes, RowDigest* digest) {
  TCustomSift& q = impl_->q;
  q.SetSQL(sql);
  q.Open();
  TField* fields[5];
  for (int f = 0; f < 5; ++f) fields[f] = q.Fields().Fields(f);
  int64_t rows = 0, n = 0;
  q.First();
  while (!q.Eof()) {
    ++rows;
    if (digest) {
      for (TField* f : fields) {
        const std::string v = f->AsString();
        n += static_cast<int64_t>(v.size());
        digest->Cell(v);
      }
      digest->EndRow();
    } else {
      for (TField* f : fields) n += static_cast<int64_t>(f->AsString().size());
    }
    q.Next();
  }
  q.Close();
  if (bytes) *bytes = n;
  return rows;
}

int SiftSearch::Handled() const { return impl_->handled; }

}  // namespace bench
