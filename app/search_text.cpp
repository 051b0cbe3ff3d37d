#include "search_text.h"

#include "platform/code_page.h"

namespace {

std::string Cp1251(std::string_view utf8) {
  std::string out;
  Utf8ToCp1251(utf8, out);
  return out;
}

std::string Piece(const char* head, const std::string& value, const char* suffix) {
  if (value.empty()) return {};
  return std::string(head) + QuoteSearchValue(value, suffix);
}

}  // namespace

std::string QuoteSearchValue(const std::string& value, const char* suffix) {
  const bool apostrophe = value.find('\'') != std::string::npos;
  if (apostrophe && value.find('"') != std::string::npos)
    throw ESearchInput(Cp1251("Поле поиска не может содержать одновременно ' и \""));
  const char quote = apostrophe ? '"' : '\'';
  std::string out;
  out.reserve(value.size() + 3);
  out += quote;
  out += value;
  out += suffix;
  out += quote;
  return out;
}

std::string BuildSearchText(const TSearchFields& f) {
  const std::string pieces[5] = {
      Piece("and tel like ", f.Tel, ""), Piece("and fm like ", f.Fm, "%"), Piece("and ul like ", f.Ul, "%"),
      Piece("and nd=", f.Nd, ""),        Piece("and kw=", f.Kw, ""),
  };
  std::string text = "select * from phones where";
  bool any = false;
  for (const std::string& p : pieces) {
    text += ' ';
    text += p;
    any = any || !p.empty();
  }
  text += ';';
  if (!any) return {};
  // The first condition follows "where" without its conjunction; the blanks
  // stay where the letters were.
  const size_t at = text.find(" and");
  text.replace(at + 1, 3, "   ");
  return text;
}
