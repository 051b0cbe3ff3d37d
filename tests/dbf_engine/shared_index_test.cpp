// Index files of a shared table written through two handles: each handle's
// updates work on the file as it stands, not on a tree it read earlier, and
// the operations that rebuild a file take the whole-file lock.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/index/cdx_index.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/table_file.h"
#include "dbf_engine/table_test_util.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "common/sanitizer.h"

namespace {

struct Kind {
  const char* file;
  const char* tag;
  bool byRecord;  // equal keys in record order (else in the order they came)
};
const Kind kKinds[] = {{"a.ntx", "A", false}, {"b.ndx", "B", false}, {"m.mdx", "M", false}, {"c.cdx", "C", true}};

std::string Trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// NAME C(10), FM N(8,2), with `rows` records named R1, R2, ...
std::string MakeTable(const TempDir& dir, int rows) {
  const std::string t = dir / "t.dbf";
  cvCreateDBF(t, "3", [](int i, std::string& n, std::string& ty, int32_t& l, int32_t& d) {
    if (i == 1) n = "NAME", ty = "C", l = 10, d = 0;
    if (i == 2) n = "FM", ty = "N", l = 8, d = 2;
    return true;
  });
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  for (int r = 1; r <= rows; ++r) {
    h.cvBlank();
    h.cvFieldPush(1, "R" + std::to_string(r));
    h.cvFieldPush(2, std::to_string(r));
    h.cvAppend();
  }
  h.cvCloseTable();
  return t;
}

void Build(const std::string& t, const Kind& k, const std::string& keyExpr = "NAME") {
  CVO_dBHandler h(t, "", true, false);
  h.kvSetTranslateAscii(false);
  h.cvIndexTo(k.file, k.tag, keyExpr, "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
}

struct Entry {
  std::string key;
  int32_t rec;
  bool deleted;
  bool operator==(const Entry&) const = default;
};

// The walk of a handle's active order: each key with its record, checked
// against the record's own NAME.
std::vector<Entry> Walk(CVO_dBHandler& h) {
  std::vector<Entry> out;
  for (h.cvGetRec(cvReadTop); !h.cvEOF() && !h.cvBOF(); h.cvGetRec(cvReadNext)) {
    std::string key;
    h.cvGetKey(-5, key);
    EXPECT_EQ(Trimmed(key), Trimmed(h.cvStringGet("NAME"))) << "record " << h.cvCurrentRecord();
    out.push_back({Trimmed(key), h.cvCurrentRecord(), h.cvDelFlag()});
    if (out.size() > 10000) break;
  }
  return out;
}

// What the index must hold, in its order.
class Model {
public:
  explicit Model(bool byRecord) : byRecord_(byRecord) {}
  void Set(int32_t rec, const std::string& key) {
    // An unchanged key keeps its place.
    for (const Entry& e : order_)
      if (e.rec == rec && e.key == key) return;
    order_.erase(std::remove_if(order_.begin(), order_.end(), [&](const Entry& e) { return e.rec == rec; }),
                 order_.end());
    // A new key goes after every equal key, or among them by record.
    auto at = std::find_if(order_.begin(), order_.end(),
                           [&](const Entry& e) { return e.key > key || (byRecord_ && e.key == key && e.rec > rec); });
    order_.insert(at, {key, rec, Deleted(rec)});
    if (static_cast<size_t>(rec) > deleted_.size()) deleted_.resize(static_cast<size_t>(rec), false);
  }
  void SetDeleted(int32_t rec, bool d) {
    deleted_[static_cast<size_t>(rec - 1)] = d;
    for (auto& e : order_)
      if (e.rec == rec) e.deleted = d;
  }
  bool Deleted(int32_t rec) const {
    return static_cast<size_t>(rec) <= deleted_.size() && deleted_[static_cast<size_t>(rec - 1)];
  }
  int32_t Count() const { return static_cast<int32_t>(order_.size()); }
  const std::vector<Entry>& Order() const { return order_; }

private:
  bool byRecord_;
  std::vector<Entry> order_;
  std::vector<bool> deleted_;
};

std::string RandomName(std::mt19937& rng) {
  std::string s(1 + rng() % 5, 'A');
  for (char& c : s) c = static_cast<char>('A' + rng() % 4);
  return s;
}

// Two users of one shared table, both ordered by the same tag, append,
// change keys and delete or recall records in turn; the index stays the
// model's order, read by either user or by a third.
TEST(SharedIndex, TwoHandlesRandomEditsMatchTheModel) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const std::string t = MakeTable(dir, 4);
    Build(t, k);
    Model model(k.byRecord);
    for (int32_t r = 1; r <= 4; ++r) model.Set(r, "R" + std::to_string(r));
    CVO_dBHandler a(t, "", true, true), b(t, "", true, true);
    CVO_dBHandler* users[2] = {&a, &b};
    for (CVO_dBHandler* h : users) {
      h->kvSetTranslateAscii(false);
      ASSERT_EQ(h->cvIndex(k.file, k.tag), 0);
    }
    std::mt19937 rng(20261207);
    for (int step = 1; step <= 120; ++step) {
      CVO_dBHandler& h = *users[rng() % 2];
      const int what = static_cast<int>(rng() % 6);
      const int32_t rec = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(model.Count()));
      std::string did;
      if (what < 2) {
        const std::string name = RandomName(rng);
        h.cvBlank();
        h.cvFieldPush(1, name);
        h.cvAppend();
        model.Set(model.Count() + 1, name);
        did = "append " + name;
      } else if (what < 5) {
        const std::string name = RandomName(rng);
        h.cvGetRec(rec);
        ASSERT_TRUE(h.cvRLock());
        h.cvGetRec(cvReadCurrent);
        h.cvFieldPush(1, name);
        h.cvPutRec(rec);
        h.cvLockOff();
        model.Set(rec, name);
        did = "change " + std::to_string(rec) + " to " + name;
      } else {
        h.cvGetRec(rec);
        const bool del = !model.Deleted(rec);
        if (del) h.cvDeleteRec();
        else h.cvUndelete();
        model.SetDeleted(rec, del);
        did = (del ? "delete " : "recall ") + std::to_string(rec);
      }
      SCOPED_TRACE("step " + std::to_string(step) + ": " + did);
      // A third reader checks the file after every step.  The users' own
      // walks read their trees afresh, which would hide a stale tree from
      // the next update, so they are checked only now and then.
      CVO_dBHandler c(t, "", false, true);
      c.kvSetTranslateAscii(false);
      ASSERT_EQ(c.cvIndex(k.file, k.tag), 0);
      ASSERT_EQ(Walk(c), model.Order());
      if (rng() % 4 == 0) {
        ASSERT_EQ(Walk(a), model.Order());
        ASSERT_EQ(Walk(b), model.Order());
      }
    }
    EXPECT_EQ(Walk(a), model.Order());
    EXPECT_EQ(Walk(b), model.Order());
  }
}

