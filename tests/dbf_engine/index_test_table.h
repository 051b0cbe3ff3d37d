// A real DBF table behind the narrow index interface, for the index format
// tests.  Kept in its own translation unit: the table headers and the index
// core headers are not included together.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/index/index_table_link.h"

class IndexTestTable : public CVobjIndexTableLink {
public:
  // Creates a dBase III table; each field is "NAME;T;length;decimals".
  static void Create(const std::string& path, const std::vector<std::string>& fields);
  explicit IndexTestTable(const std::string& path);
  ~IndexTestTable() override;

  // Appends a record from raw field texts (in field order) and leaves it
  // current with no edit pending; returns its number.
  int32_t Append(const std::vector<std::string>& values);
  // Edit cycle as the record handler runs it: the record is read and its
  // image saved, fields are changed, the record written; the saved image
  // stays until EndEdit so the indexes can see the old key.
  void BeginEdit(int32_t recno);
  void Put(const std::string& field, const std::string& text);
  void Write();
  void EndEdit();
  // Appending: a blank record with a saved (blank) image.
  void BeginAppend();
  int32_t WriteAppend();

  int32_t ixRecordCount() override;
  int32_t ixCurrentRecord() override;
  bool ixReadRecord(int32_t recno) override;
  bool ixHasOriginalRecord() override { return editing_; }
  bool ixRecordModified() override;
  void ixUseOriginalRecord(bool original) override;
  bool ixExactMatch() override { return exact; }
  TcvExpUserLink* ixExpressionLink() override;
  void ixStatusUpdate(int32_t stat1, int32_t, int32_t) override { if (stat1 == -1) ++phases; }
  std::string ixReadKey() override { return cipherKey; }
  std::string ixWriteKey() override { return cipherKey; }
  std::string ixTableFileName() override { return path_; }
  bool ixProductionIndex() override { return false; }
  void ixSetProductionIndex(bool) override {}
  int32_t ixAccessRetries() override { return 1; }

  bool exact = true;
  std::string cipherKey;  // the key index pages are enciphered with
  int phases = 0;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string path_;
  bool editing_ = false;
};
