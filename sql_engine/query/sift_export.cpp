// Text export of an open query: a delimited text file read through the
// query's own dataset interface, so its filter and current order apply.
//
// The file is one header line of the listed names and one line per row,
// each ended by CR LF.  Values are the fields' texts as they stand (code
// page 1251 bytes, no translation), with blanks and control characters
// trimmed at both ends.  A listed name that is not a field, or a blob field,
// writes nothing, not even its separator; the separator follows every entry
// but the last of the list, so a blob listed last leaves the separator of
// the entry before it at the end of the line.
//
// Quoting: with a quote character every value is put between it and the
// character is doubled inside, so a value holding it still reads back.
// Without one, "quote when needed" puts a value holding a double quote, the
// separator, CR or LF between double quotes with its double quotes doubled,
// and leaves other values bare; with it off every value is written as it
// stands (a plain dump whose reader must know that no value breaks a line).
//
// The text goes to a temporary file beside the target, renamed over it once
// everything is written: a failure leaves the old file as it was.  Only a
// regular file is replaced that way: a target that exists as anything else
// (a directory, a device node, a FIFO, a socket) is refused, since the
// rename would put a regular file in its place.  A symbolic link is
// followed to the regular file it names, and that file is replaced; the
// link stays as it is.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/exceptions.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sql_engine/sift_messages.h"
#include "sql_engine/query/custom_sift.h"

namespace {

constexpr const char* kMsgBadSeparator = "The separator cannot be a line end, NUL or the quote character";
constexpr const char* kMsgNoFileName = "No file name for the text export";
constexpr const char* kMsgNotRegularFile = "Cannot write file \"%s\". It is not a regular file";

[[noreturn]] void NotRegularFile(const std::string& name) { throw EInOutError(kMsgNotRegularFile, {name}); }

// The file the export replaces: `name` itself when it is a regular file or
// does not exist yet, the regular file a symbolic link leads to, and a
// refusal for anything else (a link that leads nowhere included).
std::string ExportTarget(const std::string& name) {
  struct stat st {};
  // A name that cannot be looked at is left to the creation of the
  // temporary file beside it, which reports why.
  if (::lstat(name.c_str(), &st) != 0) return name;
  if (S_ISREG(st.st_mode)) return name;
  if (!S_ISLNK(st.st_mode)) NotRegularFile(name);
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(name.c_str(), nullptr), &std::free);
  if (!real || ::stat(real.get(), &st) != 0 || !S_ISREG(st.st_mode)) NotRegularFile(name);
  return real.get();
}

bool IsBlobType(TFieldType t) {
  return t == ftBytes || t == ftVarBytes || (t >= ftBlob && t <= ftTypedBinary) || (t >= ftADT && t <= ftDataSet);
}

// The temporary file the text is written to, renamed over the target on
// Commit and removed otherwise.
class TExportFile {
public:
  explicit TExportFile(const std::string& target) : target_(target) {
    temp_ = GetTempFileName(ExtractFileDir(target_).empty() ? "." : ExtractFileDir(target_), "~kp");
    handle_ = FileOpen(temp_, true, false);
    if (handle_ < 0) Fail(temp_);
  }
  ~TExportFile() {
    FileClose(handle_);
    if (!committed_) FileDelete(temp_);
  }
  TExportFile(const TExportFile&) = delete;
  TExportFile& operator=(const TExportFile&) = delete;

  void Write(const std::string& text) {
    buffer_ += text;
    if (buffer_.size() >= kFlushSize) Flush();
  }

  void Commit() {
    Flush();
    // The new file gets the old one's permissions, or those a newly
    // created file would get (the temporary file is private to its owner).
    struct stat st {};
    mode_t mode;
    if (::stat(target_.c_str(), &st) == 0) {
      mode = st.st_mode & 07777;
    } else {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      mode = 0666 & ~mask;
    }
    if (::fchmod(handle_, mode) != 0) Fail(temp_);
    FileClose(handle_);
    // Looked at again just before it is replaced: the name may have become
    // something else while the rows were written.
    if (::lstat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) NotRegularFile(target_);
    if (!FileRename(temp_, target_)) Fail(target_);
    committed_ = true;
  }

private:
  static constexpr size_t kFlushSize = 1 << 16;

