// A small in-memory table for the index file tests: records of a name, a
// number and a date, bound as the variables NAME, NUM and DAT (and NOTHING,
// which yields no value), with the image before the current edit kept apart.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf_engine/expr/expression.h"
#include "dbf_engine/index/index_table_link.h"

namespace {

struct Row {
  std::string name;  // NAME, 10 characters
  double num = 0;    // NUM
  int32_t date = 0;  // DAT (Julian day)
};

class Table;

// A field of the fake table, bound as a variable of the expression language.
class Var : public TcvUserDefFieldVar {
public:
  Var(Table* t, const char* name, int which) : TcvUserDefFieldVar(name), t_(t), which_(which) {}
  void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override;

private:
  Table* t_;
  int which_;
};

// Record i is rows[i-1]; `old` holds the images before the current edit.
class Table : public CVobjIndexTableLink {
public:
  std::vector<Row> rows, old;
  int32_t current = 0;
  bool editing = false, useOriginal = false;
  std::string fileName = "/tmp/people.dbf";

  Table() {
    link.RegisterFieldVar(std::make_shared<Var>(this, "NAME", 0));
    link.RegisterFieldVar(std::make_shared<Var>(this, "NUM", 1));
    link.RegisterFieldVar(std::make_shared<Var>(this, "DAT", 2));
    link.RegisterFieldVar(std::make_shared<Var>(this, "NOTHING", 3));
  }
  int32_t Add(const std::string& name, double num = 0, int32_t date = 0) {
    Row r{name, num, date};
    r.name.resize(10, ' ');
    rows.push_back(r);
    old.push_back(r);
    return current = static_cast<int32_t>(rows.size());
  }
  const Row& Cur() const {
    static const Row blank{std::string(10, ' '), 0, 0};
    if (current < 1 || current > static_cast<int32_t>(rows.size())) return blank;
    return useOriginal ? old[static_cast<size_t>(current - 1)] : rows[static_cast<size_t>(current - 1)];
  }

  TcvExpUserLink link;
  int32_t ixRecordCount() override { return static_cast<int32_t>(rows.size()); }
  int32_t ixCurrentRecord() override { return current; }
  bool ixReadRecord(int32_t recno) override {
    current = recno;
    return true;
  }
  bool ixHasOriginalRecord() override { return editing; }
  bool ixRecordModified() override {
    const Row& a = rows[static_cast<size_t>(current - 1)];
    const Row& b = old[static_cast<size_t>(current - 1)];
    return a.name != b.name || a.num != b.num || a.date != b.date;
  }
  void ixUseOriginalRecord(bool original) override { useOriginal = original; }
  bool ixExactMatch() override { return false; }
  TcvExpUserLink* ixExpressionLink() override { return &link; }
  void ixStatusUpdate(int32_t, int32_t, int32_t) override {}
  std::string ixReadKey() override { return {}; }
  std::string ixWriteKey() override { return {}; }
  std::string ixTableFileName() override { return fileName; }
  bool ixProductionIndex() override { return production; }
  void ixSetProductionIndex(bool on) override { production = on; }
  int32_t ixAccessRetries() override { return 1; }
  bool production = false;
};

void Var::FieldVarResult(TcvExpValue& value, TcvExpResultType& type) {
  const Row& r = t_->Cur();
  switch (which_) {
    case 0:
      value.SetText(r.name);
      type = rtText;
      break;
    case 1:
      value.SetFloat(r.num);
      type = rtFloat;
      break;
    case 2:
      value.SetFloat(r.date);
      type = rtDate;
      break;
    default:
      value.SetNull();
      type = rtEmpty;
      break;
  }
}

}  // namespace
