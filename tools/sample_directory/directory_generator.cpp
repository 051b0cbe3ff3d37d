#include "directory_generator.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "dbf_engine/handler/record_handler.h"
#include "dbf_engine/table/disk_file.h"
#include "dbf_engine/table/table_file.h"
#include "platform/code_page.h"
#include "platform/paths.h"

namespace sample {

namespace {

void Put(char* at, const std::string& s, int width) {
  std::memcpy(at, s.data(), std::min(s.size(), static_cast<size_t>(width)));
}

// Word lists are written here in UTF-8 and turned into code page 1251 once.
std::vector<std::string> Cp1251Words(std::initializer_list<const char*> utf8) {
  std::vector<std::string> out;
  for (const char* w : utf8) {
    std::string s;
    if (!Utf8ToCp1251(w, s)) throw std::logic_error(std::string("not a code page 1251 word: ") + w);
    out.push_back(std::move(s));
  }
  return out;
}

std::string Cp1251(const char* utf8) {
  std::string s;
  Utf8ToCp1251(utf8, s);
  return s;
}

bool CreateDirectoryTable(const std::string& file) {
  return cvCreateDBF(file, "3", [](int i, std::string& n, std::string& t, int32_t& l, int32_t& d) {
    static const char* names[] = {"TEL", "FM", "UL", "ND", "KW"};
    static const int lengths[] = {Layout::telLength, Layout::fmLength, Layout::ulLength, Layout::ndLength,
                                  Layout::kwLength};
    if (i <= 5) n = names[i - 1], t = "C", l = lengths[i - 1], d = 0;
    return true;
  });
}

// The name a table is built under before it gets its own: "<stem>-<pid>.tmp.dbf"
// beside it.
std::string PartialName(const std::filesystem::path& target, long pid) {
  return target.stem().string() + "-" + std::to_string(pid) + ".tmp.dbf";
}

// The process id in a name PartialName gave for `target`, or 0 when the name
// is any other.
long PartialOwner(const std::string& name, const std::filesystem::path& target) {
  const std::string head = target.stem().string() + "-", tail = ".tmp.dbf";
  if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
      name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
    return 0;
  const std::string digits = name.substr(head.size(), name.size() - head.size() - tail.size());
  // Written as std::to_string writes a pid: no sign, no leading zero.
  if (digits.size() > 10 || digits[0] == '0' || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  const long long pid = std::stoll(digits);
  return pid <= INT_MAX ? static_cast<long>(pid) : 0;
}

// Removes what a run killed part-way left beside `target`: a table under a
// name PartialName gives whose process no longer runs.  A process that still
// runs (or may: one of another user, or a pid taken again) keeps its file,
// and so does a file someone holds (a writer in another pid namespace holds
// its table exclusively); nothing else in the folder is touched.
void RemoveLeftovers(const std::filesystem::path& target) {
  namespace fs = std::filesystem;
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const long pid = PartialOwner(name, target);
    if (pid == 0 || !it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    const int fd = ::open(it->path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(it->path().c_str());
    ::close(fd);
  }
}

}  // namespace

DirectoryImages::DirectoryImages(Style style, int32_t records, uint32_t seed, int deletedPercent) : records_(records) {
  if (records < 0) throw std::invalid_argument("negative record count");
  images_.assign(static_cast<size_t>(records) * Layout::length, ' ');
  if (style == Style::kSynthetic) Synthetic(seed, deletedPercent);
  else City(seed, deletedPercent);
}

std::string DirectoryImages::Trimmed(int32_t rec, int at, int len) const {
  std::string s = Field(rec, at, len);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

void DirectoryImages::Synthetic(uint32_t seed, int deletedPercent) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> upper(0xC0, 0xDF), lower(0xE0, 0xFF), len(4, 11);
  auto word = [&](int n) {
    std::string s(1, static_cast<char>(upper(rng)));
    for (int i = 1; i < n; ++i) s += static_cast<char>(lower(rng));
    return s;
  };
  std::vector<std::string> surnames(60000), streets(400);
  for (auto& s : surnames) s = word(len(rng) + 1);
  for (auto& s : streets) s = word(len(rng) + 2) + " \xF3\xEB.";  // "ул."
  for (int32_t r = 1; r <= records_; ++r) {
    char* img = Image(r);
    if (static_cast<int>(rng() % 100) < deletedPercent) img[0] = '*';
    Put(img + Layout::tel, std::to_string(100000 + rng() % 900000), 6);
    // The three draws in the order g++ made them when this was one
    // expression (operands of + have no set order), so that every compiler
    // now makes the data the benchmarks were measured on.
    const char secondInitial = static_cast<char>(upper(rng));
    const char firstInitial = static_cast<char>(upper(rng));
    const std::string& surname = surnames[rng() % surnames.size()];
    Put(img + Layout::fm, surname + ' ' + firstInitial + '.' + secondInitial + '.', 25);
    Put(img + Layout::ul, streets[rng() % streets.size()], 30);
    std::string nd = std::to_string(1 + rng() % 60);
    if (rng() % 10 == 0) nd += "\xC0";  // "А": a building letter
    Put(img + Layout::nd, nd, 6);
    Put(img + Layout::kw, std::to_string(1 + rng() % 150), 5);
  }
}

void DirectoryImages::City(uint32_t seed, int deletedPercent) {
  // Male forms; the female form follows from the ending.
  // clang-format off
  static const std::vector<std::string> surnames = Cp1251Words({
      "ИВАНОВ", "СМИРНОВ", "КУЗНЕЦОВ", "ПОПОВ", "ВАСИЛЬЕВ", "ПЕТРОВ", "СОКОЛОВ", "МИХАЙЛОВ", "НОВИКОВ",
      "ФЕДОРОВ", "МОРОЗОВ", "ВОЛКОВ", "АЛЕКСЕЕВ", "ЛЕБЕДЕВ", "СЕМЁНОВ", "ЕГОРОВ", "ПАВЛОВ", "КОЗЛОВ",
      "СТЕПАНОВ", "НИКОЛАЕВ", "ОРЛОВ", "АНДРЕЕВ", "МАКАРОВ", "НИКИТИН", "ЗАХАРОВ", "ЗАЙЦЕВ", "СОЛОВЬЕВ",
      "БОРИСОВ", "ЯКОВЛЕВ", "ГРИГОРЬЕВ", "РОМАНОВ", "ВОРОБЬЕВ", "СЕРГЕЕВ", "КУЗЬМИН", "ФРОЛОВ",
      "АЛЕКСАНДРОВ", "ДМИТРИЕВ", "КОРОЛЁВ", "ГУСЕВ", "КИСЕЛЕВ", "ИЛЬИН", "МАКСИМОВ", "ПОЛЯКОВ", "СОРОКИН",
      "ВИНОГРАДОВ", "КОВАЛЕВ", "БЕЛОВ", "МЕДВЕДЕВ", "АНТОНОВ", "ТАРАСОВ", "ЖУКОВ", "БАРАНОВ", "ФИЛИППОВ",
      "КОМАРОВ", "ДАВЫДОВ", "БЕЛЯЕВ", "ГЕРАСИМОВ", "БОГДАНОВ", "ОСИПОВ", "СИДОРОВ", "МАТВЕЕВ", "ТИТОВ",
      "МАРКОВ", "МИРОНОВ", "КРЫЛОВ", "КУЛИКОВ", "КАРПОВ", "ВЛАСОВ", "МЕЛЬНИКОВ", "ДЕНИСОВ", "ГАВРИЛОВ",
      "ТИХОНОВ", "КАЗАКОВ", "АФАНАСЬЕВ", "ДАНИЛОВ", "САВЕЛЬЕВ", "ТИМОФЕЕВ", "ФОМИН", "ЧЕРНОВ", "АБРАМОВ",
      "МАРТЫНОВ", "ЕФИМОВ", "ФЕДОТОВ", "ЩЕРБАКОВ", "НАЗАРОВ", "КАЛИНИН", "ИСАЕВ", "ЧЕРНЫШЕВ", "БЫКОВ",
      "МАСЛОВ", "РОДИОНОВ", "КОНОВАЛОВ", "ЛАЗАРЕВ", "ВОРОНИН", "КЛИМОВ", "ФИЛАТОВ", "ПОНОМАРЕВ",
      "ГОЛУБЕВ", "КУДРЯВЦЕВ", "ПРОХОРОВ", "НАУМОВ", "ПОТАПОВ", "ЖУРАВЛЕВ", "ОВЧИННИКОВ", "ТРОФИМОВ",
      "ЛЕОНОВ", "СОБОЛЕВ", "ЕРМАКОВ", "КОЛЕСНИКОВ", "ГОНЧАРОВ", "ЕМЕЛЬЯНОВ", "НИКИФОРОВ", "ГРАЧЕВ",
      "КОТОВ", "ГРИШИН", "ЕФРЕМОВ", "АРХИПОВ", "ГРОМОВ", "КИРИЛЛОВ", "МАЛЫШЕВ", "ПАНОВ", "МОИСЕЕВ",
      "РУМЯНЦЕВ", "АКИМОВ", "КОНДРАТЬЕВ", "БИРЮКОВ", "ГОРБУНОВ", "АНИСИМОВ", "ЕРЕМИН", "ТИХОМИРОВ",
      "ГАЛКИН", "ЛУКЬЯНОВ", "МИХЕЕВ", "СКВОРЦОВ", "ЮДИН", "БЕЛОУСОВ", "НЕСТЕРОВ", "СИМОНОВ", "ПРОКОФЬЕВ",
      "ХАРИТОНОВ", "КНЯЗЕВ", "ЦВЕТКОВ", "ЛЕВИН", "МИТРОФАНОВ", "ВОРОНОВ", "АКСЕНОВ", "СОФРОНОВ",
      "МАЛЬЦЕВ", "ЛОГИНОВ", "ГОРШКОВ", "САВИН", "КРАСНОВ", "МАЙОРОВ", "ДЕМИДОВ", "ЕЛИСЕЕВ", "РЫБАКОВ",
      "САФОНОВ", "ПЛОТНИКОВ", "ДЕМИН", "ХОХЛОВ", "ЖДАНОВ", "ЧИСТЯКОВ", "ШУБИН", "ЩУКИН", "ЭДЕЛЬМАН",
      "ЯСТРЕБОВ", "ЮРЬЕВ", "ЗУЕВ", "ОБУХОВ", "УСТИНОВ", "УШАКОВ", "ХРАМОВ", "ЦАРЁВ", "ЧУМАКОВ",
      "ЗАМЯТИН", "КАМЕНСКИЙ", "ВЫСОЦКИЙ", "ПОКРОВСКИЙ", "ЗАРЕЦКИЙ", "БЕРЕЗОВСКИЙ", "ЛИТВИНСКИЙ",
      "ШЕВЧЕНКО", "БОНДАРЕНКО", "КОВАЛЕНКО", "ТКАЧЕНКО", "КРАВЧУК", "МЕЛЬНИК", "КИМ", "ЦОЙ", "ГРИН",
      "ДЮМА", "О'КОННОР", "ЛЕВИ-СТРОСС", "ЁЛКИН", "ЭРИСТОВ"});
  // clang-format on
  // clang-format off
  static const std::vector<std::string> streets = Cp1251Words({
      "ЛЕНИНА", "МИРА", "СОВЕТСКАЯ", "САДОВАЯ", "ЦЕНТРАЛЬНАЯ", "ШКОЛЬНАЯ", "ЛЕСНАЯ", "НОВАЯ",
      "НАБЕРЕЖНАЯ", "ПОЧТОВАЯ", "МОЛОДЁЖНАЯ", "ПОЛЕВАЯ", "ГАГАРИНА", "ПУШКИНА", "КИРОВА", "ЧКАЛОВА",
      "ГОРЬКОГО", "ЛЕРМОНТОВА", "ЧЕХОВА", "ОКТЯБРЬСКАЯ", "КОМСОМОЛЬСКАЯ", "ПЕРВОМАЙСКАЯ", "ПРОЛЕТАРСКАЯ",
      "ЗЕЛЁНАЯ", "РАБОЧАЯ", "ЗАВОДСКАЯ", "ВОКЗАЛЬНАЯ", "СТРОИТЕЛЕЙ", "ЮБИЛЕЙНАЯ", "СОЛНЕЧНАЯ",
      "ЛУГОВАЯ", "РЕЧНАЯ", "ПОБЕДЫ", "СВОБОДЫ", "КАРЛА МАРКСА", "ФРУНЗЕ", "ДЗЕРЖИНСКОГО", "КУЙБЫШЕВА",
      "ЖУКОВА", "СУВОРОВА", "КУТУЗОВА", "ЛОМОНОСОВА", "МАЯКОВСКОГО", "НЕКРАСОВА", "ТОЛСТОГО", "ГОГОЛЯ",
      "ТУРГЕНЕВА", "ЕСЕНИНА", "ШЕВЧЕНКО", "ОСТРОВСКОГО", "МИЧУРИНА", "ТИМИРЯЗЕВА", "ЦИОЛКОВСКОГО",
      "КОРОЛЁВА", "ТЕРЕШКОВОЙ", "ТИТОВА", "МАТРОСОВА", "ПАНФИЛОВЦЕВ", "ГВАРДЕЙСКАЯ", "ПАРТИЗАНСКАЯ",
      "КРАСНОАРМЕЙСКАЯ", "ИНТЕРНАЦИОНАЛЬНАЯ", "ДРУЖБЫ", "ЭНТУЗИАСТОВ", "ЭНЕРГЕТИКОВ", "ГЕОЛОГОВ",
      "НЕФТЯНИКОВ", "ШАХТЁРОВ", "ЖЕЛЕЗНОДОРОЖНАЯ", "ПРИВОКЗАЛЬНАЯ", "ПРОМЫШЛЕННАЯ", "ТРАКТОВАЯ",
      "СИБИРСКАЯ", "УРАЛЬСКАЯ", "МОСКОВСКАЯ", "ЛЕНИНГРАДСКАЯ", "КИЕВСКАЯ", "МИНСКАЯ", "КАЗАНСКАЯ",
      "ВОЛЖСКАЯ", "ДОНСКАЯ", "БАЙКАЛЬСКАЯ", "АМУРСКАЯ", "СЕВЕРНАЯ", "ЮЖНАЯ", "ВОСТОЧНАЯ", "ЗАПАДНАЯ",
      "БЕРЁЗОВАЯ", "СОСНОВАЯ", "КЕДРОВАЯ", "РЯБИНОВАЯ", "ВИШНЁВАЯ", "ЯБЛОНЕВАЯ", "СИРЕНЕВАЯ",
      "ЦВЕТОЧНАЯ", "ПАРКОВАЯ", "ОЗЁРНАЯ", "ПРУДОВАЯ", "КЛЮЧЕВАЯ", "ГОРНАЯ", "СТЕПНАЯ", "ПОДГОРНАЯ",
      "ЗАРЕЧНАЯ", "НАГОРНАЯ", "СПОРТИВНАЯ", "СТУДЕНЧЕСКАЯ", "УНИВЕРСИТЕТСКАЯ", "АКАДЕМИЧЕСКАЯ",
      "БОЛЬНИЧНАЯ", "ТЕАТРАЛЬНАЯ", "МУЗЕЙНАЯ", "БИБЛИОТЕЧНАЯ", "ТОРГОВАЯ", "РЫНОЧНАЯ", "КУПЕЧЕСКАЯ",
      "ДВОРЯНСКАЯ", "СОБОРНАЯ", "ТРОИЦКАЯ", "ПОКРОВСКАЯ", "ВОСКРЕСЕНСКАЯ", "НИКОЛЬСКАЯ", "ПРЕОБРАЖЕНСКАЯ",
      "8 МАРТА", "1 МАЯ", "50 ЛЕТ ОКТЯБРЯ", "30 ЛЕТ ПОБЕДЫ", "9 ЯНВАРЯ", "26 БАКИНСКИХ КОМИССАРОВ"});
  // clang-format on
  // clang-format off
  static const std::vector<std::string> kinds = Cp1251Words({"", "", "", "", "", "", " ПР-Т", " ПЕР.", " Б-Р", " ПЛ.",
                                                             " ПРОЕЗД", " ШОССЕ", " НАБ."});
  // clang-format on
  // Initials: first names and patronymics by how often their letters start
  // one.
  static const std::string firstLetters = Cp1251("АААААВВВВВДДДЕЕИИИИИККМММММНННОООППРРСССССТЮЮГГБЛЛФЯЭ");
  static const std::string letters = Cp1251("АБВГДЕЖЗИКЛМНОПРСТФЮЯ");

  std::mt19937 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const std::string ov = Cp1251("ОВ"), ev = Cp1251("ЕВ"), in = Cp1251("ИН"), yov = Cp1251("ЁВ"), skiy = Cp1251("СКИЙ"),
                    tskiy = Cp1251("ЦКИЙ"), a = Cp1251("А"), aya = Cp1251("АЯ");
  auto female = [&](const std::string& s) {
    auto ends = [&](const std::string& e) {
      return s.size() > e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
    };
    if (ends(ov) || ends(ev) || ends(in) || ends(yov)) return s + a;
    if (ends(skiy) || ends(tskiy)) return s.substr(0, s.size() - 2) + aya;
    return s;  // unchanged: -ENKO, -UK, foreign names
  };
  // Every street has its own length and kind; houses and flats follow the
  // street's kind of housing (private houses have no flat).
  struct Street {
    std::string name;
    int houses;
    bool blocksOfFlats;
  };
  std::vector<Street> city;
  for (const auto& s : streets) {
    const std::string& kind = kinds[pick(kinds.size())];
    city.push_back({s + kind, 5 + static_cast<int>(pick(140)), pick(10) < 7});
  }
  // Phones: six digits, the first from 2 to 6 as the exchanges; distinct
  // while 450,000 have been handed out.  A taken number is drawn again, so
  // the limit stays at nine tenths of the exchanges' 500,000 numbers, where
  // a free one still takes about ten draws (the very last would take
  // 500,000).  A larger directory then lists further entries on numbers
  // drawn at random from all of them, mostly ones already taken (a line
  // shared by a flat or an office); the draws up to there are the same
  // whatever the size, so a directory of at most 450,000 entries stays what
  // it was.
  constexpr size_t kDistinctPhones = 450000;
  std::vector<bool> used(1000000, false);
  size_t handedOut = 1;  // 542783, the first record's
  auto phone = [&]() {
    if (handedOut >= kDistinctPhones) return std::to_string(200000 + static_cast<uint32_t>(pick(500000)));
    for (;;) {
      const uint32_t n = 200000 + static_cast<uint32_t>(pick(500000));
      if (!used[n]) {
        used[n] = true;
        ++handedOut;
        return std::to_string(n);
      }
    }
  };
  used[542783] = true;
  for (int32_t r = 1; r <= records_; ++r) {
    char* img = Image(r);
    if (static_cast<int>(pick(100)) < deletedPercent) img[0] = '*';
    std::string tel, fm, ul, nd, kw;
    if (r == 1) {
      tel = "542783", fm = Cp1251("ИВАНОВ ИП"), ul = Cp1251("ЛЕНИНА"), nd = "12", kw = "5";
    } else {
      tel = phone();
      // Common names come up far more often than rare ones.
      const size_t which = std::min(pick(surnames.size()), pick(surnames.size()));
      const std::string& male = surnames[which];
      // One draw per statement, so that every compiler makes the same data.
      fm = pick(2) ? female(male) : male;
      fm += ' ';
      fm += firstLetters[pick(firstLetters.size())];
      fm += letters[pick(letters.size())];
      const Street& street = city[pick(city.size())];
      ul = street.name;
      nd = std::to_string(1 + pick(static_cast<size_t>(street.houses)));
      const size_t extra = pick(20);
      if (extra == 0) nd += Cp1251("А");
      else if (extra == 1) nd += Cp1251("Б");
      else if (extra == 2) nd += "/" + std::to_string(1 + pick(4));
      if (street.blocksOfFlats) kw = std::to_string(1 + pick(pick(4) == 0 ? 300 : 120));
    }
    Put(img + Layout::tel, tel, Layout::telLength);
    Put(img + Layout::fm, fm, Layout::fmLength);
    Put(img + Layout::ul, ul, Layout::ulLength);
    Put(img + Layout::nd, nd, Layout::ndLength);
    Put(img + Layout::kw, kw, Layout::kwLength);
  }
}

void DirectoryImages::WriteTable(const std::string& file) const {
  if (!CreateDirectoryTable(file)) throw std::runtime_error("table not created");
  // The records go straight into the file after the header, and the count
  // is patched into the header.
  CVO_DiskFile f(file, true, false);
  f.cvReset();
  uint8_t hdr[32];
  if (f.cvRead(0, hdr, 32) != 32) throw std::runtime_error("short header");
  const int64_t headerLength = cvLoadLE16(hdr + 8);
  std::vector<char> all(images_);
  all.push_back(0x1A);
  f.cvWrite(headerLength, all.data(), static_cast<int32_t>(all.size()));
  cvStoreLE32(hdr + 4, static_cast<uint32_t>(records_));
  f.cvWrite(0, hdr, 32);
  f.cvCloseFile();
}

void DirectoryImages::WriteTableByAppend(const std::string& file) const {
  namespace fs = std::filesystem;
  const fs::path target(file);
  RemoveLeftovers(target);
  // The engine opens a table whatever the case of its name, so a table
  // that differs only in case is this one already.
  auto refuseExisting = [&] {
    if (const auto existing = FindExistingFile(file)) throw std::runtime_error(*existing + " exists already");
  };
  refuseExisting();
  const fs::path partial = target.parent_path() / PartialName(target, ::getpid());
  try {
    if (!CreateDirectoryTable(partial.string())) throw std::runtime_error("table not created: " + partial.string());
    {
      // The language driver byte says "Russian Windows", so that other
      // programs read the text in code page 1251.
      CVO_DiskFile f(partial.string(), true, false);
      f.cvReset();
      const uint8_t russianWindows = 0xC9;
      f.cvWrite(29, &russianWindows, 1);
      f.cvCloseFile();
    }
    {
      CVO_dBHandler table(partial.string(), "", true, false);
      for (int32_t r = 1; r <= records_; ++r) {
        const char* img = Image(r);
        table.cvBlank();
        table.cvFieldPut("TEL", std::string(img + Layout::tel, Layout::telLength));
        table.cvFieldPut("FM", std::string(img + Layout::fm, Layout::fmLength));
        table.cvFieldPut("UL", std::string(img + Layout::ul, Layout::ulLength));
        table.cvFieldPut("ND", std::string(img + Layout::nd, Layout::ndLength));
        table.cvFieldPut("KW", std::string(img + Layout::kw, Layout::kwLength));
        table.cvAppend();
        if (img[0] == '*') table.cvDeleteRec();
      }
      table.cvCloseTable();
    }
    // A table that appeared meanwhile is not replaced (the link itself
    // refuses only the exact name).
    refuseExisting();
    if (::link(partial.c_str(), target.c_str()) == 0) {
      fs::remove(partial);
    } else if (errno == EEXIST) {
      throw std::runtime_error(file + " exists already");
    } else {
      // A file system without hard links: the check and the rename are apart.
      fs::rename(partial, target);
    }
  } catch (...) {
    std::error_code ec;
    fs::remove(partial, ec);
    throw;
  }
}

}  // namespace sample
