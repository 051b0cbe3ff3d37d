// The generated directories: the benchmarks' data stays what it was, and the
// city directory is a well-formed code page 1251 table that another DBF
// reader sees as we meant it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "directory_generator.h"
#include "common/child_process.h"
#include "common/test_files.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/table_file.h"
#include "platform/code_page.h"

namespace fs = std::filesystem;
using sample::DirectoryImages;
using sample::Layout;
using sample::Style;

namespace {

uint64_t Hash(const DirectoryImages& d) {
  uint64_t h = 1469598103934665603ull;
  for (int32_t r = 1; r <= d.Records(); ++r)
    for (int i = 0; i < Layout::length; ++i) h = (h ^ static_cast<unsigned char>(d.Image(r)[i])) * 1099511628211ull;
  return h;
}

std::string Utf8(const std::string& cp1251) { return Cp1251ToUtf8(cp1251); }

std::set<std::string> Names(const TempDir& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir.path())) out.insert(e.path().filename().string());
  return out;
}

// The id of a process that has ended.
pid_t DeadPid() {
  const pid_t kid = ::fork();
  if (kid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(kid, &status, 0);
  return kid;
}

}  // namespace

TEST(SyntheticDirectory, KeepsTheBenchmarksDataForTheirSeed) {
  // The images the benchmarks measured before the generator moved here
  // (built by g++); clang now makes the same.
  EXPECT_EQ(Hash(DirectoryImages(Style::kSynthetic, 200000, 7)), 0x1efc80e96f652305ull);
  EXPECT_EQ(Hash(DirectoryImages(Style::kSynthetic, 200000, 7, 10)), 0x3d1fc58c2f4e7f0full);
}

TEST(CityDirectory, LooksLikeAPrintedDirectory) {
  const DirectoryImages d(Style::kCity, 20000, 1);
  EXPECT_EQ(Hash(d), 0x534bc02399b48b64ull);  // the same on every compiler and run
  EXPECT_NE(Hash(d), Hash(DirectoryImages(Style::kCity, 20000, 2)));
  EXPECT_EQ(Utf8(d.Trimmed(1, Layout::fm, Layout::fmLength)), "ИВАНОВ ИП");
  std::set<std::string> phones, surnames, streets;
  int female = 0, noFlat = 0;
  for (int32_t r = 1; r <= d.Records(); ++r) {
    EXPECT_EQ(d.Image(r)[0], ' ');
    const std::string tel = d.Trimmed(r, Layout::tel, Layout::telLength);
    ASSERT_EQ(tel.size(), 6u);
    EXPECT_TRUE(tel.find_first_not_of("0123456789") == std::string::npos) << tel;
    phones.insert(tel);
    // "SURNAME IO": upper case, one blank, two initials; nothing cut.
    const std::string fm = d.Trimmed(r, Layout::fm, Layout::fmLength);
    ASSERT_GE(fm.size(), 4u);
    EXPECT_EQ(fm[fm.size() - 3], ' ') << Utf8(fm);
    EXPECT_LT(fm.size(), static_cast<size_t>(Layout::fmLength));
    for (unsigned char c : fm)
      EXPECT_TRUE(c == ' ' || c == '\'' || c == '-' || c == 0xA8 || (c >= 0xC0 && c <= 0xDF)) << Utf8(fm);
    const std::string surname = fm.substr(0, fm.size() - 3);
    surnames.insert(surname);
    if (surname.back() == '\xC0' || surname.substr(surname.size() - 2) == "\xC0\xDF") ++female;  // -А, -АЯ
    const std::string ul = d.Trimmed(r, Layout::ul, Layout::ulLength);
    EXPECT_LT(ul.size(), static_cast<size_t>(Layout::ulLength));
    streets.insert(ul);
    EXPECT_FALSE(d.Trimmed(r, Layout::nd, Layout::ndLength).empty());
    if (d.Trimmed(r, Layout::kw, Layout::kwLength).empty()) ++noFlat;
  }
  EXPECT_EQ(phones.size(), 20000u);  // every phone once
  EXPECT_GT(surnames.size(), 250u);
  EXPECT_GT(streets.size(), 100u);
  EXPECT_GT(female, 8000);
  EXPECT_GT(noFlat, 2000);
  EXPECT_LT(noFlat, 12000);
}

TEST(CityDirectory, GrowsPastItsDistinctPhonesKeepingTheSmallerDirectory) {
  // 450,000 distinct phones, then entries on numbers already listed; the
  // smaller directory is the larger one's beginning, byte for byte.
  const DirectoryImages small(Style::kCity, 450000, 3), large(Style::kCity, 460000, 3);
  ASSERT_EQ(large.Records(), 460000);
  EXPECT_EQ(std::memcmp(small.Image(1), large.Image(1), static_cast<size_t>(450000) * Layout::length), 0);
  std::vector<bool> seen(1000000);
  int32_t distinct = 0;
  for (int32_t r = 1; r <= large.Records(); ++r) {
    const std::string tel = large.Field(r, Layout::tel, Layout::telLength);
    ASSERT_TRUE(tel >= "200000" && tel <= "699999" && tel.find_first_not_of("0123456789") == std::string::npos) << tel;
    const int n = std::stoi(tel);
    if (!seen[n]) ++distinct;
    seen[n] = true;
    if (r == 450000) {
      ASSERT_EQ(distinct, 450000);
    }
    ASSERT_NE(large.Image(r)[Layout::fm], ' ') << r;
  }
  EXPECT_LT(distinct, 460000);
}

