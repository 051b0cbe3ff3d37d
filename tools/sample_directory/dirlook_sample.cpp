// dirlook_sample: writes a realistic city telephone directory, phones.dbf,
// into a folder, for trying Dirlook out.
//
//   dirlook_sample [--records N] [--seed S] FOLDER
//
// The table is dBase III with the fields TEL, FM, UL, ND and KW in code page
// 1251; N entries (default 100,000, at most 10,000,000) drawn from seed S
// (default 1): the same N and S make the same records (the header's date
// and time of the last update are when the table was written).  Phones are
// distinct over the first 450,000 entries; a larger directory lists further
// entries on numbers already taken.  An existing phones.dbf (in any case of
// its name) is never overwritten.  The table is built as
// phones-<pid>.tmp.dbf; one left by a run that was killed is removed by the
// next run into the folder.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "directory_generator.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: dirlook_sample [--records N] [--seed S] FOLDER\n");
  return 2;
}

bool Number(const char* text, long long min, long long max, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 10);
  return end && *end == '\0' && end != text && out >= min && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
  long long records = 100000, seed = 1;
  std::string folder;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--records" && i + 1 < argc) {
      // The records are built in memory first (73 bytes each).
      if (!Number(argv[++i], 1, 10000000, records)) {
        std::fprintf(stderr, "dirlook_sample: --records takes 1 to 10000000\n");
        return 2;
      }
    } else if (arg == "--seed" && i + 1 < argc) {
      if (!Number(argv[++i], 0, 4294967295LL, seed)) {
        std::fprintf(stderr, "dirlook_sample: --seed takes 0 to 4294967295\n");
        return 2;
      }
    } else if (!arg.empty() && arg[0] != '-' && folder.empty()) {
      folder = arg;
    } else {
      return Usage();
    }
  }
  if (folder.empty()) return Usage();
  try {
    std::filesystem::create_directories(folder);
    const std::string file = (std::filesystem::path(folder) / "phones.dbf").string();
    sample::DirectoryImages(sample::Style::kCity, static_cast<int32_t>(records), static_cast<uint32_t>(seed))
        .WriteTableByAppend(file);
    std::printf("%s: %lld entries\n", file.c_str(), records);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dirlook_sample: %s\n", e.what());
    return 1;
  }
}
