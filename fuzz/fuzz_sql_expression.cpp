// Arbitrary expression texts through the expression lexer, parser and
// evaluation against a small in-memory dataset: every text is compiled or
// refused with the engine's exceptions, and every getter of a compiled
// tree answers or raises one of them, on every row.  Never a crash, a hang
// or a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/expr_test_support.h"
#include "platform/exceptions.h"

namespace {

template <class F>
void Try(F f) {
  try {
    f();
  } catch (const Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024 || size == 0) return 0;
  // The first byte picks the mode: a statement context or a filter text.
  const bool filter = data[0] & 1;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  FormatSettingsGuard guard('.', ',');
  TRowDataSet ds({{"S", ftString, 8}, {"I", ftInteger}, {"F", ftFloat}, {"B", ftBoolean}, {"D", ftDate}},
                 {{Variant("abc"), Variant(int32_t{7}), Variant(-2.5), Variant(true), Variant::DateTime(37986)},
                  {Variant::Null(), Variant::Null(), Variant::Null(), Variant::Null(), Variant::Null()},
                  {Variant("%_!"), Variant(int32_t{-2147483647 - 1}), Variant(1e300), Variant(false),
                   Variant::DateTime(-700000)}});
  ds.Open();
  TFakeContext ctx;
  ctx.datasets["T"] = &ds;
  ctx.udf = true;
  ctx.params.CreateParam(ftString, "P", ptInput)->SetAsString("x%");
  ctx.paramsAsFields["Q"] = {"T", "I"};
  TExprParser parser(filter ? nullptr : &ctx, &ds);
  try {
    parser.ParseExpression(text);
  } catch (const Exception&) {
    return 0;
  }
  TExpression* e = parser.Expression.get();
  if (!e) return 0;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    Try([&] { (void)e->GetExprType(); });
    Try([&] { (void)e->GetMaxLen(); });
    Try([&] { (void)e->GetAsString(); });
    Try([&] { (void)e->GetAsFloat(); });
    Try([&] { (void)e->GetAsInteger(); });
    Try([&] { (void)e->GetAsBoolean(); });
    Try([&] { (void)e->GetIsNull(); });
  }
  return 0;
}
