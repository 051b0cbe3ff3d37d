// A phones.dbf and a DBF dataset over it for the binding's tests, kept in a
// source file of its own: the two engines' headers do not mix.
#pragma once

#include <memory>
#include <string>
#include <vector>

class TDataSet;
class TCorvidDataSet;

struct PhonesTable {
  explicit PhonesTable(int rows);
  ~PhonesTable();
  TDataSet* dataset() const;
  TCorvidDataSet* corvid() const;
  // An NTX tag on `key`, unique or not; the dataset back in natural order.
  void AddIndex(const std::string& file, const std::string& key, bool unique);
  std::vector<std::string> Walk(const std::string& field) const;

  struct Impl;
  std::unique_ptr<Impl> impl;
};