// One user's key change survives the other's append through a tag it had
// opened before the change.
TEST(SharedIndex, AppendThroughAnOpenTagKeepsTheOtherUsersChange) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const std::string t = MakeTable(dir, 2);
    Build(t, k);
    CVO_dBHandler a(t, "", true, true), b(t, "", true, true);
    for (CVO_dBHandler* h : {&a, &b}) {
      h->kvSetTranslateAscii(false);
      ASSERT_EQ(h->cvIndex(k.file, k.tag), 0);
    }
    a.cvGetRec(1);
    ASSERT_TRUE(a.cvRLock());
    a.cvGetRec(cvReadCurrent);
    a.cvFieldPush(1, "X");
    a.cvPutRec(1);
    a.cvLockOff();
    b.cvBlank();
    b.cvFieldPush(1, "C");
    b.cvAppend();
    const std::vector<Entry> want = {{"C", 3, false}, {"R2", 2, false}, {"X", 1, false}};
    CVO_dBHandler c(t, "", false, true);
    c.kvSetTranslateAscii(false);
    ASSERT_EQ(c.cvIndex(k.file, k.tag), 0);
    EXPECT_EQ(Walk(c), want);
  }
}

// Each change raises the CDX list counter from the value in the file, so
// two writers never write the same value and each sees the other's change.
TEST(SharedIndex, CdxCounterCountsEveryUsersChange) {
  TempDir dir;
  const std::string t = MakeTable(dir, 3);
  Build(t, kKinds[3]);
  CVO_dBHandler a(t, "", true, true), b(t, "", true, true);
  for (CVO_dBHandler* h : {&a, &b}) {
    h->kvSetTranslateAscii(false);
    ASSERT_EQ(h->cvIndex("c.cdx", ""), 0);
  }
  auto edit = [](CVO_dBHandler& h, int32_t rec, const std::string& name) {
    h.cvGetRec(rec);
    ASSERT_TRUE(h.cvRLock());
    h.cvGetRec(cvReadCurrent);
    h.cvFieldPush(1, name);
    h.cvPutRec(rec);
    h.cvLockOff();
  };
  auto onDisk = [&] { return LE32At(ReadAll(dir / "c.cdx"), 8); };
  const uint32_t start = onDisk();
  edit(a, 1, "X");
  EXPECT_TRUE(b.cvIndexFile(1)->ExternalChange());
  EXPECT_FALSE(a.cvIndexFile(1)->ExternalChange());
  edit(b, 2, "Y");
  EXPECT_EQ(onDisk(), start + 2);
  EXPECT_TRUE(a.cvIndexFile(1)->ExternalChange());
  EXPECT_FALSE(b.cvIndexFile(1)->ExternalChange());
  edit(a, 3, "Z");
  EXPECT_EQ(onDisk(), start + 3);
  EXPECT_TRUE(b.cvIndexFile(1)->ExternalChange());
}

