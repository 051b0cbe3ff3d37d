// The class library's string list: texts with an attached object pointer
// each, optionally kept sorted, with name=value access.
//
// Texts compare with the locale's order (platform/text.h): case-insensitive
// by default, case-sensitive when `SetCaseSensitive(true)`.  A sorted list
// keeps its order on `Add` and finds by binary search; `Duplicates` decides
// what adding an equal text to a sorted list does.  A bad index raises
// EListError "List index out of bounds (%d)".
//
// The list never owns the objects it carries; an owner frees them itself.
//
// Change notification: every edit of the list fires `OnChanging` before and
// `OnChange` after it.  Between `BeginUpdate` and the matching `EndUpdate`
// the single edits stay quiet: the outermost `BeginUpdate` fires
// `OnChanging` once and the outermost `EndUpdate` fires `OnChange` once.
// Bulk edits (setting the text, assigning another list) are one update.
// A copy takes the texts and settings, never the handlers.
#pragma once

#include <functional>
#include <string>
#include <vector>

enum TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList {
public:
  TStringList() = default;
  TStringList(const TStringList& other);
  TStringList& operator=(const TStringList& other);
  virtual ~TStringList() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Strings(int index) const;
  const std::string& operator[](int index) const { return Strings(index); }
  void SetString(int index, const std::string& s);  // not allowed on a sorted list
  void* Objects(int index) const;
  template <typename T>
  T* ObjectAs(int index) const {
    return static_cast<T*>(Objects(index));
  }
  void SetObject(int index, void* object);

  // Index of the new entry (in a sorted list: its place; dupIgnore gives the
  // existing entry's index and adds nothing).  dupError raises EListError
  // "String list does not allow duplicates".
  int Add(const std::string& s);
  int AddObject(const std::string& s, void* object);
  void AddStrings(const TStringList& other);
  // EListError "Operation not allowed on sorted list" on a sorted list.
  void Insert(int index, const std::string& s);
  void InsertObject(int index, const std::string& s, void* object);
  void Delete(int index);
  void Clear();
  void Exchange(int i, int j);
  void Move(int from, int to);
  void Assign(const TStringList& other);  // texts and objects only

  int IndexOf(const std::string& s) const;      // -1 when absent
  int IndexOfObject(const void* object) const;  // -1 when absent
  // Binary search of a sorted list: true and the index when found, else
  // false and the index where the text belongs.
  bool Find(const std::string& s, int& index) const;

  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);
  bool CaseSensitive() const { return caseSensitive_; }
  void SetCaseSensitive(bool on);
  TDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDuplicates d) { duplicates_ = d; }
  void Sort();
  // Sorts with the caller's order (the list stays unsorted as a property).
  void CustomSort(const std::function<int(const TStringList&, int, int)>& compare);

  // name=value lines.
  char NameValueSeparator() const { return separator_; }
  void SetNameValueSeparator(char c) { separator_ = c; }
  std::string Names(int index) const;           // text before the separator; "" when none
  std::string ValueFromIndex(int index) const;  // text after the separator
  int IndexOfName(const std::string& name) const;
  std::string Values(const std::string& name) const;  // "" when absent
  // An empty value removes the line; a new name is added at the end.
  void SetValue(const std::string& name, const std::string& value);

  // Lines joined with CR LF; setting splits at CR LF, LF or CR.
  std::string Text() const;
  void SetText(const std::string& text);
  // Comma text: entries separated by commas (or blanks), an entry with a
  // blank, comma or quote written in double quotes with quotes doubled.
  std::string CommaText() const;
  void SetCommaText(const std::string& text);
  char Delimiter() const { return delimiter_; }
  void SetDelimiter(char c) { delimiter_ = c; }
  char QuoteChar() const { return quote_; }
  void SetQuoteChar(char c) { quote_ = c; }
  std::string DelimitedText() const;
  void SetDelimitedText(const std::string& text);

  // The file's bytes as lines; EInOutError when it cannot be read/written.
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;

  // Descendants may order texts differently.
  virtual int CompareStrings(const std::string& a, const std::string& b) const;

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return updateCount_; }
  std::function<void(TStringList* sender)> OnChange;
  std::function<void(TStringList* sender)> OnChanging;

protected:
  virtual void Changing();
  virtual void Changed();

private:
  struct Item {
    std::string text;
    void* object = nullptr;
  };
  // Runs one edit between BeginUpdate and EndUpdate.  When the edit raises,
  // the list may have changed part-way: OnChange still fires, and the
  // edit's own error is the one that leaves.
  template <typename Op>
  void Edit(Op op);
  void CheckIndex(int index) const;
  void CopyContents(const TStringList& other);
  void InsertItem(int index, const std::string& s, void* object);

  std::vector<Item> items_;
  bool sorted_ = false;
  bool caseSensitive_ = false;
  TDuplicates duplicates_ = dupIgnore;
  char separator_ = '=';
  char delimiter_ = ',';
  char quote_ = '"';
  int updateCount_ = 0;
};
