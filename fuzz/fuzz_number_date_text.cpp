// The text parsers and formatters of numbers and dates with arbitrary input:
// every failure must be a conversion error, never a crash, hang or other
// exception.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "dbf_engine/dates.h"
#include "platform/date_time.h"
#include "platform/exceptions.h"
#include "platform/numbers.h"
#include "platform/string_list.h"
#include "platform/variant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string s(reinterpret_cast<const char*>(data), size);

  long double x = 0;
  if (TryStrToFloat(s, x) && std::fabs(x) > 1e-300L && std::fabs(x) < 1e300L) {
    // what we print we read back (to the 15 digits printed)
    std::string back = FloatToStr(x);
    long double y = StrToFloat(back);
    if (std::fabs(static_cast<double>((y - x) / x)) > 1e-14) __builtin_trap();
  }
  double d = 0;
  (void)TextToFloatC(s, d);
  int64_t n = 0;
  (void)TextToInt64C(s, n);
  int32_t i = 0;
  (void)TryStrToInt(s, i);

  TDateTime dt = 0;
  if (TryStrToDate(s, dt)) {
    // a parsed date prints and parses back to itself
    TDateTime again = 0;
    if (!TryStrToDate(DateToStr(dt), again) || again != dt) __builtin_trap();
  }
  (void)TryStrToDateTime(s, dt);
  (void)TryStrToTime(s, dt);
  try {
    int32_t julian = DBFDate.CTOD(s);
    if (julian != 0 && DBFDate.CTOD(DBFDate.DTOS(julian)) != julian) __builtin_trap();
  } catch (const EConvertError&) {
  }

  // the input as pictures and format strings
  double value = size ? static_cast<double>(data[0]) * 12.345 - 1000 : 0;
  (void)FormatFloat(s, value);
  (void)FormatDateTime(s, 39000.5 + value);
  try {
    (void)Format(s, {Variant(42), Variant("text"), Variant(value)});
  } catch (const EConvertError&) {
  }
  TStringList l;
  l.SetCommaText(s);
  TStringList back;
  back.SetCommaText(l.CommaText());
  if (back.Count() != l.Count()) __builtin_trap();
  for (int k = 0; k < l.Count(); ++k)
    if (back[k] != l[k]) __builtin_trap();
  return 0;
}