// Lock retries cut short for one test, restored on every way out.
class QuickRetries {
public:
  QuickRetries() : ms_(CVwrdAccessMiliSeconds), delay_(CVwrdAccessMSecDelay) {
    CVwrdAccessMiliSeconds = 20;
    CVwrdAccessMSecDelay = 10;
  }
  ~QuickRetries() {
    CVwrdAccessMiliSeconds = ms_;
    CVwrdAccessMSecDelay = delay_;
  }
  QuickRetries(const QuickRetries&) = delete;
  QuickRetries& operator=(const QuickRetries&) = delete;

private:
  uint16_t ms_, delay_;
};

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return {};
}

// Reindexing a shared table takes each index file's whole-file lock; the
// rebuilt file serves both this user and the next one.
TEST(SharedIndex, ReindexOfASharedTable) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const std::string t = MakeTable(dir, 30);
    Build(t, k);
    CVO_dBHandler h(t, "", true, true);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(k.file, k.tag), 0);
    h.cvGetRec(7);
    h.cvFieldPush(1, "A7");
    h.cvPutRec(7);
    const std::vector<Entry> before = Walk(h);
    ASSERT_EQ(Message([&] { h.cvReIndex(); }), "");
    EXPECT_EQ(Walk(h), before);
    h.cvBlank();
    h.cvFieldPush(1, "A31");
    h.cvAppend();
    CVO_dBHandler c(t, "", false, true);
    c.kvSetTranslateAscii(false);
    ASSERT_EQ(c.cvIndex(k.file, k.tag), 0);
    const std::vector<Entry> after = Walk(c);
    ASSERT_EQ(after.size(), 31u);
    EXPECT_EQ(after[0], (Entry{"A31", 31, false}));
    EXPECT_EQ(after[1], (Entry{"A7", 7, false}));
  }
}

// Another user holding a lock on the index file: the reindex is refused
// with the lock error and the file is left as it was.
TEST(SharedIndex, RefusedFileLockWritesNothing) {
  QuickRetries quick;
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const std::string t = MakeTable(dir, 30);
    Build(t, k);
    const std::string file = dir / k.file;
    const std::vector<uint8_t> bytes = ReadAll(file);
    CVO_dBHandler h(t, "", true, true);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(k.file, k.tag), 0);
    CVO_DiskFile other(file, true, true);
    other.cvReset();
    ASSERT_TRUE(other.cvLockRecord(0x7FFFFFFD, 1));  // the index lock of the default convention
    EXPECT_EQ(Message([&] { h.cvReIndex(); }), "Can not Lock file " + file);
    EXPECT_EQ(ReadAll(file), bytes);
    other.cvUnLock();
    EXPECT_EQ(Message([&] { h.cvReIndex(); }), "");
  }
}

// Under a convention whose index lock lies beyond the whole-file region,
// a writer holding only the index lock still keeps the rebuild out.
TEST(SharedIndex, FileLockAlsoHoldsAnIndexLockOutsideTheFileRegion) {
  QuickRetries quick;
  TempDir dir;
  const std::string t = MakeTable(dir, 10);
  Build(t, kKinds[0]);
  const std::string file = dir / "a.ntx";
  CVO_dBHandler h(t, "", true, true);
  h.kvSetTranslateAscii(false);
  ASSERT_EQ(h.cvIndex("a.ntx", "A"), 0);
  CVobjIndexFile* f = h.cvIndexFile(1);
  ASSERT_NE(f, nullptr);
  f->ixSetLockProtocol(CVsetLokProtocol::DB4Lock);
  {
    CVO_DiskFile writer(file, true, true);
    writer.cvReset();
    ASSERT_TRUE(writer.cvLockRecord(0xEFFFFFFD, 2));
    const std::vector<uint8_t> bytes = ReadAll(file);
    EXPECT_EQ(Message([&] { f->Reindex(); }), "Can not Lock file " + file);
    EXPECT_EQ(ReadAll(file), bytes);
  }
  // While the rebuild holds the file, such a writer is kept out.
  {
    CVobjIndexFile::FileLockScope lock(*f);
    CVO_DiskFile writer(file, true, true);
    writer.cvReset();
    EXPECT_FALSE(writer.cvLockRecord(0xEFFFFFFD, 2));
    EXPECT_FALSE(writer.cvLockRecord(0, 1));
  }
  CVO_DiskFile writer(file, true, true);
  writer.cvReset();
  EXPECT_TRUE(writer.cvLockRecord(0xEFFFFFFD, 2));
}

