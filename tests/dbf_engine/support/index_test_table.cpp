// Tables behind the narrow index interface (see the header).
#include "index_test_table.h"

#include <cstring>

#include "dbf_engine/table/fields.h"

struct IndexTestTable::Impl {
  std::unique_ptr<CVO_dBaseFld> table;
  std::vector<uint8_t> original;
};

void IndexTestTable::Create(const std::string& path, const std::vector<std::string>& fields) {
  cvCreateDBF(path, "3", [&](int i, std::string& name, std::string& type, int32_t& length, int32_t& decimals) {
    if (i > static_cast<int>(fields.size())) {
      name.clear();
      return true;
    }
    size_t pos = 0;
    const std::string& f = fields[static_cast<size_t>(i - 1)];
    name = cvExtractFieldName(f, pos);
    type = cvExtractFieldName(f, pos);
    length = std::stoi(cvExtractFieldName(f, pos));
    decimals = std::stoi(cvExtractFieldName(f, pos));
    return true;
  });
}

IndexTestTable::IndexTestTable(const std::string& path) : impl_(std::make_unique<Impl>()) {
  fileName = path;
  exact = true;
  productionSettable = false;
  impl_->table = std::make_unique<CVO_dBaseFld>(path, "", true, false);
  impl_->original.assign(static_cast<size_t>(impl_->table->cvRecordLength()) + 1, ' ');
}

IndexTestTable::~IndexTestTable() {
  try {
    impl_->table->cvSetActiveBuffer(nullptr);
    impl_->table->cvCloseTable();
  } catch (...) {
  }
}

int32_t IndexTestTable::Append(const std::vector<std::string>& values) {
  CVO_dBaseFld& t = *impl_->table;
  t.cvBlank();
  for (size_t i = 0; i < values.size(); ++i) t.cvFieldPush(static_cast<int>(i + 1), values[i]);
  t.cvAppend();
  return t.cvRecordCount();
}

void IndexTestTable::BeginEdit(int32_t recno) {
  CVO_dBaseFld& t = *impl_->table;
  t.cvGetRec(recno);
  std::memcpy(impl_->original.data(), t.cvActiveBuffer(), static_cast<size_t>(t.cvRecordLength()));
  editing = true;
}

void IndexTestTable::Put(const std::string& field, const std::string& text) {
  impl_->table->cvFieldPush(impl_->table->cvAnalyzeField(field), text);
}

void IndexTestTable::Write() { impl_->table->cvPutRec(impl_->table->cvCurrentRecord()); }

void IndexTestTable::EndEdit() { editing = false; }

void IndexTestTable::BeginAppend() {
  CVO_dBaseFld& t = *impl_->table;
  t.cvBlank();
  std::memcpy(impl_->original.data(), t.cvActiveBuffer(), static_cast<size_t>(t.cvRecordLength()));
  editing = true;
}

int32_t IndexTestTable::WriteAppend() {
  impl_->table->cvAppend();
  impl_->table->cvSetCurrentRecord(impl_->table->cvRecordCount());
  return impl_->table->cvRecordCount();
}

int32_t IndexTestTable::ixRecordCount() { return impl_->table->cvRecordCount(); }
int32_t IndexTestTable::ixCurrentRecord() { return impl_->table->cvCurrentRecord(); }

bool IndexTestTable::ixReadRecord(int32_t recno) {
  impl_->table->cvGetRec(recno);
  return impl_->table->cvCurrentRecord() == recno;
}

bool IndexTestTable::ixRecordModified() {
  CVO_dBaseFld& t = *impl_->table;
  return std::memcmp(impl_->original.data(), t.cvOwnBuffer(), static_cast<size_t>(t.cvRecordLength())) != 0;
}

void IndexTestTable::ixUseOriginalRecord(bool original) {
  impl_->table->cvSetActiveBuffer(original ? impl_->original.data() : nullptr);
}

TcvExpUserLink* IndexTestTable::ixExpressionLink() { return impl_->table->cvExpLink(); }

PeopleIndexTable::PeopleIndexTable() {
  fileName = "/tmp/people.dbf";
  BindRow("NAME", [](const PeopleRow& r, TcvExpValue& value, TcvExpResultType& type) {
    value.SetText(r.name);
    type = rtText;
  });
  BindRow("NUM", [](const PeopleRow& r, TcvExpValue& value, TcvExpResultType& type) {
    value.SetFloat(r.num);
    type = rtFloat;
  });
  BindRow("DAT", [](const PeopleRow& r, TcvExpValue& value, TcvExpResultType& type) {
    value.SetFloat(r.date);
    type = rtDate;
  });
  BindRow("NOTHING", [](const PeopleRow&, TcvExpValue& value, TcvExpResultType& type) {
    value.SetNull();
    type = rtEmpty;
  });
}

int32_t PeopleIndexTable::Add(const std::string& name, double num, int32_t date) {
  PeopleRow r{name, num, date};
  r.name.resize(10, ' ');
  return current = Append(r);
}

// A character field of the image.
class ImageIndexTable::TextVar : public TcvUserDefFieldVar {
public:
  TextVar(ImageIndexTable* t, const Field& f) : TcvUserDefFieldVar(f.name), t_(t), at_(f.at), length_(f.length) {}
  void FieldVarResult(TcvExpValue& value, TcvExpResultType& type) override {
    value.SetText(std::string(t_->image_.data() + at_, static_cast<size_t>(length_)));
    type = rtText;
  }
  bool FieldVarText(std::string_view& text) override {
    text = std::string_view(t_->image_.data() + at_, static_cast<size_t>(length_));
    return true;
  }

private:
  ImageIndexTable* t_;
  int at_, length_;
};

ImageIndexTable::ImageIndexTable(int32_t records, int recordLength, const std::vector<Field>& fields)
    : records_(records), image_(static_cast<size_t>(recordLength), ' ') {
  exact = true;
  productionSettable = false;
  for (const Field& f : fields) Bind(std::make_shared<TextVar>(this, f));
}

bool ImageIndexTable::ixReadRecord(int32_t recno) {
  if (recno < 1 || recno > records_) return false;
  std::memcpy(image_.data(), RecordImage(recno), image_.size());
  current = recno;
  return true;
}