TEST(CityDirectory, TableWrittenThroughTheEngineReadsBackInAnotherReader) {
  TempDir dir;
  const DirectoryImages d(Style::kCity, 3000, 5, 2);
  const std::string file = dir / "phones.dbf";
  d.WriteTableByAppend(file);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);  // no leftovers

  // Raw bytes: dBase III, the count, code page 1251's language driver.
  std::ifstream in(file, std::ios::binary);
  std::array<unsigned char, 32> h{};
  in.read(reinterpret_cast<char*>(h.data()), 32);
  EXPECT_EQ(h[0], 0x03);
  EXPECT_EQ(h[4] | h[5] << 8 | h[6] << 16, 3000);
  EXPECT_EQ(h[10] | h[11] << 8, Layout::length);
  EXPECT_EQ(h[29], 0xC9);
  EXPECT_EQ(fs::file_size(file), static_cast<uintmax_t>((h[8] | h[9] << 8) + 3000 * Layout::length + 1));

  if (::access("/usr/bin/python3", X_OK) != 0 || std::system("/usr/bin/python3 -c 'import dbf' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-dbf is not installed";
  const std::string out = dir / "dump.txt";
  const std::string script =
      "import dbf\n"
      "t = dbf.Table('" +
      file +
      "'); t.open()\n"
      "with open('" +
      out +
      "', 'w', encoding='utf-8') as f:\n"
      "    f.write(str(t.codepage).split()[0] + '\\n')\n"
      "    for r in t:\n"
      "        f.write(('*' if dbf.is_deleted(r) else ' ') + '|'.join(v.rstrip() for v in r) + '\\n')\n";
  ASSERT_EQ(std::system(("/usr/bin/python3 -c \"" + script + "\"").c_str()), 0);
  std::ifstream dump(out);
  std::string line;
  std::getline(dump, line);
  EXPECT_EQ(line, "cp1251");
  for (int32_t r = 1; r <= d.Records(); ++r) {
    ASSERT_TRUE(std::getline(dump, line)) << r;
    std::string expect(1, d.Image(r)[0] == '*' ? '*' : ' ');
    expect += Utf8(d.Trimmed(r, Layout::tel, Layout::telLength)) + "|" +
              Utf8(d.Trimmed(r, Layout::fm, Layout::fmLength)) + "|" +
              Utf8(d.Trimmed(r, Layout::ul, Layout::ulLength)) + "|" +
              Utf8(d.Trimmed(r, Layout::nd, Layout::ndLength)) + "|" + Utf8(d.Trimmed(r, Layout::kw, Layout::kwLength));
    ASSERT_EQ(line, expect) << r;
  }
}

TEST(CityDirectory, AnExistingTableIsNeverReplaced) {
  // The engine opens phones.dbf whatever the case of its name: a table under
  // another case is the same table.
  for (const std::string existing : {"phones.dbf", "PHONES.DBF", "Phones.Dbf", "phones.DBF"}) {
    SCOPED_TRACE(existing);
    TempDir dir;
    std::ofstream(dir / existing) << "mine";
    try {
      DirectoryImages(Style::kCity, 10, 1).WriteTableByAppend(dir / "phones.dbf");
      ADD_FAILURE() << "written beside " << existing;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), (dir / existing) + " exists already");
    }
    std::stringstream kept;
    kept << std::ifstream(dir / existing).rdbuf();
    EXPECT_EQ(kept.str(), "mine");
    EXPECT_EQ(Names(dir), std::set<std::string>{existing});
  }
}