// Another user rebuilds the file under an open tag (in a CDX or MDX file
// the rebuild moves the tag headers): the tag reads and updates the
// rebuilt file.
TEST(SharedIndex, OpenTagFollowsAnotherUsersReindex) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const std::string t = MakeTable(dir, 3);
    {
      CVO_dBHandler h(t, "", true, false);
      h.kvSetTranslateAscii(false);
      const std::string file = k.file;
      if (file == "c.cdx" || file == "m.mdx") {
        // Tags named to sort before and after the one in use, built first:
        // the rebuild goes in name order, so the headers change places.
        h.cvIndexTo(file, "AFM", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Ascending);
        h.cvIndexTo(file, "ZFM", "FM", "", CVsetIndexUnique::Duplicates, CVsetSortStatus::Descending);
      }
    }
    Build(t, k);
    CVO_dBHandler a(t, "", true, true), b(t, "", true, true);
    for (CVO_dBHandler* h : {&a, &b}) {
      h->kvSetTranslateAscii(false);
      ASSERT_EQ(h->cvIndex(k.file, k.tag), 0);
    }
    a.cvGetRec(1);
    b.cvReIndex();
    const std::vector<Entry> built = {{"R1", 1, false}, {"R2", 2, false}, {"R3", 3, false}};
    EXPECT_EQ(Walk(a), built);
    b.cvReIndex();
    a.cvBlank();
    a.cvFieldPush(1, "A");
    a.cvAppend();
    a.cvGetRec(2);
    a.cvFieldPush(1, "Z");
    a.cvPutRec(2);
    const std::vector<Entry> want = {{"A", 4, false}, {"R1", 1, false}, {"R3", 3, false}, {"Z", 2, false}};
    EXPECT_EQ(Walk(a), want);
    EXPECT_EQ(Walk(b), want);
    CVO_dBHandler c(t, "", false, true);
    c.kvSetTranslateAscii(false);
    ASSERT_EQ(c.cvIndex(k.file, k.tag), 0);
    EXPECT_EQ(Walk(c), want);
  }
}

// Deleting the last tag of a shared CDX or MDX file rebuilds it empty.
TEST(SharedIndex, DeletingTheLastTagOfASharedFile) {
  for (const Kind& k : {kKinds[2], kKinds[3]}) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const std::string t = MakeTable(dir, 30);
    Build(t, k);
    CVO_dBHandler h(t, "", true, true);
    h.kvSetTranslateAscii(false);
    ASSERT_EQ(h.cvIndex(k.file, k.tag), 0);
    int r = -2;
    ASSERT_EQ(Message([&] { r = h.cvIndexTagRemove(k.file, k.tag); }), "");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(h.cvIndexFile(1), nullptr);
    if (std::string(k.file) == "c.cdx") {
      EXPECT_EQ(ReadAll(dir / k.file).size(), 1536u);
    }
  }
}

}  // namespace

namespace {

// The record a find of `key` must land on: the first entry of that key in
// the index order (0 when there is none).
int32_t FirstInOrder(const Model& m, const std::string& key) {
  for (const Entry& e : m.Order())
    if (e.key == key) return e.rec;
  return 0;
}

int32_t FindRecord(CVO_dBHandler& h, const std::string& key) { return h.cvFind(key) ? h.cvCurrentRecord() : 0; }

// Appends or changes a record through `h`, as the model records it.
void RandomEdit(CVO_dBHandler& h, Model& model, std::mt19937& rng) {
  const std::string name = RandomName(rng);
  if (rng() % 2 == 0) {
    h.cvBlank();
    h.cvFieldPush(1, name);
    h.cvAppend();
    model.Set(model.Count() + 1, name);
    return;
  }
  const int32_t rec = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(model.Count()));
  h.cvGetRec(rec);
  ASSERT_TRUE(h.cvRLock());
  h.cvGetRec(cvReadCurrent);
  h.cvFieldPush(1, name);
  h.cvPutRec(rec);
  h.cvLockOff();
  model.Set(rec, name);
}

}  // namespace

