# The independent side of the data-change cases (dml_cases_test.cpp).
#
#   dml_oracle.py dump <table.dbf>
#       every record as python3-dbf reads it, one line each: fields joined
#       by "|", a deleted record prefixed with "*".
#   dml_oracle.py sqlite <initial dir> <table> <statements file>
#       SQLite seeded with the tables of <initial dir> as python3-dbf reads
#       them, runs the statements (one per line), then prints
#       "changes=<n>" (rows changed by the last statement) and the table's
#       rows in rowid order; a failing statement prints "error=<text>".
#
# Cells: NULL for a null value, an empty text and an empty blob; numbers in
# %.10g (so 4.00 and 4 read alike); bytes as upper-case hexadecimal.
import glob
import os
import sqlite3
import sys

import dbf


def cell(v):
    if v is None:
        return "NULL"
    if isinstance(v, (bytes, bytearray)):
        return bytes(v).hex().upper() if v else "NULL"
    if isinstance(v, bool):
        return "1" if v else "0"
    if isinstance(v, (int, float)):
        return "%.10g" % v
    v = str(v).strip()
    return v if v else "NULL"


class Raw(bytes):
    """A general (binary) field's bytes: python3-dbf hands them over decoded
    by the table's code page; cp437 maps every byte, so they come back."""

    def __new__(cls, s=b""):
        return bytes.__new__(cls, s.encode("cp437") if isinstance(s, str) else s)


def records(path):
    t = dbf.Table(path)
    t.open(dbf.READ_ONLY)
    binary = {}
    for f in t.field_names:
        kind = t.field_info(f)[0]
        if (chr(kind) if isinstance(kind, int) else str(kind)) in ("G", "P"):
            binary[f] = Raw
    t.close()
    t = dbf.Table(path, codepage="cp437", field_data_types=binary) if binary else dbf.Table(path)
    t.open(dbf.READ_ONLY)
    try:
        for r in t:
            yield dbf.is_deleted(r), [r[i] for i in range(len(t.field_names))]
    finally:
        t.close()


def dump(path):
    for deleted, values in records(path):
        print(("*" if deleted else "") + "|".join(cell(v) for v in values))


def sqlite_run(initial, table, statements):
    db = sqlite3.connect(":memory:")
    for path in sorted(glob.glob(os.path.join(initial, "*.dbf"))):
        name = os.path.splitext(os.path.basename(path))[0]
        t = dbf.Table(path)
        t.open(dbf.READ_ONLY)
        columns = []
        for f in t.field_names:
            info = t.field_info(f)
            kind = chr(info[0]) if isinstance(info[0], int) else str(info[0])
            if kind == "N":
                columns.append("%s %s" % (f, "REAL" if info[2] else "INTEGER"))
            elif kind == "C":
                columns.append("%s TEXT" % f)
            else:
                columns = None
                break
        t.close()
        if columns is None:
            continue  # memo and blob tables stay out of SQLite
        db.execute("CREATE TABLE %s (%s)" % (name, ", ".join(columns)))
        for deleted, values in records(path):
            if deleted:
                continue
            values = [None if isinstance(v, str) and not v.strip() else (v.strip() if isinstance(v, str) else v)
                      for v in values]
            db.execute("INSERT INTO %s VALUES (%s)" % (name, ", ".join("?" * len(values))), values)
    changes = 0
    with open(statements) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            try:
                cur = db.execute(line)
                changes = cur.rowcount
            except sqlite3.Error as e:
                print("error=%s" % e)
                break
    print("changes=%d" % changes)
    for row in db.execute("SELECT * FROM %s ORDER BY rowid" % table):
        print("|".join(cell(v) for v in row))


if __name__ == "__main__":
    if sys.argv[1] == "dump":
        dump(sys.argv[2])
    else:
        sqlite_run(sys.argv[2], sys.argv[3], sys.argv[4])
