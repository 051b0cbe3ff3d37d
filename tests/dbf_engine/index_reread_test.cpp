// A reader of a shared index file that meets a page that does not decode
// reads it again before it calls the file corrupt: the page may have been
// read while another handle was half-way through writing it.  Here the
// page image changes under the reader between reads (a file whose reads
// of one page come back garbled a given number of times, or whenever the
// handle does not hold the index lock), for every index kind.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cdx_test_table.h"
#include "dbf_engine/index/mdx_index.h"
#include "dbf_engine/index/ndx_index.h"
#include "dbf_engine/index/ntx_index.h"

namespace {

// An index file whose reads at one position (any position: -2) come back
// as 0xFF bytes while `garble` says so (it is asked once per read there).
template <class Base>
class GarbledFile : public Base {
public:
  using Base::Base;
  int64_t position = -1;
  int reads = 0;
  std::function<bool()> garble = [] { return false; };

  bool PageRead(int64_t at, void* buffer, int32_t length) override {
    const bool ok = Base::PageRead(at, buffer, length);
    if (at == position || position == -2) {
      ++reads;
      if (garble()) std::memset(buffer, 0xFF, static_cast<size_t>(length));
    }
    return ok;
  }
};

struct KindCase {
  const char* ext;
  int64_t unit;  // bytes per page number
};

class IndexReread : public CdxTest {
protected:
  std::string Path(const KindCase& k) const { return (dir / (std::string("people.") + k.ext)).string(); }

  void Build(const KindCase& k) {
    for (int i = 1; i <= 800; ++i) table.Add(Name(i));
    Open(k, false, true)->AddTag("T", "NAME", "", true, false);
  }
  // Opens (or creates) the file as a GarbledFile of its kind.
  std::unique_ptr<CVobjIndexFile> Open(const KindCase& k, bool shared, bool create = false) {
    const std::string p = Path(k);
    const std::string ext = k.ext;
    if (ext == "ntx") return std::make_unique<GarbledFile<CVobjNTXFile>>(&table, p, true, shared, create, create);
    if (ext == "ndx") return std::make_unique<GarbledFile<CVobjNDXFile>>(&table, p, true, shared, create, create);
    if (ext == "mdx") return std::make_unique<GarbledFile<CVobjMDXFile>>(&table, p, true, shared, create, create);
    return std::make_unique<GarbledFile<CVobjCDXFile>>(&table, p, true, shared, create, create);
  }
  // The file's reads of its root page (every read: all) come back garbled
  // while `garble` says so.
  template <class F>
  static void GarbleRoot(const KindCase& k, CVobjIndexFile& f, F garble, bool all = false) {
    const int64_t at = all ? -2 : f.TagByNumber(0)->RootPage() * k.unit;
    const std::string ext = k.ext;
    auto set = [&](auto* g) {
      g->position = at;
      g->garble = garble;
    };
    if (ext == "ntx") set(static_cast<GarbledFile<CVobjNTXFile>*>(&f));
    if (ext == "ndx") set(static_cast<GarbledFile<CVobjNDXFile>*>(&f));
    if (ext == "mdx") set(static_cast<GarbledFile<CVobjMDXFile>*>(&f));
    if (ext == "cdx") set(static_cast<GarbledFile<CVobjCDXFile>*>(&f));
  }
};

TEST_F(IndexReread, SharedReaderReadsAPageAgainBeforeCallingTheFileCorrupt) {
  const KindCase kinds[] = {{"ntx", 1}, {"ndx", 512}, {"mdx", 512}, {"cdx", 1}};
  for (const KindCase& k : kinds) {
    SCOPED_TRACE(k.ext);
    table.rows.clear();
    table.old.clear();
    Build(k);
    TcvVariant sought;
    sought.PutString(Name(417));

    // Read while a writer was at it twice: the third read finds.
    {
      auto f = Open(k, true);
      int bad = 2;
      GarbleRoot(k, *f, [&] { return bad-- > 0; });
      EXPECT_EQ(f->TagByNumber(0)->KeyFind(sought), 417);
      EXPECT_EQ(bad, -1);
      bad = 2;
      f->TagByNumber(0)->TagClose();  // nothing kept: the open reads the root
      f->TagByNumber(0)->TagOpen(cvTagOpenTop);
      EXPECT_EQ(f->TagByNumber(0)->CurrentRecord(), 1);
      EXPECT_LT(bad, 0);
    }
    // Garbled as long as a writer may be at work: the last read, under the
    // index lock, finds; the lock is given back.
    {
      auto f = Open(k, true);
      CVO_DiskFile* d = f->DiskFile();
      bool sawLock = false;
      GarbleRoot(k, *f, [&] {
        sawLock = sawLock || d->LockCount() > 0;
        return d->LockCount() == 0;
      });
      EXPECT_EQ(f->TagByNumber(0)->KeyFind(sought), 417);
      EXPECT_TRUE(sawLock);
      EXPECT_EQ(d->LockCount(), 0);
    }
    // Damaged for good: still the corruption error, and no lock left held.
    {
      auto f = Open(k, true);
      GarbleRoot(k, *f, [] { return true; });
      try {
        f->TagByNumber(0)->KeyFind(sought);
        ADD_FAILURE() << "a damaged page was taken for sound";
      } catch (const ECorvidError& e) {
        EXPECT_NE(std::string(e.what()).find("is corrupted"), std::string::npos) << e.what();
      }
      EXPECT_EQ(f->DiskFile()->LockCount(), 0);
    }
    // A file this handle has to itself changes under nobody's hands: a page
    // that does not decode is damaged at the first read.
    {
      auto f = Open(k, false);
      int bad = 1;
      GarbleRoot(k, *f, [&] { return bad-- > 0; });
      EXPECT_THROW(f->TagByNumber(0)->KeyFind(sought), ECorvidError);
    }
    // Stepping on through pages another handle may have rewritten since the
    // path was read: a step that meets a page that does not decode is taken
    // again from the current key, and the walk is the undisturbed one.
    {
      auto walk = [&](CVobjIndexTag* t) {
        std::vector<int32_t> out;
        for (int i = 0; i < 300; ++i) out.push_back(t->KeyRead(i < 150 ? cvReadNext : cvReadPrevious));
        return out;
      };
      std::vector<int32_t> want;
      {
        auto f = Open(k, true);
        ASSERT_EQ(f->TagByNumber(0)->KeyFind(sought), 417);
        want = walk(f->TagByNumber(0));
        EXPECT_EQ(want[149], 567);
      }
      auto f = Open(k, true);
      CVobjIndexTag* t = f->TagByNumber(0);
      ASSERT_EQ(t->KeyFind(sought), 417);
      int bad = 0, garbled = 0;
      GarbleRoot(
          k, *f,
          [&] {
            if (bad <= 0) return false;
            --bad;
            ++garbled;
            return true;
          },
          true);
      std::vector<int32_t> got;
      for (int i = 0; i < 300; ++i) {
        if (bad <= 0) bad = 2;  // the next two reads, whichever they are
        got.push_back(t->KeyRead(i < 150 ? cvReadNext : cvReadPrevious));
      }
      EXPECT_EQ(got, want);
      EXPECT_GT(garbled, 2);
    }
    if (HasFailure()) return;
  }
}

}  // namespace
