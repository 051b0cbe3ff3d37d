// Data changes over in-memory datasets: SELECT ... INTO an existing target
// (the source records' fields, converted to the target's kinds),
// the counts checked before anything changes, a failing post cancelled, an
// UPDATE whose change moves the record in the dataset's own order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/db.h"
#include "platform/db_fields.h"
#include "platform/numbers.h"
#include "platform/variant.h"
#include "sql_engine/query/custom_sift.h"
#include "common/expr_test_support.h"

namespace {

// Rows of variants that can be appended, edited and deleted.  `Sorted`
// keeps the rows in the order of their first column, so an edit of that
// column moves its row as an index would.  `FailPost` makes the n-th post
// raise.
class TWritableRows : public TRowDataSet {
public:
  TWritableRows(std::vector<TTestColumn> cols, std::vector<std::vector<Variant>> data)
      : TRowDataSet(std::move(cols), std::move(data)) {
    for (size_t i = 0; i < rows.size(); ++i) ids_.push_back(nextId_++);
  }

  bool Sorted = false;
  int FailPost = 0;
  int Posts = 0;

  // The rows as "a|b|c" texts, NULL for null.
  std::vector<std::string> Dump() const {
    std::vector<std::string> out;
    for (const auto& r : rows) {
      std::string s;
      for (size_t i = 0; i < r.size(); ++i) {
        if (i) s += "|";
        s += r[i].IsClear() ? "NULL" : r[i].AsString();
      }
      out.push_back(s);
    }
    return out;
  }

protected:
  // Row i of `rows` has the id ids_[i]: ids stay with their rows through
  // deletes and re-sorts, as bookmarks must.
  int32_t RowId(int row) const override { return ids_[static_cast<size_t>(row)]; }
  int RowOfId(int32_t id) const override {
    for (size_t i = 0; i < ids_.size(); ++i)
      if (ids_[i] == id) return static_cast<int>(i);
    DatabaseError("Bookmark not found");
  }
  int GetRecordCount() override { return static_cast<int>(rows.size()); }
  void InternalDelete() override {
    rows.erase(rows.begin() + pos_);
    ids_.erase(ids_.begin() + pos_);
    if (pos_ >= static_cast<int>(rows.size())) pos_ = static_cast<int>(rows.size()) - 1;
  }
  void InternalInitRecord(TRecordBuffer b) override {
    TRowCursorDataSet::InternalInitRecord(b);
    edit_.assign(columns.size(), Variant());
  }
  void InternalEdit() override { edit_ = rows[static_cast<size_t>(pos_)]; }
  void InternalPost() override {
    TDataSet::InternalPost();
    if (FailPost && ++Posts == FailPost) DatabaseError("injected post failure");
    if (State() == dsInsert) {
      rows.push_back(edit_);
      ids_.push_back(nextId_++);
      pos_ = static_cast<int>(rows.size()) - 1;
    } else {
      rows[static_cast<size_t>(pos_)] = edit_;
    }
    if (Sorted) {
      const int32_t id = ids_[static_cast<size_t>(pos_)];
      std::vector<size_t> order(rows.size());
      for (size_t k = 0; k < order.size(); ++k) order[k] = k;
      std::stable_sort(order.begin(), order.end(),
                       [&](size_t a, size_t b) { return rows[a][0].AsInteger() < rows[b][0].AsInteger(); });
      std::vector<std::vector<Variant>> sortedRows;
      std::vector<int32_t> sortedIds;
      for (size_t k : order) {
        sortedRows.push_back(std::move(rows[k]));
        sortedIds.push_back(ids_[k]);
      }
      rows = std::move(sortedRows);
      ids_ = std::move(sortedIds);
      pos_ = RowOfId(id);
    }
  }
  bool GetFieldData(TField* field, void* buffer) override {
    const Variant* v = nullptr;
    if (State() == dsEdit || State() == dsInsert) {
      v = &edit_[static_cast<size_t>(field->FieldNo() - 1)];
    } else {
      if (IsEmpty()) return false;
      const int32_t id = ActiveId();
      for (size_t i = 0; i < ids_.size(); ++i)
        if (ids_[i] == id) v = &rows[i][static_cast<size_t>(field->FieldNo() - 1)];
    }
    if (!v || v->IsClear()) return false;
    return !buffer || VariantToBuffer(*v, field, buffer);
  }
  void SetFieldData(TField* field, const void* buffer) override {
    if (State() != dsEdit && State() != dsInsert) DatabaseError("not editing");
    Variant& v = edit_[static_cast<size_t>(field->FieldNo() - 1)];
    if (!buffer) {
      v = Variant();
      return;
    }
    switch (field->DataType()) {
      case ftString: v = Variant(std::string(static_cast<const char*>(buffer))); break;
      case ftInteger: {
        int32_t n;
        std::memcpy(&n, buffer, 4);
        v = Variant(n);
        break;
      }
      case ftFloat: {
        double d;
        std::memcpy(&d, buffer, 8);
        v = Variant(d);
        break;
      }
      default: DatabaseError("type not stored");
    }
  }

private:
  std::vector<int32_t> ids_;
  std::vector<Variant> edit_;
  int32_t nextId_ = 1;
};

const Variant N = Variant::Null();

struct TTables {
  TWritableRows t{{{"ID", ftInteger}, {"NAME", ftString, 10}, {"PRICE", ftFloat}},
                  {{1, "apple", 1.5}, {2, "pear", 2.25}, {3, "plum", N}}};
  TWritableRows into{{{"N", ftInteger}, {"NAME", ftString, 10}, {"TOTAL", ftFloat}}, {}};
  // t's fields as texts, and back as numbers.
  TWritableRows text{{{"PRICE", ftString, 8}, {"ID", ftString, 6}, {"NAME", ftString, 10}}, {}};
  TWritableRows back{{{"ID", ftInteger}, {"NAME", ftString, 10}, {"PRICE", ftFloat}}, {}};
  TSift q;
  FormatSettingsGuard separators{'.', ','};  // the dumps' numbers
  TTables() {
    for (TWritableRows* d : {&t, &into, &text, &back}) d->Open();
    q.AddDataSet(&t, "t");
    q.AddDataSet(&into, "into_t");
    q.AddDataSet(&text, "text_t");
    q.AddDataSet(&back, "back_t");
  }
  std::string Exec(const std::string& sql) {
    try {
      q.SetSQL(sql);
      if (sql.rfind("select", 0) == 0) {
        q.Open();
        q.Close();
      } else {
        q.ExecSQL();
      }
    } catch (const Exception& e) {
      return e.Message();
    }
    return "";
  }
};

using Rows = std::vector<std::string>;

TEST(SiftModify, SelectIntoCopiesTheSourceRecordsFieldsByTheirNames) {
  TTables x;
  // Only columns that read a field are copied, into the field of that
  // field's name: the computed "id" and the aliases do not decide anything.
  EXPECT_EQ(x.Exec("select price as p, id * 10 as id, name, id as k from t where name > 'b' into text_t for append"),
            "");
  EXPECT_EQ(x.q.RowsAffected, 2);
  EXPECT_EQ(x.text.Dump(), (Rows{"2.25|2|pear", "NULL|3|plum"}));
  // And back into numbers: the same records as the source's.
  EXPECT_EQ(x.Exec("select * from text_t into back_t for append"), "");
  EXPECT_EQ(x.back.Dump(), (Rows{"2|pear|2.25", "3|plum|NULL"}));
  // Sorted rows keep their own records.
  EXPECT_EQ(x.Exec("select name, price, id from t where id < 3 order by price desc into back_t for append"), "");
  EXPECT_EQ(x.back.Dump(), (Rows{"2|pear|2.25", "3|plum|NULL", "2|pear|2.25", "1|apple|1.5"}));
  // The source itself as target: each row is read before its append.
  EXPECT_EQ(x.Exec("select * from t where id < 3 into t for append"), "");
  EXPECT_EQ(x.t.Dump(), (Rows{"1|apple|1.5", "2|pear|2.25", "3|plum|NULL", "1|apple|1.5", "2|pear|2.25"}));
  EXPECT_EQ(x.t.State(), dsBrowse);

  // No column that reads a field, or no rows: nothing happens.
  EXPECT_EQ(x.Exec("select id * 10 as id, 'x' as name from t into back_t for append"), "");
  EXPECT_EQ(x.Exec("select id, name from t where id > 99 into back_t for append"), "");
  EXPECT_EQ(x.back.Dump().size(), 4u);
  // A text that is no number fails before its record is appended.
  EXPECT_EQ(x.Exec("insert into text_t (price, id, name) values ('abc', '9', 'fig')"), "");
  EXPECT_NE(x.Exec("select id, price from text_t where name = 'fig' into back_t for append").find("abc"),
            std::string::npos);
  EXPECT_EQ(x.back.Dump().size(), 4u);
  EXPECT_EQ(x.back.State(), dsBrowse);

  // The INTO table must be a source; fields none of which the table has
  // append nothing.
  EXPECT_NE(x.Exec("select id from t into missing for append").find("The INTO table defined does not exists"),
            std::string::npos);
  EXPECT_NE(x.Exec("select id, price from t into into_t for append").find("no result column"), std::string::npos);
  EXPECT_TRUE(x.into.Dump().empty());
}

// A text literal that spans lines, given through the query component, stores
// LF for each of its line ends, its empty lines kept: the component holds
// SQL as lines, and the line reader ends each line with LF.  A line given
// ended by CR LF comes out as LF too (a line of the list does not tell how
// it was ended).  The statement analyzer given the text directly keeps CR LF
// (the lexer tests hold that road).
TEST(SiftModify, ALiteralOverSeveralLinesIsStoredWithLfLineEnds) {
  TTables x;
  EXPECT_EQ(x.Exec("insert into t (id, name) values (7, 'a\r\n\r\n\r\nb')"), "");
  EXPECT_EQ(x.Exec("insert into t (id, name)\n\nvalues (8,\n\"c\n\nd\"\n\n)"), "");
  EXPECT_EQ(x.Exec("update t set name = 'e\r\n\r\nf' + name where id = 3"), "");
  ASSERT_EQ(x.t.rows.size(), 5u);
  EXPECT_EQ(x.t.rows[3][1].AsString(), "a\n\n\nb");
  EXPECT_EQ(x.t.rows[4][1].AsString(), "c\n\nd");
  EXPECT_EQ(x.t.rows[2][1].AsString(), "e\n\nfplum");
  // Found again by the same literal, whichever line ends it was written with.
  EXPECT_EQ(x.Exec("delete from t where name = 'a\n\n\nb'"), "");
  EXPECT_EQ(x.t.rows.size(), 4u);
  EXPECT_EQ(x.Exec("delete from t where name = 'c\r\n\r\nd'"), "");
  EXPECT_EQ(x.t.rows.size(), 3u);
  // The script road splits the script into statements and runs each as the
  // text of SQL: the same line ends.
  x.q.SetSQLScript("insert into t (id, name) values (9, 'g\r\n\r\nh');\r\nupdate t set name = name + '\n' where id = 9;");
  x.q.ExecSQLScript();
  ASSERT_EQ(x.t.rows.size(), 4u);
  EXPECT_EQ(x.t.rows[3][1].AsString(), "g\n\nh\n");
  // Lines put into SQL one by one: each ends with LF inside the literal.
  x.q.SQL().Clear();
  x.q.SQL().Add("insert into t (id, name) values (10, 'i");
  x.q.SQL().Add("");
  x.q.SQL().Add("j')");
  x.q.ExecSQL();
  ASSERT_EQ(x.t.rows.size(), 5u);
  EXPECT_EQ(x.t.rows[4][1].AsString(), "i\n\nj");
}

TEST(SiftModify, CountsAreCheckedBeforeAnythingChanges) {
  TTables x;
  EXPECT_NE(x.Exec("insert into t (id, name) values (4, 'fig') insert into t (*) values (5, 'kiwi', 1, 2)")
                .find("4 values for 3 fields"),
            std::string::npos);
  EXPECT_NE(x.Exec("insert into t (id) values (4, 5)").find("2 values for 1 fields"), std::string::npos);
  EXPECT_NE(x.Exec("insert into t (nosuch) values (4)").find("INSERT: Field: nosuch does not exist"),
            std::string::npos);
  // Mass update: three records, one subquery row.
  EXPECT_NE(x.Exec("update t set price = price = (select price from t where id = 1)").find("subquery gives 1 rows"),
            std::string::npos);
  EXPECT_NE(x.Exec("update t set nosuch = 1").find("Field Name nosuch not found"), std::string::npos);
  EXPECT_EQ(x.t.Dump(), (Rows{"1|apple|1.5", "2|pear|2.25", "3|plum|NULL"}));
}

TEST(SiftModify, AFailedPostIsCancelledAndEarlierPostsStay) {
  TTables x;
  x.t.FailPost = 2;
  EXPECT_NE(x.Exec("update t set name = 'x'").find("injected post failure"), std::string::npos);
  EXPECT_EQ(x.t.State(), dsBrowse);
  EXPECT_EQ(x.q.RowsAffected, 1);
  EXPECT_EQ(x.t.Dump(), (Rows{"1|x|1.5", "2|pear|2.25", "3|plum|NULL"}));
  x.t.FailPost = 0;
  // The next statement posts only its own record.
  EXPECT_EQ(x.Exec("insert into t (id) values (9)"), "");
  EXPECT_EQ(x.t.Dump(), (Rows{"1|x|1.5", "2|pear|2.25", "3|plum|NULL", "9|NULL|NULL"}));
}

TEST(SiftModify, AnUpdateThatMovesRecordsInTheOrderUpdatesEachMatchOnce) {
  TWritableRows k{{{"N", ftInteger}}, {{1}, {5}, {6}, {7}}};
  k.Sorted = true;
  k.Open();
  TSift q;
  q.AddDataSet(&k, "k");
  q.SetSQL("update k set n = n + 10 where n >= 5");
  q.ExecSQL();
  EXPECT_EQ(q.RowsAffected, 3);
  EXPECT_EQ(k.Dump(), (Rows{"1", "15", "16", "17"}));
  // Cancelled while the records are looked for: none is changed.
  q.OnCancelQuery = [](TCustomSift*, bool& cancel) { cancel = true; };
  q.SetSQL("update k set n = 0");
  q.ExecSQL();
  EXPECT_EQ(q.RowsAffected, 0);
  EXPECT_EQ(k.Dump(), (Rows{"1", "15", "16", "17"}));
  // A null result empties the field; the values of one row are read before
  // any of its fields changes.
  TTables x;
  EXPECT_EQ(x.Exec("update t set name = '' where id = 2"), "");
  EXPECT_EQ(x.Exec("update t set price = id, id = price where id = 1"), "");
  EXPECT_EQ(x.t.Dump(), (Rows{"2|apple|1", "2|NULL|2.25", "3|plum|NULL"}));
}

}  // namespace