// A run killed part-way leaves its table under its temporary name; the next
// run into the folder removes such a table when the process that wrote it
// no longer runs, and nothing else.
TEST(CityDirectory, TheNextRunRemovesWhatAKilledRunLeft) {
  TempDir dir;
  const std::string file = dir / "phones.dbf";
  const DirectoryImages d(Style::kCity, 200, 4);
  std::mt19937 rng(43);
  std::set<std::string> left;
  for (int i = 0; i < 3; ++i) {
    // Creating the table and 200 appends of two writes each: the run ends
    // somewhere in them, and the run after it removes what it left.
    const int64_t at = 1 + static_cast<int64_t>(rng() % 400);
    EXPECT_EQ(ExitCodeInChild([&] {
                cvSetCrashCountdown(at);
                d.WriteTableByAppend(file);
              }),
              cvCrashExitCode)
        << at;
    const std::set<std::string> now = Names(dir);
    ASSERT_EQ(now.size(), 1u) << at;
    EXPECT_TRUE(std::regex_match(*now.begin(), std::regex("phones-[1-9][0-9]*\\.tmp\\.dbf"))) << *now.begin();
    EXPECT_NE(now, left);
    left = now;
  }

  // What must stay: the table of a process still running, one held open
  // (its writer runs where this process cannot see it), names that only
  // look alike, a folder and a link under such a name.
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  const pid_t running = ::fork();
  ASSERT_GE(running, 0);
  if (running == 0) {
    char c;
    ::close(hold[1]);
    ::_exit(::read(hold[0], &c, 1) < 0 ? 1 : 0);
  }
  ::close(hold[0]);
  const std::string dead = std::to_string(DeadPid()), dead2 = std::to_string(DeadPid());
  const std::vector<std::string> stay = {
      "phones-" + std::to_string(running) + ".tmp.dbf", "phones-" + dead2 + ".tmp.dbf",
      "phones-" + dead + ".tmp.dbf.bak", "phones-" + dead + ".tmp", "phones-" + dead + ".TMP.DBF",
      "PHONES-" + dead + ".tmp.dbf", "phones-0" + dead + ".tmp.dbf", "phones--" + dead + ".tmp.dbf",
      "phones-" + dead + "x.tmp.dbf", "phones-.tmp.dbf", "phones" + dead + ".tmp.dbf", "other-" + dead + ".tmp.dbf",
      "phones-99999999999.tmp.dbf", "phones-" + dead + ".tmp.dbf"};
  for (size_t i = 0; i + 1 < stay.size(); ++i) std::ofstream(dir / stay[i]) << "keep";
  fs::create_directory(dir / stay.back());  // a folder under the very name
  const std::string linked = "phones-" + std::to_string(DeadPid()) + ".tmp.dbf";
  fs::create_symlink(dir / stay[2], dir / linked);
  const int held = ::open((dir / stay[1]).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  d.WriteTableByAppend(file);
  std::set<std::string> want(stay.begin(), stay.end());
  want.insert({"phones.dbf", linked});
  EXPECT_EQ(Names(dir), want);
  for (size_t i = 0; i + 1 < stay.size(); ++i) {
    std::stringstream kept;
    kept << std::ifstream(dir / stay[i]).rdbuf();
    EXPECT_EQ(kept.str(), "keep") << stay[i];
  }
  ::close(held);
  ::close(hold[1]);
  int status = 0;
  EXPECT_EQ(::waitpid(running, &status, 0), running);

  // A leftover beside a finished table goes too, and the table is kept.
  const std::string another = "phones-" + std::to_string(DeadPid()) + ".tmp.dbf";
  std::ofstream(dir / another) << "half";
  const auto before = ReadAll(file);
  EXPECT_THROW(d.WriteTableByAppend(file), std::runtime_error);
  EXPECT_FALSE(fs::exists(dir / another));
  EXPECT_EQ(ReadAll(file), before);
}

namespace {
cvHeaderClockValue MorningClock() { return {2026, 3, 14, 9, 26, 53, 589}; }
cvHeaderClockValue EveningClock() { return {2027, 11, 30, 21, 0, 7, 12}; }
struct ClockScope {
  explicit ClockScope(cvHeaderClockFn fn) { cvSetHeaderClock(fn); }
  ~ClockScope() { cvSetHeaderClock(nullptr); }
};
}  // namespace

TEST(CityDirectory, TheSameSizeAndSeedWriteTheSameTableButForTheDateOfTheLastUpdate) {
  // The records are the same; the header holds when the table was written:
  // the date of the last update (bytes 1 to 3) and its time (bytes 16 to
  // 19).
  TempDir dir;
  const DirectoryImages d(Style::kCity, 2000, 9);
  std::vector<uint8_t> bytes[2];
  int i = 0;
  for (cvHeaderClockFn clock : {&MorningClock, &EveningClock}) {
    ClockScope scope(clock);
    const std::string file = dir / ("p" + std::to_string(i) + ".dbf");
    d.WriteTableByAppend(file);
    bytes[i++] = ReadAll(file);
  }
  ASSERT_EQ(bytes[0].size(), bytes[1].size());
  EXPECT_EQ(std::vector<int>(bytes[0].begin() + 1, bytes[0].begin() + 4), (std::vector<int>{26, 3, 14}));
  EXPECT_EQ(std::vector<int>(bytes[1].begin() + 1, bytes[1].begin() + 4), (std::vector<int>{27, 11, 30}));
  std::vector<size_t> differ;
  for (size_t at = 0; at < bytes[0].size(); ++at)
    if (bytes[0][at] != bytes[1][at]) differ.push_back(at);
  for (size_t at : differ) EXPECT_TRUE((at >= 1 && at <= 3) || (at >= 16 && at <= 19)) << at;
  // Written at the same moment, byte for byte the same table.
  {
    ClockScope scope(&MorningClock);
    d.WriteTableByAppend(dir / "p2.dbf");
  }
  EXPECT_EQ(ReadAll(dir / "p2.dbf"), bytes[0]);
}