// Finds in a tree of several levels while the keys change: two users of a
// shared table each find what the other has just written; then one user
// alone, whose finds reuse the tree read before, finds its own edits.
TEST(SharedIndex, RandomFindsFollowEveryEdit) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const int32_t rows = 2500;
    const std::string t = MakeTable(dir, 0);
    Model model(k.byRecord);
    std::mt19937 rng(7);
    {
      CVO_dBHandler h(t, "", true, false);
      h.kvSetTranslateAscii(false);
      for (int32_t r = 1; r <= rows; ++r) {
        const std::string name = RandomName(rng) + RandomName(rng);
        h.cvBlank();
        h.cvFieldPush(1, name);
        h.cvAppend();
        model.Set(r, name);
      }
    }
    Build(t, k);
    auto someKey = [&] {
      // Mostly keys that exist, now and then one that does not.
      if (rng() % 8 == 0) return std::string("E") + RandomName(rng);
      return model.Order()[rng() % static_cast<uint32_t>(model.Count())].key;
    };
    {
      CVO_dBHandler a(t, "", true, true), b(t, "", true, true);
      CVO_dBHandler* users[2] = {&a, &b};
      for (CVO_dBHandler* h : users) {
        h->kvSetTranslateAscii(false);
        h->cvSetExactMatch(true);
        ASSERT_EQ(h->cvIndex(k.file, k.tag), 0);
      }
      for (int step = 1; step <= 150; ++step) {
        const int writer = static_cast<int>(rng() % 2);
        ASSERT_NO_FATAL_FAILURE(RandomEdit(*users[writer], model, rng));
        for (int i = 0; i < 6; ++i) {
          const std::string key = someKey();
          CVO_dBHandler& reader = *users[i % 2 == 0 ? 1 - writer : writer];
          ASSERT_EQ(FindRecord(reader, key), FirstInOrder(model, key)) << "step " << step << " key " << key;
          if (i == 0 && FirstInOrder(model, key) != 0) {
            // The steps after the find read on through the file as it
            // stands: they load further pages, none kept from before.
            const auto& order = model.Order();
            size_t at = 0;
            while (order[at].key != key) ++at;
            for (size_t n = at + 1; n < order.size() && n <= at + 40; ++n) {
              reader.cvGetRec(cvReadNext);
              ASSERT_FALSE(reader.cvEOF());
              ASSERT_EQ(reader.cvCurrentRecord(), order[n].rec) << "step " << step << " after " << key;
            }
          }
        }
      }
    }
    CVO_dBHandler h(t, "", true, false);
    h.kvSetTranslateAscii(false);
    h.cvSetExactMatch(true);
    ASSERT_EQ(h.cvIndex(k.file, k.tag), 0);
    for (int step = 1; step <= 300; ++step) {
      if (step % 3 == 0) {
        ASSERT_NO_FATAL_FAILURE(RandomEdit(h, model, rng));
      }
      const std::string key = someKey();
      ASSERT_EQ(FindRecord(h, key), FirstInOrder(model, key)) << "step " << step << " key " << key;
    }
    EXPECT_EQ(Walk(h), model.Order());
  }
}

namespace {

std::string ReadFileBytes(const std::string& path) {
  CVO_DiskFile f(path, false, true);
  f.cvReset();
  std::string b(static_cast<size_t>(f.cvFileSize()), '\0');
  if (!b.empty()) f.cvRead(0, b.data(), static_cast<int32_t>(b.size()));
  return b;
}

}  // namespace

