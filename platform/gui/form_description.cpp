#include "platform/gui/form_description.h"

#include <charconv>
#include <cstdio>

#include "platform/code_page.h"

namespace {

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.'; }

class Reader {
public:
  Reader(std::string_view text, const std::string& source) : text_(text), source_(source) {}

  TDescribedComponent Read() {
    if (!NextLine()) Fail("the description is empty");
    TDescribedComponent top = ReadObject();
    if (NextLine()) Fail("text after the end of the top-level object");
    return top;
  }

private:
  [[noreturn]] void Fail(const std::string& what) const { DescriptionError(source_, line_, what); }

  // Moves to the next line that is not blank or a comment; false at the end.
  bool NextLine() {
    while (pos_ < text_.size()) {
      const size_t end = text_.find('\n', pos_);
      std::string_view line = text_.substr(pos_, end == std::string_view::npos ? std::string_view::npos : end - pos_);
      pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      ++line_;
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      if (line.empty() || line.front() == '#') continue;
      cur_ = line;
      at_ = 0;
      return true;
    }
    return false;
  }

  void SkipBlanks() {
    while (at_ < cur_.size() && (cur_[at_] == ' ' || cur_[at_] == '\t')) ++at_;
  }
  bool AtEnd() {
    SkipBlanks();
    return at_ >= cur_.size();
  }
  void ExpectEnd() {
    if (!AtEnd()) Fail("unexpected \"" + std::string(cur_.substr(at_)) + "\"");
  }

  std::string Name(const char* what) {
    SkipBlanks();
    if (at_ >= cur_.size() || !IsNameStart(cur_[at_])) Fail(std::string("a name expected for ") + what);
    const size_t start = at_;
    while (at_ < cur_.size() && IsNameChar(cur_[at_])) ++at_;
    return std::string(cur_.substr(start, at_ - start));
  }

  TDescribedComponent ReadObject() {
    TDescribedComponent c;
    c.Source = source_;
    c.Line = line_;
    if (Name("the keyword") != "object") Fail("\"object\" expected");
    c.Name = Name("the component");
    c.ClassName = Name("the class");
    ExpectEnd();
    for (;;) {
      if (!NextLine()) Fail("\"end\" of object " + c.Name + " missing");
      const size_t lineStart = at_;
      const std::string word = Name("a property");
      if (word == "end" && AtEnd()) return c;
      if (word == "object" && !AtEnd()) {
        at_ = lineStart;
        c.Children.push_back(ReadObject());
        continue;
      }
      if (word == "item" && !AtEnd()) {
        TDescribedItem item;
        item.Source = source_;
        item.Line = line_;
        item.Collection = Name("the collection");
        ExpectEnd();
        for (;;) {
          if (!NextLine()) Fail("\"end\" of an item of " + item.Collection + " missing");
          const std::string name = Name("a property");
          if (name == "end" && AtEnd()) break;
          AddProperty(item.Properties, name);
        }
        c.Items.push_back(std::move(item));
        continue;
      }
      AddProperty(c.Properties, word);
    }
  }

  void AddProperty(std::vector<TDescribedProperty>& into, const std::string& name) {
    for (const auto& p : into)
      if (p.Name == name) Fail("property " + name + " given twice");
    SkipBlanks();
    if (at_ >= cur_.size() || cur_[at_] != '=') Fail("\"=\" expected after " + name);
    ++at_;
    TDescribedProperty p;
    p.Name = name;
    p.Source = source_;
    p.Line = line_;
    p.Value = Value(name);
    ExpectEnd();
    into.push_back(std::move(p));
  }

