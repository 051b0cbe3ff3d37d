// INSERT, UPDATE, DELETE and SELECT run through the query binding over two
// small DBF tables with open indexes; after every statement each index is
// walked and must hold exactly the keys the records give it, in order.
//
// The input's first byte picks the index kind (NTX, NDX, CDX or MDX, each
// over the table kind that carries it) and, bit by bit, whether the tags
// are unique, descending or limited to records not deleted.  The rest is a
// sequence of statements: an opcode byte picks a template and the bytes
// after it its values; one opcode takes the remaining bytes as raw SQL, one
// closes and reopens the tables (so the next walk reads the files).  The
// engine's own refusals are swallowed; a walk that disagrees with the
// records aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "corvid_sift.h"
#include "dbf_dataset/corvid_dataset.h"
#include "dbf_engine/index/index_core.h"
#include "dbf_engine/table/table_file.h"
#include "fuzz_support.h"
#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/numbers.h"
#include "platform/text.h"

namespace {

// The bytes of the input, taken one value at a time; zeros after the end.
class TInput {
public:
  TInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return at_ < size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string Rest() {
    std::string s(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
    at_ = size_;
    return s;
  }
  // A small number, sometimes negative or out of the field's range.
  std::string Number() {
    const uint8_t b = Byte();
    if (b >= 250) return std::to_string(10000 + b);  // wider than the field
    return std::to_string(static_cast<int>(b % 40) - 5);
  }
  // A short text over a few letters (blanks, case and a Cyrillic letter
  // among them), at times longer than the field.
  std::string Text() {
    static const char kLetters[] = {'a', 'b', 'B', ' ', 'c', '\xE0', 'A', 'z'};
    const uint8_t b = Byte();
    std::string s;
    for (int i = 0; i < b % 11; ++i) s += kLetters[(Byte() >> (i % 3)) % sizeof kLetters];
    return s;
  }
  std::string Date() {
    const uint8_t b = Byte();
    return std::to_string(1 + b % 28) + "." + std::to_string(1 + (b >> 5) % 12) + "." + std::to_string(1999 + b % 3);
  }

private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

struct TKind {
  const char* table;  // builder kind
  const char* ext;    // index file extension
  bool multiTag;
};
const TKind kKinds[] = {{"3", ".ntx", false}, {"3", ".ndx", false}, {"F", ".cdx", true}, {"4", ".mdx", true}};

// One tag as made: the checker recomputes its keys from the records.
struct TTagRule {
  std::string table, tag, field;  // key over one field (DTOS for a date)
  bool unique, descending, notDeleted;
};

void MakeTable(const std::string& path, const char* kind, const std::vector<std::vector<std::string>>& fields,
               const std::vector<std::vector<std::string>>& rows) {
  const bool ok = cvCreateDBF(path, kind, [&](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
    if (i <= static_cast<int>(fields.size())) {
      const auto& f = fields[static_cast<size_t>(i - 1)];
      n = f[0], t = f[1], l = std::stoi(f[2]), d = std::stoi(f[3]);
    }
    return true;
  });
  if (!ok) abort();
  CVO_dBHandler h(path, "", true, false);
  h.kvSetTranslateAscii(false);
  for (const auto& r : rows) {
    h.cvBlank();
    for (size_t k = 0; k < r.size(); ++k) h.cvFieldPutN(static_cast<int>(k + 1), r[k]);
    h.cvAppend();
  }
  h.cvGetRec(3);
  h.cvDeleteRec();
  h.cvCloseTable();
}

// A record as the file holds it.
struct TRecord {
  bool deleted;
  std::map<std::string, std::string> fields;  // raw bytes
};

std::vector<TRecord> ReadRecords(const std::string& path) {
  std::vector<TRecord> out;
  int h = FileOpen(path, false, true);
  if (h < 0) abort();
  uint8_t head[32];
  if (FileRead(h, 0, head, 32) != 32) abort();
  const uint32_t count = head[4] | head[5] << 8 | head[6] << 16 | static_cast<uint32_t>(head[7]) << 24;
  const uint32_t headerLength = head[8] | head[9] << 8, recordLength = head[10] | head[11] << 8;
  std::vector<uint8_t> header(headerLength);
  if (FileRead(h, 0, header.data(), headerLength) != headerLength) abort();
  struct F {
    std::string name;
    uint32_t offset, length;
  };
  std::vector<F> fields;
  uint32_t offset = 1;
  for (uint32_t at = 32; at + 32 <= headerLength && header[at] != 0x0D; at += 32) {
    std::string name(reinterpret_cast<const char*>(&header[at]), 11);
    name = name.substr(0, name.find('\0'));
    fields.push_back({name, offset, header[at + 16]});
    offset += header[at + 16];
  }
  std::vector<char> rec(recordLength);
  for (uint32_t r = 0; r < count; ++r) {
    if (FileRead(h, headerLength + static_cast<int64_t>(r) * recordLength, rec.data(), recordLength) != recordLength)
      abort();
    TRecord t{rec[0] == '*', {}};
    for (const F& f : fields) t.fields[f.name] = std::string(rec.data() + f.offset, f.length);
    out.push_back(std::move(t));
  }
  FileClose(h);
  return out;
}

// Keys compare as numbers for the numeric field, byte-wise otherwise.
bool NumericKey(const TTagRule& s) { return s.field == "ID"; }

int CompareKeys(const TTagRule& s, const std::string& a, const std::string& b) {
  if (NumericKey(s)) {
    const double x = std::atof(a.c_str()), y = std::atof(b.c_str());
    return x < y ? -1 : x > y ? 1 : 0;
  }
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  return c != 0 ? c : a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

[[noreturn]] void Mismatch(const TTagRule& s, const std::string& what) {
  std::fprintf(stderr, "index %s.%s disagrees with the records: %s\n", s.table.c_str(), s.tag.c_str(), what.c_str());
  abort();
}

// Walks the tag forward and backward and checks both against the records.
void CheckTag(CVobjIndexTag& tag, const TTagRule& s, const std::vector<TRecord>& records) {
  constexpr int kMaxSteps = 1000;
  auto key = [&](int32_t recno) { return records[static_cast<size_t>(recno - 1)].fields.at(s.field); };
  std::vector<int32_t> forward, backward;
  tag.TagOpen(cvTagOpenTop);
  for (int32_t r = tag.KeyRead(cvReadTop); r != 0; r = tag.KeyRead(cvReadNext)) {
    if (r < 0 || r > static_cast<int32_t>(records.size())) Mismatch(s, "record " + std::to_string(r) + " out of range");
    if (NumericKey(s)) {
      // A numeric key the format holds as a number (NDX, MDX) is compared;
      // NTX text with its coded negatives and CDX's sortable bytes are not.
      const CVobjIndexKeyData& k = tag.CurrentKey();
      if (k.Kind() == cvvtFloat && k.GetFloat() != std::atof(key(r).c_str()))
        Mismatch(s,
                 "record " + std::to_string(r) + " key " + std::to_string(k.GetFloat()) + " holds \"" + key(r) + "\"");
    } else {
      std::string stored = tag.CurrentKey().GetString(), mine = key(r);
      while (!stored.empty() && stored.back() == ' ') stored.pop_back();
      while (!mine.empty() && mine.back() == ' ') mine.pop_back();
      if (stored != mine) Mismatch(s, "record " + std::to_string(r) + " key \"" + stored + "\" holds \"" + mine + "\"");
    }
    forward.push_back(r);
    if (static_cast<int>(forward.size()) > kMaxSteps) Mismatch(s, "endless forward walk");
  }
  for (int32_t r = tag.KeyRead(cvReadBottom); r != 0; r = tag.KeyRead(cvReadPrevious)) {
    backward.insert(backward.begin(), r);
    if (static_cast<int>(backward.size()) > kMaxSteps) Mismatch(s, "endless backward walk");
  }
  if (forward != backward) Mismatch(s, "forward and backward walks differ");

  std::set<int32_t> walked(forward.begin(), forward.end());
  if (walked.size() != forward.size()) Mismatch(s, "a record listed twice");
  for (size_t i = 1; i < forward.size(); ++i) {
    int c = CompareKeys(s, key(forward[i - 1]), key(forward[i]));
    if (s.descending) c = -c;
    if (c > 0 || (s.unique && c == 0)) Mismatch(s, "keys out of order at step " + std::to_string(i));
  }
  // Every qualifying record is listed; a unique tag lists one of each key.
  for (size_t i = 0; i < records.size(); ++i) {
    const int32_t r = static_cast<int32_t>(i + 1);
    const bool qualifies = !(s.notDeleted && records[i].deleted);
    if (!qualifies && walked.count(r)) Mismatch(s, "deleted record " + std::to_string(r) + " listed");
    if (!qualifies || walked.count(r)) continue;
    if (!s.unique) Mismatch(s, "record " + std::to_string(r) + " missing");
  }
}

struct TState {
  std::string dir;
  std::vector<TTagRule> rules;
  std::map<std::string, std::unique_ptr<TCorvidDataSet>> sets;
  std::map<std::string, std::vector<std::string>> indexFiles;
  std::unique_ptr<TCorvidSift> sift;
  uint8_t active = 0;

  void Open() {
    sift = std::make_unique<TCorvidSift>();
    for (auto& [name, ds] : sets) {
      TStringList list;
      for (const std::string& f : indexFiles[name]) list.Add(f);
      ds->SetIndexList(list);
      ds->Open();
      // The binding walks the tables in an index order or in record order.
      if (active % 3 == 1) ds->SetIndexName(ds->IndexTagName(1));
      sift->AddDataSet(ds.get(), name);
    }
    sift->Loaded();
  }
  void Close() {
    sift.reset();
    for (auto& [name, ds] : sets) ds->Close();
  }
  void Check() {
    for (auto& [name, ds] : sets) {
      const std::vector<TRecord> records = ReadRecords(dir + "/" + name + ".dbf");
      if (!ds->Active()) continue;
      for (int n = 1; n <= ds->IndexCount(); ++n) {
        const std::string tag = ds->IndexTagName(n);
        for (TTagRule s : rules) {
          if (s.table != name || !SameText(s.tag, tag)) continue;
          // The rules the index file keeps (an NDX has no condition, an NTX
          // no direction) are those the walk must follow.
          s.unique = ds->IndexUnique(n);
          s.descending = !ds->IndexAscending(n);
          s.notDeleted = !Trim(ds->IndexFilter(n)).empty();
          CheckTag(*ds->Handler()->cvIndexPointer(n), s, records);
        }
      }
      ds->First();
    }
  }
};

void Run(TCustomSift& q, const std::string& sql) {
  q.SetSQL(sql);
  if (sql.rfind("select", 0) == 0) {
    q.Open();
    for (int i = 0; !q.Eof() && i < 100; ++i) q.Next();
    q.Close();
  } else {
    q.ExecSQL();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 512) return 0;
  fuzz::FastLockRetries();
  TInput in(data, size);
  const uint8_t setup = in.Byte();
  const TKind& kind = kKinds[setup % 4];
  TState st;
  st.dir = fuzz::WorkDir() + "/dml";
  std::error_code ec;
  std::filesystem::remove_all(st.dir, ec);
  std::filesystem::create_directories(st.dir, ec);

  // A wide name key puts few keys on a page: inserts split nodes and
  // deletes merge them within tens of records.
  std::vector<std::vector<std::string>> rows;
  for (int i = 1; i <= 24; ++i)
    rows.push_back({std::to_string(i % 7), std::string(1, static_cast<char>('a' + i % 5)) + (i % 2 ? "b" : ""),
                    "2000" + std::string(i % 2 ? "01" : "12") + std::to_string(10 + i % 18)});
  MakeTable(st.dir + "/t.dbf", kind.table, {{"ID", "N", "4", "0"}, {"NAME", "C", "100", "0"}, {"D", "D", "8", "0"}},
            rows);
  MakeTable(st.dir + "/u.dbf", kind.table, {{"ID", "N", "4", "0"}, {"NAME", "C", "6", "0"}},
            {{"1", "x"}, {"2", "a"}, {"3", "bb"}, {"5", "a"}});
  const bool unique = setup & 0x04, descending = (setup & 0x08) && kind.multiTag, notDeleted = setup & 0x10;
  st.rules = {{"t", "BYNAME", "NAME", false, descending, notDeleted},
              {"t", "BYID", "ID", unique, false, notDeleted && !(setup & 0x20)},
              {"t", "BYDATE", "D", false, false, false},
              {"u", "UID", "ID", unique, descending, false}};
  st.active = setup >> 6;
  try {
    for (const char* name : {"t", "u"}) {
      auto ds = std::make_unique<TCorvidDataSet>();
      ds->SetDatabaseName(st.dir);
      ds->SetTableName(std::string(name) + ".dbf");
      ds->SetTranslateASCII(false);
      ds->Open();
      for (const TTagRule& s : st.rules) {
        if (s.table != name) continue;
        const std::string file = st.dir + "/" + (kind.multiTag ? std::string(name) : s.tag) + kind.ext;
        const std::string expr = s.field == "D" ? "DTOS(D)" : s.field;
        ds->IndexOn(file, s.tag, expr, s.notDeleted ? ".NOT.DELETED()" : "",
                    s.unique ? CVsetIndexUnique::Unique : CVsetIndexUnique::Duplicates,
                    s.descending ? CVsetSortStatus::Descending : CVsetSortStatus::Ascending);
        bool listed = false;
        for (const std::string& f : st.indexFiles[name]) listed = listed || f == file;
        if (!listed) st.indexFiles[name].push_back(file);
      }
      ds->Close();
      st.sets[name] = std::move(ds);
    }
  } catch (const Exception& e) {
    std::fprintf(stderr, "setup failed: %s\n", e.what());
    abort();
  }
  // The date fields hold yyyymmdd: the checker compares the DTOS keys.
  FormatSettingsGuard guard{'.', ','};
  st.Open();
  st.Check();
  if (std::getenv("DIRLOOK_FUZZ_TRACE")) std::fprintf(stderr, "(set up: kind %d, flags %02x)\n", setup % 4, setup);
  for (int statements = 0; in.More() && statements < 12; ++statements) {
    std::string sql;
    switch (in.Byte() % 14) {
      case 0:
        sql = "insert into t (id, name, d) values (" + in.Number() + ", '" + in.Text() + "', '" + in.Date() + "')";
        break;
      case 1: sql = "insert into t (id, name) values (" + in.Number() + ", '" + in.Text() + "')"; break;
      case 2: sql = "update t set name = '" + in.Text() + "' where id = " + in.Number(); break;
      case 3: sql = "update t set id = id + " + in.Number() + " where name < '" + in.Text() + "'"; break;
      case 4: sql = "delete from t where id = " + in.Number(); break;
      case 5: sql = "delete from t where name >= '" + in.Text() + "'"; break;
      case 6: sql = "select * from t where name = '" + in.Text() + "' order by id"; break;
      case 7: sql = "select * from t where id between " + in.Number() + " and " + in.Number(); break;
      case 8: sql = "update t set d = '" + in.Date() + "', name = null where id <= " + in.Number(); break;
      case 9:
        sql = "insert into t (id, name) (select id + " + in.Number() + ", name from u where id > " + in.Number() + ")";
        break;
      case 10:
        sql = "update u set id = " + in.Number() + " where id in (select id from t where name = '" + in.Text() + "')";
        break;
      case 11: sql = "delete from u where id > " + in.Number(); break;
      case 12:
        st.Close();
        st.active = in.Byte();
        st.Open();
        break;
      default: sql = in.Rest(); break;
    }
    // DIRLOOK_FUZZ_TRACE set: each statement is shown, to replay a finding.
    static const bool trace = std::getenv("DIRLOOK_FUZZ_TRACE") != nullptr;
    if (trace) std::fprintf(stderr, "%s\n", sql.empty() ? "(reopen)" : sql.c_str());
    if (!sql.empty()) {
      try {
        Run(*st.sift, sql);
      } catch (const Exception& e) {
        // A statement the engine refuses.
        if (trace) std::fprintf(stderr, "  refused: %s\n", e.what());
      }
    }
    st.Check();
  }
  try {
    st.Close();
  } catch (const Exception&) {
  }
  return 0;
}