  void Flush() {
    if (buffer_.empty()) return;
    if (!FileWrite(handle_, position_, buffer_.data(), buffer_.size())) Fail(temp_);
    position_ += static_cast<int64_t>(buffer_.size());
    buffer_.clear();
  }
  [[noreturn]] static void Fail(const std::string& name) {
    const int err = errno;
    throw EInOutError("Cannot write file \"%s\". %s", {name, std::strerror(err)});
  }

  std::string target_, temp_;
  int handle_ = -1;
  int64_t position_ = 0;
  std::string buffer_;
  bool committed_ = false;
};

class TQuoting {
public:
  TQuoting(char quoteChar, char separator, bool whenNeeded)
      : quote_(quoteChar), separator_(separator), whenNeeded_(whenNeeded) {}

  std::string operator()(const std::string& value) const {
    if (quote_ != '\0') return Enclose(value, quote_);
    if (!whenNeeded_) return value;
    for (char c : value)
      if (c == '"' || c == separator_ || c == '\r' || c == '\n') return Enclose(value, '"');
    return value;
  }

private:
  static std::string Enclose(const std::string& value, char q) {
    std::string out(1, q);
    for (char c : value) {
      out += c;
      if (c == q) out += q;
    }
    out += q;
    return out;
  }

  char quote_, separator_;
  bool whenNeeded_;
};

// Disables the controls for one scope.
class TControlsScope {
public:
  explicit TControlsScope(TDataSet& ds) : ds_(ds) { ds_.DisableControls(); }
  ~TControlsScope() { ds_.EnableControls(); }
  TControlsScope(const TControlsScope&) = delete;
  TControlsScope& operator=(const TControlsScope&) = delete;

private:
  TDataSet& ds_;
};

}  // namespace

void TCustomSift::WriteToTextFile(const std::string& FileName, char QuoteChar, char Separator, bool QuoteWhenNeeded,
                                  TStringList& FieldNames) {
  CheckActive();
  if (Trim(FileName).empty()) throw EInOutError(kMsgNoFileName);
  // A double quote cannot part values that may be put between double quotes.
  if (Separator == '\0' || Separator == '\r' || Separator == '\n' || Separator == QuoteChar ||
      (QuoteChar == '\0' && QuoteWhenNeeded && Separator == '"'))
    throw ESiftError(kMsgBadSeparator);
  if (FieldNames.Count() == 0)
    for (TField* f : Fields())
      if (!IsBlobType(f->DataType())) FieldNames.Add(f->FieldName());

  // The fields in list order; none for a name that writes nothing.
  std::vector<TField*> fields;
  for (int i = 0; i < FieldNames.Count(); ++i) {
    TField* f = FindField(FieldNames[i]);
    fields.push_back(f && !IsBlobType(f->DataType()) ? f : nullptr);
  }
  const TQuoting quote(QuoteChar, Separator, QuoteWhenNeeded);
  const size_t last = fields.size() - 1;

  TExportFile file(ExportTarget(NormalizePath(FileName)));
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!fields[i]) continue;
    line += quote(FieldNames[static_cast<int>(i)]);
    if (i != last) line += Separator;
  }
  file.Write(line + "\r\n");
  {
    TControlsScope controls(*this);
    First();
    while (!Eof()) {
      line.clear();
      for (size_t i = 0; i < fields.size(); ++i) {
        if (!fields[i]) continue;
        line += quote(Trim(fields[i]->AsString()));
        if (i != last) line += Separator;
      }
      file.Write(line + "\r\n");
      Next();
    }
  }
  file.Commit();
}
