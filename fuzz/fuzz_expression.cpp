// Compiles and evaluates arbitrary expression texts against a small table:
// every input must end in a value or an error of the system, never in a
// crash, a hang or a sanitizer report.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/table/fields.h"
#include "platform/exceptions.h"

namespace fs = std::filesystem;

namespace {

// FM C(20), ND C(5), N N(6,2), D D, L L, one record.
CVO_dBaseFld& Table() {
  static std::unique_ptr<CVO_dBaseFld> table = [] {
    const fs::path dir = fs::temp_directory_path() / ("fuzz_expression_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const struct {
      const char* name;
      char type;
      int len, dec;
    } fields[] = {{"FM", 'C', 20, 0}, {"ND", 'C', 5, 0}, {"N", 'N', 6, 2}, {"D", 'D', 8, 0}, {"L", 'L', 1, 0}};
    const int n = 5, hdrLen = 32 + 32 * n + 1, recLen = 1 + 20 + 5 + 6 + 8 + 1;
    std::string img(static_cast<size_t>(hdrLen), '\0');
    img[0] = 0x03;
    img[4] = 1;
    img[8] = static_cast<char>(hdrLen);
    img[10] = static_cast<char>(recLen);
    for (int i = 0; i < n; ++i) {
      std::memcpy(&img[32 + 32 * i], fields[i].name, std::strlen(fields[i].name));
      img[32 + 32 * i + 11] = fields[i].type;
      img[32 + 32 * i + 16] = static_cast<char>(fields[i].len);
      img[32 + 32 * i + 17] = static_cast<char>(fields[i].dec);
    }
    img[32 + 32 * n] = 0x0D;
    img += " \xC8\xE2\xE0\xED\xEE\xE2              5      12.5020240229T";
    img += '\x1A';
    std::ofstream((dir / "phones.dbf"), std::ios::binary) << img;
    auto t = std::make_unique<CVO_dBaseFld>((dir / "phones.dbf").string(), "", false, false);
    t->cvGetRec(1);
    fs::remove_all(dir);
    return t;
  }();
  return *table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  CVO_dBaseFld& t = Table();
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (bool oem : {false, true}) {
    t.kvSetTranslateAscii(oem);
    try {
      TcvExpHandler h(t.cvExpLink(), "");
      h.CaseInsensitive = oem;
      h.SetExpression(text);
      TcvExpValue v;
      h.ExpressionResult(v);
      (void)h.GetExpression();
      (void)h.EnumerateType(17);
    } catch (const Exception&) {
      // A catalogue or platform error is a fine answer to a bad text.
    }
  }
  return 0;
}
