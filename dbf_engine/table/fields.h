// The typed field layer of a DBF table.
//
// CVO_dBaseFld gives the record image meaning: it finds fields by name or
// number, converts between each field type's stored form and text, numbers,
// dates and logicals, blanks, deletes and recalls records, reads and writes
// memo fields through the memo object, checks a table password, and binds
// the table's fields and a few table functions into the expression engine so
// that index keys and filters can name them.  Every field operation acts on
// the active record image, which callers may point at a buffer of their own.
//
// Stored forms (text forms are right-aligned unless noted):
//
//   type  stored form                                  numeric read
//   C     text, left-aligned, blank-padded (<= 65535)   -
//   N, F  decimal text with "." as the point           the text's value
//   D     yyyymmdd, left-aligned                       -
//   L     one letter, left-aligned                     -
//   M,B,G 10-character block number (0x30: 4-byte LE)   the block number
//   I     (0x30) 4-byte signed LE                       the integer
//   T     (0x30) 4-byte LE Julian day, 4-byte LE ms     (day - 1721425) * 86400000 + ms;
//                                                       8 zero bytes are 0
//   Y     (0x30) 8-byte signed LE, value * 10000        the integer / 10000
//   B     (0x30) 8-byte IEEE double LE                  the double
//
// Code-page translation: who translates, and where.
//
// With the translate flag set (kvSetTranslateAscii; on after opening) the
// table holds OEM (866) text and callers work in ANSI (1251).  Which routine
// translates is fixed, and none translates what another already has, so a
// layer above (the dataset component, the locate code) knows what it must
// translate itself (what goes through the raw and memo routines) and what it
// must not (what goes through cvStringGetN and cvStringPutN):
//
//   routine                          on read (file -> caller)   on write (caller -> file)
//   cvStringGetN, cvStringGet        OEM -> ANSI: C, M and      -
//                                    types without a codec
//   cvStringPutN, cvStringPut        -                          ANSI -> OEM: C, M and
//                                                               types without a codec
//   cvStuffABuffer                   -                          once, inside the cvStringPut
//                                                               it calls; no translation of
//                                                               its own
//   cvMemoLoadN, cvMemoLoad          none: the stored bytes     -
//   cvMemoSaveN, cvMemoSave          -                          none: the bytes as given
//   cvFieldGet, cvFieldGetN,         none: the stored bytes     -
//   cvFieldPull
//   cvFieldPut, cvFieldPutN,         -                          none: the bytes as given
//   cvFieldPush
//   field variables (expressions)    none: keys and filters see the stored bytes; the
//                                    expression link's OemText flag only makes case
//                                    changes go through ANSI
//
// N, F, D and L fields hold ASCII, which translation leaves as it is, and B
// and G read as fixed markers; the typed routines (cvNumber*, cvDate*,
// cvLogic*) do not translate.  So the dataset component translates nothing
// that goes through cvStringGetN/cvStringPutN, and translates memo text
// itself exactly because its memo stream uses cvMemoLoadN/cvMemoSaveN; a
// memo written with cvStringPutN must not be translated before the call.
//
// Field numbers run from 1; a number outside 1..count gives a neutral value
// (empty text, 0, false) and raises nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/table/table_file.h"

class CVO_dBaseFld;
class Variant;
class cvMemoLockScope;

// A field bound as a variable of the expression language (kind code 17).
class TcvlDBFFieldVars : public TcvUserDefFieldVar {
public:
  TcvlDBFFieldVars(CVO_dBaseFld* table, int fieldNo, const std::string& names, int32_t length);
  int32_t FieldVarType() const override { return 17; }
  void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override;
  // C fields: the raw bytes in the active record image.
  bool FieldVarText(std::string_view& text) override;
  int FieldNo() const { return fieldNo_; }

private:
  CVO_dBaseFld* table_;
  int fieldNo_;
  // The descriptor's type, offset and length, fixed while the table is open.
  char type_ = 0;
  int32_t offset_ = 0;
  int32_t length_ = 0;
};