  TDescribedValue Value(const std::string& property) {
    SkipBlanks();
    TDescribedValue v;
    if (at_ >= cur_.size()) Fail("a value expected for " + property);
    const char c = cur_[at_];
    if (c == '"') {
      v.kind = TDescribedValue::vkText;
      std::string utf8;
      for (++at_;; ++at_) {
        if (at_ >= cur_.size()) Fail("the text of " + property + " is not closed");
        if (cur_[at_] == '"') {
          if (at_ + 1 < cur_.size() && cur_[at_ + 1] == '"') {
            utf8 += '"';
            ++at_;
            continue;
          }
          ++at_;
          break;
        }
        utf8 += cur_[at_];
      }
      char32_t refused = 0;
      if (!Utf8ToCp1251(utf8, v.Text, &refused)) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(refused));
        Fail("the text of " + property + " holds " + code + ", which code page 1251 lacks");
      }
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      v.kind = TDescribedValue::vkInteger;
      const char* first = cur_.data() + at_;
      const char* last = cur_.data() + cur_.size();
      const auto [ptr, ec] = std::from_chars(first, last, v.Integer);
      if (ec != std::errc() || (ptr < last && IsNameChar(*ptr))) Fail("a bad number for " + property);
      at_ += static_cast<size_t>(ptr - first);
    } else if (c == '[') {
      v.kind = TDescribedValue::vkSet;
      ++at_;
      SkipBlanks();
      if (at_ < cur_.size() && cur_[at_] == ']') {
        ++at_;
        return v;
      }
      for (;;) {
        v.Names.push_back(Name(property.c_str()));
        SkipBlanks();
        if (at_ < cur_.size() && cur_[at_] == ',') {
          ++at_;
          continue;
        }
        if (at_ < cur_.size() && cur_[at_] == ']') {
          ++at_;
          break;
        }
        Fail("\",\" or \"]\" expected in the set of " + property);
      }
    } else {
      v.kind = TDescribedValue::vkName;
      v.Text = Name(property.c_str());
    }
    return v;
  }

  std::string_view text_;
  const std::string& source_;
  size_t pos_ = 0;
  int line_ = 0;
  std::string_view cur_;
  size_t at_ = 0;
};

template <class List>
const TDescribedProperty* FindIn(const List& properties, std::string_view name) {
  for (const auto& p : properties)
    if (p.Name == name) return &p;
  return nullptr;
}

}  // namespace

void DescriptionError(const std::string& source, int line, const std::string& what) {
  throw EFormDescriptionError("%s, line %d: %s", {source, line, what});
}

int32_t TDescribedProperty::AsInteger() const {
  if (Value.kind != TDescribedValue::vkInteger) Fail(Name + " needs a number");
  if (Value.Integer < INT32_MIN || Value.Integer > INT32_MAX) Fail(Name + " is out of range");
  return static_cast<int32_t>(Value.Integer);
}

const std::string& TDescribedProperty::AsText() const {
  if (Value.kind != TDescribedValue::vkText) Fail(Name + " needs a text in double quotes");
  return Value.Text;
}

bool TDescribedProperty::AsBoolean() const {
  if (Value.kind == TDescribedValue::vkName && Value.Text == "true") return true;
  if (Value.kind == TDescribedValue::vkName && Value.Text == "false") return false;
  Fail(Name + " needs true or false");
}

const std::string& TDescribedProperty::AsName() const {
  if (Value.kind != TDescribedValue::vkName) Fail(Name + " needs a name");
  return Value.Text;
}

const std::vector<std::string>& TDescribedProperty::AsSet() const {
  if (Value.kind != TDescribedValue::vkSet) Fail(Name + " needs a set of names in [ ]");
  return Value.Names;
}

const TDescribedProperty* TDescribedItem::Find(std::string_view name) const { return FindIn(Properties, name); }

const TDescribedProperty* TDescribedComponent::Find(std::string_view name) const { return FindIn(Properties, name); }

std::vector<const TDescribedItem*> TDescribedComponent::ItemsOf(std::string_view collection) const {
  std::vector<const TDescribedItem*> out;
  for (const auto& item : Items)
    if (item.Collection == collection) out.push_back(&item);
  return out;
}

TDescribedComponent ReadFormDescription(std::string_view utf8, const std::string& source) {
  return Reader(utf8, source).Read();
}