// A handle of a shared NTX or CDX file may keep the upper levels of its
// tree between finds while the file's change counter stands still and no
// writer holds the index lock.  Here another program rewrites the whole
// tree under the index lock without having raised the counter yet (a CDX
// writer raises it only once its pages are written): the finds meanwhile
// must read the new tree, not the one kept, and so must the finds after
// the counter moved and the lock went, and after it came round again.
TEST(SharedIndex, KeptTreeFollowsAWriterUnderTheLockAndACounterComeRound) {
  struct Counted {
    Kind kind;
    int at;     // the change counter's offset in the file
    int width;  // and its width
  };
  const Counted kinds[] = {{kKinds[0], 2, 2}, {kKinds[3], 8, 4}};
  for (const Counted& c : kinds) {
    SCOPED_TRACE(c.kind.file);
    const int32_t rows = 1500;
    auto makeNamed = [&](const TempDir& dir, const std::string& prefix) {
      const std::string t = MakeTable(dir, 0);
      {
        CVO_dBHandler h(t, "", true, false);
        h.kvSetTranslateAscii(false);
        for (int32_t r = 1; r <= rows; ++r) {
          h.cvBlank();
          h.cvFieldPush(1, prefix + std::to_string(100000 + r * 7 % rows));
          h.cvAppend();
        }
      }
      Build(t, c.kind);
      return t;
    };
    auto nameOf = [&](const std::string& prefix, int32_t r) { return prefix + std::to_string(100000 + r * 7 % rows); };
    TempDir dir, other;
    const std::string t = makeNamed(dir, "R");
    makeNamed(other, "Q");
    const std::string path = dir / c.kind.file;
    // The other tree, with the counter the file has now.
    std::string next = ReadFileBytes(other / c.kind.file);
    const std::string now = ReadFileBytes(path);
    ASSERT_GE(next.size(), static_cast<size_t>(c.at + c.width));
    next.replace(static_cast<size_t>(c.at), static_cast<size_t>(c.width), now, static_cast<size_t>(c.at),
                 static_cast<size_t>(c.width));

    CVO_dBHandler a(t, "", false, true);
    a.kvSetTranslateAscii(false);
    a.cvSetExactMatch(true);
    ASSERT_EQ(a.cvIndex(c.kind.file, c.kind.tag), 0);
    std::mt19937 rng(5);
    // The keys of `prefix` are found; those of `gone` (none when empty) are
    // not.
    auto checkFinds = [&](const std::string& prefix, const std::string& gone) {
      for (int i = 0; i < 60; ++i) {
        const int32_t r = 1 + static_cast<int32_t>(rng() % rows);
        ASSERT_EQ(FindRecord(a, nameOf(prefix, r)), r) << nameOf(prefix, r);
        if (!gone.empty()) {
          ASSERT_EQ(FindRecord(a, nameOf(gone, r)), 0) << nameOf(gone, r);
        }
      }
    };
    ASSERT_NO_FATAL_FAILURE(checkFinds("R", "Q"));

    CVO_DiskFile writer(path, true, true);
    writer.cvReset();
    ASSERT_TRUE(writer.cvLockRecord(0x7FFFFFFD, 1));
    // Pages past the new tree's end, if any, are left unreferenced.
    writer.cvWrite(0, next.data(), static_cast<int32_t>(next.size()));
    ASSERT_NO_FATAL_FAILURE(checkFinds("Q", ""));

    // A key of the old tree is not found either, but a miss met while a
    // writer is at work may be a page caught half-way: it is told once the
    // writer is done, when the counter moves on and the lock goes.
    uint8_t counter[4] = {};
    std::thread done([&] {
      SleepMilliseconds(20);
      writer.cvRead(c.at, counter, c.width);
      counter[0] = static_cast<uint8_t>(counter[0] + 1);
      writer.cvWrite(c.at, counter, c.width);
      writer.cvUnLock();
    });
    EXPECT_EQ(FindRecord(a, nameOf("R", 1)), 0);
    done.join();
    ASSERT_NO_FATAL_FAILURE(checkFinds("Q", "R"));

    // The counter came round to the same value (NTX's wraps after 32767
    // changes; a rebuild by another program may reset it): no writer is that
    // fast, and a kept node is trusted only for moments after it was read.
    std::string back = now;
    back.replace(static_cast<size_t>(c.at), static_cast<size_t>(c.width), reinterpret_cast<const char*>(counter),
                 static_cast<size_t>(c.width));
    writer.cvWrite(0, back.data(), static_cast<int32_t>(back.size()));
    SleepMilliseconds(30);
    ASSERT_NO_FATAL_FAILURE(checkFinds("R", "Q"));
  }
}

namespace {

// Finds per index kind of the reader below: DIRLOOK_READER_FINDS, or a small
// default (smaller still under the sanitizers) that keeps the test to
// moments.
int ReaderFinds() {
  if (const char* v = std::getenv("DIRLOOK_READER_FINDS")) return std::max(1, std::atoi(v));
  return kSanitized ? 1500 : 20000;
}

// The writer of the test below, in a child process: appends records with
// random W names and changes the names of records it appended (pages split
// and are rewritten all the time) until the reader closes `stop`, or for a
// minute at most.  Tells `started` once its first change is in the file.
//
// With `sweep` it appends 300 records named in record order and then
// renames them, in record order, to names below every other key and back
// again, pass after pass: whole leaves empty one after the other and
// interior pages left with a single child give it to a neighbour.
int WriteUntilStopped(const std::string& t, const Kind& k, int32_t stable, int stop, int started, unsigned seed,
                      bool sweep = false) {
  try {
    std::mt19937 rng(seed);
    CVO_dBHandler h(t, "", true, true);
    h.kvSetTranslateAscii(false);
    if (h.cvIndex(k.file, k.tag) != 0) return 2;
    int32_t count = stable;
    const int32_t swept = 300;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int op = 0; std::chrono::steady_clock::now() < until; ++op) {
      if (sweep) {
        const int32_t i = op % swept;
        const std::string name = (op / swept % 2 == 0 ? "W" : "A") + std::to_string(100000 + i);
        if (op == swept && ::write(started, "x", 1) != 1) return 3;
        if (count < stable + swept) {
          h.cvBlank();
          h.cvFieldPush(1, name);
          h.cvAppend();
          ++count;
        } else {
          h.cvGetRec(stable + 1 + i);
          if (!h.cvRLock()) continue;
          h.cvGetRec(cvReadCurrent);
          h.cvFieldPush(1, name);
          h.cvPutRec(stable + 1 + i);
          h.cvLockOff();
        }
        pollfd p{stop, POLLIN, 0};
        if (op > swept && ::poll(&p, 1, 0) > 0) break;  // the reader is done
        continue;
      }
      const std::string name = "W" + RandomName(rng) + RandomName(rng);
      if (count == stable || rng() % 3 != 0) {
        h.cvBlank();
        h.cvFieldPush(1, name);
        h.cvAppend();
        ++count;
      } else {
        const int32_t rec = stable + 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(count - stable));
        h.cvGetRec(rec);
        if (!h.cvRLock()) continue;
        h.cvGetRec(cvReadCurrent);
        h.cvFieldPush(1, name);
        h.cvPutRec(rec);
        h.cvLockOff();
      }
      if (op == 0 && ::write(started, "x", 1) != 1) return 3;
      pollfd p{stop, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) break;  // the reader is done
    }
    return 0;
  } catch (const Exception& e) {
    std::fprintf(stderr, "writer: %s\n", e.what());
    return 1;
  }
}

}  // namespace