// One field of the table's field list.
class TcvDBFFields {
public:
  virtual ~TcvDBFFields() = default;
  virtual int32_t FieldValueSize() const { return 0; }
  virtual std::string FieldValue() const { return {}; }

  CVO_dBaseFld* Table = nullptr;
  std::string Name;
  int32_t Length = 0;
  int32_t Decimals = 0;
  char Type = 0;
  int FieldNo = 0;
  int32_t Offset = 0;
  std::shared_ptr<TcvlDBFFieldVars> FieldVar;
};

class CVO_dBaseFld : public CVO_dBaseDBF {
public:
  // Opens the table (see CVO_dBaseDBF), checks the password of an
  // enciphered table and binds the fields into the expression link.
  CVO_dBaseFld(const std::string& name, const std::string& password, bool readWrite, bool shared);
  ~CVO_dBaseFld() override;

  // --- Lookup --------------------------------------------------------------
  bool cvFieldLocate(const std::string& name, int& number) const;
  int cvFieldNo(const std::string& name) const;
  // Raises "There is no field name %s" for an unknown name.
  int cvAnalyzeField(const std::string& name) const;
  // cvAnalyzeField, then the type must match (a wanted G accepts B and M, a
  // wanted N accepts B, F, G, I and M); else "Field %s is the incorrect type".
  int cvCheckField(const std::string& name, char wanted) const;
  std::string cvFieldName(int n) const { return cvDescName(n); }
  char cvFieldType(int n) const { return cvDescType(n); }
  int32_t cvFieldLength(int n) const { return cvDescLength(n); }
  int32_t cvFieldDecimals(int n) const { return cvDescDecimals(n); }
  int32_t cvFieldOffset(int n) const { return cvDescOffset(n); }

  // --- Raw access ----------------------------------------------------------
  std::string cvFieldPull(int n, const uint8_t* image) const;
  std::string cvFieldGet(const std::string& name) const;
  std::string cvFieldGetN(int n) const;
  // Blank-fills the field and stores text cut to its length, left-aligned for
  // C, D and L, right-aligned otherwise.
  void cvFieldPush(int n, const std::string& text);
  bool cvFieldPut(const std::string& name, const std::string& text);
  bool cvFieldPutN(int n, const std::string& text);

  // --- Typed access --------------------------------------------------------
  int32_t cvDateGetN(int n) const;
  bool cvDatePutN(int n, int32_t day);
  int32_t cvDateGet(const std::string& name) const { return cvDateGetN(cvCheckField(name, 'D')); }
  bool cvDatePut(const std::string& name, int32_t day) { return cvDatePutN(cvCheckField(name, 'D'), day); }
  bool cvLogicGetN(int n) const;
  void cvLogicPutN(int n, bool value);
  bool cvLogicGet(const std::string& name) const { return cvLogicGetN(cvCheckField(name, 'L')); }
  void cvLogicPut(const std::string& name, bool v) { cvLogicPutN(cvCheckField(name, 'L'), v); }
  long double cvNumberGetN(int n) const;
  void cvNumberPutN(int n, long double value);
  long double cvNumberGet(const std::string& name) const { return cvNumberGetN(cvCheckField(name, 'N')); }
  void cvNumberPut(const std::string& name, long double v) { cvNumberPutN(cvCheckField(name, 'N'), v); }
  std::string cvStringGetN(int n);
  bool cvStringPutN(int n, const std::string& text);
  std::string cvStringGet(const std::string& name);
  bool cvStringPut(const std::string& name, const std::string& text);

  // --- Record level ----------------------------------------------------------
  void cvBlank();
  // Marks the current record deleted (recalls it) and writes the mark at
  // once.  On a shared table the record is locked and re-read first, so only
  // the mark changes in the file.
  void cvDeleteRec();
  void cvUndelete();
  void cvGetRec(int32_t n) override;
  void cvClearFldChanged();