// One process finds keys (and now and then reads on from there) without
// any index lock (the default convention) while another appends and changes
// keys, splitting pages: a page the reader meets half-written, or no longer
// the child its parent named, is read again, never reported as a corrupt
// file.  Keys of records the writer leaves alone are always found (a miss
// is looked for again under the index lock); the file is sound afterwards.
static void ReaderFindsWhileAnotherProcessWrites(bool sweep) {
  const int finds = ReaderFinds();
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const int32_t stable = sweep ? 1500 : 3000;
    const std::string t = MakeTable(dir, 0);
    auto stableName = [&](int32_t r) { return "S" + std::to_string(100000 + r * 7919 % stable); };
    {
      CVO_dBHandler h(t, "", true, false);
      h.kvSetTranslateAscii(false);
      for (int32_t r = 1; r <= stable; ++r) {
        h.cvBlank();
        h.cvFieldPush(1, stableName(r));
        h.cvAppend();
      }
    }
    // Sweeping, keys of 100 bytes: NDX and MDX pages of four keys, so
    // interior pages empty all the time.
    Build(t, k, sweep ? "PADR(NAME, 100)" : "NAME");
    int stop[2], started[2];
    ASSERT_EQ(::pipe(stop), 0);
    ASSERT_EQ(::pipe(started), 0);
    const pid_t kid = ::fork();
    ASSERT_GE(kid, 0);
    if (kid == 0) {
      ::close(stop[1]);
      ::close(started[0]);
      ::_exit(WriteUntilStopped(t, k, stable, stop[0], started[1], 11, sweep));
    }
    ::close(stop[0]);
    ::close(started[1]);
    char c = 0;
    const bool writing = ::read(started[0], &c, 1) == 1;
    ::close(started[0]);

    int errors = 0, misses = 0, stableFinds = 0;
    std::string firstError;
    if (writing) {
      CVO_dBHandler r(t, "", false, true);
      r.kvSetTranslateAscii(false);
      r.cvSetExactMatch(true);
      EXPECT_EQ(r.cvIndex(k.file, k.tag), 0);
      std::mt19937 rng(12);
      for (int i = 0; i < finds; ++i) {
        try {
          // Mostly keys that are there; now and then one that is not, whose
          // miss is looked for again.
          if (i % 8 != 0) {
            const int32_t rec = 1 + static_cast<int32_t>(rng() % stable);
            ++stableFinds;
            if (FindRecord(r, stableName(rec)) != rec) ++misses;
            // Now and then read on from there, through pages the writer
            // may be rewriting meanwhile.
            if (i % 32 == 0)
              for (int step = 0; step < 4 && !r.cvEOF(); ++step) r.cvGetRec(cvReadNext);
          } else {
            FindRecord(r, "W" + RandomName(rng) + RandomName(rng));
          }
        } catch (const Exception& e) {
          if (firstError.empty()) firstError = e.what();
          ++errors;
        }
      }
    }
    ::close(stop[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(kid, &status, 0), kid);
    ASSERT_TRUE(writing);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(errors, 0) << firstError;
    EXPECT_EQ(misses, 0);
    std::printf("[ reader   ] %s: %d finds, %d errors, %d of %d unchanged keys missed\n", k.file, finds, errors, misses,
                stableFinds);
    // Sound afterwards, every unchanged key in place.
    CVO_dBHandler h(t, "", false, false);
    h.kvSetTranslateAscii(false);
    h.cvSetExactMatch(true);
    ASSERT_EQ(h.cvIndex(k.file, k.tag), 0);
    for (int32_t rec = 1; rec <= stable; rec += 37) ASSERT_EQ(FindRecord(h, stableName(rec)), rec);
    int32_t walked = 0;
    std::string last;
    for (h.cvGetRec(cvReadTop); !h.cvEOF() && !h.cvBOF(); h.cvGetRec(cvReadNext), ++walked) {
      std::string key;
      h.cvGetKey(-5, key);
      ASSERT_LE(last, key);
      last = key;
    }
    EXPECT_EQ(walked, h.cvRecordCount());
  }
}

TEST(SharedIndex, ReaderFindsWhileAnotherProcessSplitsPages) { ReaderFindsWhileAnotherProcessWrites(false); }

// The same while the other process empties whole leaves, again and again:
// interior pages of NTX, NDX and MDX left with one child give it to their
// neighbour (the parent written first), CDX neighbours are linked past an
// emptied node; the reader finds every key the writer leaves alone.
TEST(SharedIndex, ReaderFindsWhileAnotherProcessEmptiesPages) { ReaderFindsWhileAnotherProcessWrites(true); }

// The moments of a split that a reader without a lock may meet, held still:
// another program has written some of the split's blocks and not yet the
// others (the new page but not the parent that names it, the shortened
// page but not the new one, the pages but not the header that names the
// new root), and holds the index lock meanwhile, as a writer held up
// between two writes does on a busy machine.  Every key the split did not
// touch is found: a find that misses, or meets a page that does not decode,
// looks again with no writer at work, so it waits for the writer to finish
// instead of taking the half-split tree for the file.
TEST(SharedIndex, ReaderFindsEveryKeyOfATreeCaughtHalfWayThroughASplit) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const int32_t stable = 400;
    auto stableName = [](int32_t r) { return "S" + std::to_string(100000 + 2 * r); };
    const std::string t = MakeTable(dir, 0);
    {
      CVO_dBHandler h(t, "", true, false);
      h.kvSetTranslateAscii(false);
      for (int32_t r = 1; r <= stable; ++r) {
        h.cvBlank();
        h.cvFieldPush(1, stableName(r));
        h.cvAppend();
      }
    }
    Build(t, k);
    const std::string path = dir / k.file;
    // Keys between the stable ones, in the middle of the order, until one
    // splits a page (the file grows by the new page): the file before that
    // key and after it.
    std::string before, after;
    {
      CVO_dBHandler w(t, "", true, true);
      w.kvSetTranslateAscii(false);
      ASSERT_EQ(w.cvIndex(k.file, k.tag), 0);
      for (int32_t n = 1; n < 200 && after.size() <= before.size(); ++n) {
        before = ReadFileBytes(path);
        w.cvBlank();
        w.cvFieldPush(1, "S" + std::to_string(100000 + stable + 2 * n + 1));
        w.cvAppend();
        after = ReadFileBytes(path);
      }
    }
    after = ReadFileBytes(path);  // as the writer left it
    ASSERT_GT(after.size(), before.size());
    before.resize(after.size(), '\0');
    // The 512-byte blocks the split wrote.
    std::vector<size_t> blocks;
    for (size_t at = 0; at < after.size(); at += 512)
      if (before.compare(at, 512, after, at, 512) != 0) blocks.push_back(at);
    ASSERT_GE(blocks.size(), 2u);
    // Each moment: the file after the split with one of its blocks not yet
    // written, and the file before it with only one of them written.
    std::vector<std::string> moments;
    for (size_t at : blocks) {
      std::string m = after;
      m.replace(at, 512, before, at, 512);
      moments.push_back(std::move(m));
      m = before;
      m.replace(at, 512, after, at, 512);
      moments.push_back(std::move(m));
    }

    CVO_dBHandler r(t, "", false, true);
    r.kvSetTranslateAscii(false);
    r.cvSetExactMatch(true);
    ASSERT_EQ(r.cvIndex(k.file, k.tag), 0);
    CVO_DiskFile writer(path, true, true);
    writer.cvReset();
    for (size_t i = 0; i < moments.size(); ++i) {
      SCOPED_TRACE("moment " + std::to_string(i));
      ASSERT_TRUE(writer.cvLockRecord(0x7FFFFFFD, 1));
      writer.cvWrite(0, moments[i].data(), static_cast<int32_t>(moments[i].size()));
      // The writer finishes a little later.
      std::thread finish([&] {
        SleepMilliseconds(10);
        writer.cvWrite(0, after.data(), static_cast<int32_t>(after.size()));
        writer.cvUnLock();
      });
      int misses = 0;
      std::string error;
      for (int32_t rec = 1; rec <= stable; ++rec) {
        try {
          if (FindRecord(r, stableName(rec)) != rec) ++misses;
        } catch (const Exception& e) {
          if (error.empty()) error = e.what();
        }
      }
      finish.join();
      EXPECT_EQ(misses, 0);
      EXPECT_EQ(error, "");
    }
  }
}