  // --- Memo fields -----------------------------------------------------------
  // The memo object when n is a memo field (M, G, and B outside 0x30 tables).
  CVobjMemo* cvMemoFieldCheck(int n);
  int cvMemoFieldNumber(const std::string& name);
  uint32_t cvMemoSizeN(int n);
  bool cvMemoLoadN(int n, std::string& data);
  uint32_t cvMemoSaveN(int n, const std::string& data);
  uint32_t cvMemoSize(const std::string& name) { return cvMemoSizeN(cvMemoFieldNumber(name)); }
  bool cvMemoLoad(const std::string& name, std::string& data) { return cvMemoLoadN(cvMemoFieldNumber(name), data); }
  uint32_t cvMemoSave(const std::string& name, const std::string& data) {
    return cvMemoSaveN(cvMemoFieldNumber(name), data);
  }

  // Builds a search image in `buffer` (record length + 1 bytes): blanks it,
  // then stores the value (or the items of an array value, one per listed
  // field) into the ";"-separated fields.  The active image is restored.
  void cvStuffABuffer(uint8_t* buffer, const std::string& fieldList, const Variant& values);

  bool kvGetTranslateAscii() const { return translate_; }
  void kvSetTranslateAscii(bool on);

  TcvExpUserLink* cvExpLink() const { return link_.get(); }
  const std::vector<std::unique_ptr<TcvDBFFields>>& cvFieldList() const { return fields_; }
  int cvLastField() const { return lastField_; }

private:
  bool ValidField(int n) const { return n >= 1 && n <= cvFieldCount(); }
  std::string QualifiedName(int n) const;
  void MarkChanged(int n);
  bool IsBinary30(char type) const;
  std::string Translated(std::string text) const;
  std::string Untranslated(std::string text) const;
  // The block number in memo field n; "Memo record is bad in %s" (the memo
  // file's name) for a number that names no block.
  uint32_t MemoBlockOf(int n, const CVobjMemo& memo) const;

  friend class cvMemoRunsLeftBehind;

  mutable int lastField_ = 0;
  bool translate_ = true;
  bool memoRunsPending_ = false;  // memos saved since the last record write
  std::unique_ptr<TcvExpUserLink> link_;
  std::vector<std::unique_ptr<TcvDBFFields>> fields_;
};

// The dBase IV memo runs that one record write leaves behind.  A saved memo
// goes to free space (cvMemoSaveN) and the run the record named stays as it
// was; this scope, built before the record is written, reads under the memo
// lock which runs the record names on disk now (not what the caller's image
// was read with: another writer may have moved its memo since) and keeps
// those the image about to be written no longer names.  Release, called
// once the record is written, gives them back to the free chain.  A writer
// that dies in between leaves them unused, never free while a record names
// them.  The memo lock is held until the scope ends, so two writers of one
// record never both give back the same run.  Nothing is done (and nothing
// read) unless memos were saved since the last write.
class cvMemoRunsLeftBehind {
public:
  // `record`: the record about to be rewritten; anything outside the table
  // (an append) leaves nothing behind.
  cvMemoRunsLeftBehind(CVO_dBaseFld& table, int32_t record);
  ~cvMemoRunsLeftBehind();
  cvMemoRunsLeftBehind(const cvMemoRunsLeftBehind&) = delete;
  cvMemoRunsLeftBehind& operator=(const cvMemoRunsLeftBehind&) = delete;
  // The record is written: the runs go back to the free chain.  A run that
  // cannot be given back (damaged) only stays unused: the write stands.
  void Release() noexcept;

private:
  // The blocks the memo fields of `image` name (0 for none or damage).
  std::vector<uint32_t> BlocksIn(uint8_t* image, const CVobjMemo& memo);

  CVO_dBaseFld& table_;
  CVobjMemo* memo_ = nullptr;
  std::unique_ptr<cvMemoLockScope> lock_;
  std::vector<uint32_t> runs_;
};
