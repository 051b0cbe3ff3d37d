// DuckDB's single-thread time for the window's four directory searches, as
// a reference figure beside bench_query_search and bench_window (not run by
// CI).
//
//   DIRLOOK_BENCH_EXPORT=/tmp/dirlook-rows build-bench/bench/bench_query_search --benchmark_filter=SiftFilter
//   (mkdir -p /tmp/duckdb && cd /tmp/duckdb && npm install @duckdb/node-api)
//   NODE_PATH=/tmp/duckdb/node_modules node bench/duckdb_window.mjs /tmp/dirlook-rows/sample-1000000 /tmp/dirlook-rows/sample-4000000
//   (the synthetic directory's rows: /tmp/dirlook-rows/synthetic-1000000 ...)
//
// Each FOLDER holds the rows (phones.csv: UTF-8, empty fields null, as the
// benchmarks give them to SQLite), the searched values (searches.txt) and,
// when bench_query_search wrote them, each search's row digest
// (digest-<i>.txt).  The table is loaded into memory; each search reads
// every column of every matching row, warm, and the median and the best of
// the runs are printed.  Before the timing the rows of each search are
// checked against the digest (the same order-independent hash of all five
// fields of every row, code page 1251, as bench/sqlite_rows.h computes): a
// mismatch fails the script.
import { createRequire } from 'node:module';
import { existsSync, readFileSync } from 'node:fs';
import path from 'node:path';

const require = createRequire(path.join(process.cwd(), 'noop.js'));
const { DuckDBInstance } = require('@duckdb/node-api');

const folders = process.argv.slice(2);
if (folders.length === 0) {
  console.error('usage: node duckdb_window.mjs FOLDER... (written by bench_query_search with DIRLOOK_BENCH_EXPORT)');
  process.exit(2);
}
const quote = (s) => "'" + s.replaceAll("'", "''") + "'";

// Code page 1251 of a UTF-16 character, from the platform's own decoder.
const cp1251 = new Map();
{
  const decoder = new TextDecoder('windows-1251');
  for (let b = 0; b < 256; ++b) cp1251.set(decoder.decode(Uint8Array.of(b)), b);
}

// bench::RowDigest over rows of UTF-8 text (null as empty).
const M = (1n << 64n) - 1n;
const FNV = 0x100000001b3n;
function digest(rows) {
  let sum = 0n, xor = 0n, bytes = 0;
  for (const row of rows) {
    let h = 0xcbf29ce484222325n;
    for (const cell of row) {
      const text = cell ?? '';
      for (const ch of text) {
        const b = cp1251.get(ch);
        if (b === undefined) throw new Error(`not in code page 1251: ${ch}`);
        h = ((h ^ BigInt(b)) * FNV) & M;
      }
      h = (((h ^ 0x1fn) * FNV) & M) ^ BigInt(text.length);
      bytes += text.length;
    }
    let z = (h + 0x9e3779b97f4a7c15n) & M;
    z = ((z ^ (z >> 30n)) * 0xbf58476d1ce4e5b9n) & M;
    z = ((z ^ (z >> 27n)) * 0x94d049bb133111ebn) & M;
    z ^= z >> 31n;
    sum = (sum + z) & M;
    xor ^= z;
  }
  return `${rows.length} ${bytes} ${sum.toString(16).padStart(16, '0')} ${xor.toString(16).padStart(16, '0')}`;
}

let failed = false;
for (const folder of folders) {
  const values = readFileSync(path.join(folder, 'searches.txt'), 'utf8').split('\n');
  const instance = await DuckDBInstance.create(':memory:', { threads: '1' });
  const db = await instance.connect();
  await db.run(
    `CREATE TABLE phones AS SELECT * FROM read_csv(${quote(path.join(folder, 'phones.csv'))}, ` +
      `header = true, all_varchar = true, quote = '"', escape = '"')`);
  const count = (await db.runAndReadAll('select count(*) from phones')).getRows()[0][0];
  console.log(`${folder}: ${count} rows in memory, one thread`);

  const searches = [
    ['phone pattern', `select tel, fm, ul, nd, kw from phones where tel like ${quote(values[0])}`],
    ['surname prefix', `select tel, fm, ul, nd, kw from phones where fm like ${quote(values[1] + '%')}`],
    ['street prefix', `select tel, fm, ul, nd, kw from phones where ul like ${quote(values[2] + '%')}`],
    ['house and flat', `select tel, fm, ul, nd, kw from phones where nd = ${quote(values[3])} and kw = ${quote(values[4])}`],
  ];
  const runs = 15;
  for (const [i, [name, sql]] of searches.entries()) {
    const rows = (await db.runAndReadAll(sql)).getRows();
    const expectedFile = path.join(folder, `digest-${i}.txt`);
    let check = 'unchecked';
    if (existsSync(expectedFile)) {
      const expected = readFileSync(expectedFile, 'utf8').trim();
      const got = digest(rows);
      check = got === expected ? 'rows checked' : `ROWS DIFFER: ${got} against ${expected}`;
      if (got !== expected) failed = true;
    }
    const times = [];
    for (let r = 0; r < runs + 2; ++r) {
      const start = process.hrtime.bigint();
      const reader = await db.runAndReadAll(sql);
      reader.getRows();
      const ms = Number(process.hrtime.bigint() - start) / 1e6;
      if (r >= 2) times.push(ms);  // the first two warm up
    }
    times.sort((a, b) => a - b);
    console.log(`  ${name.padEnd(15)} median ${times[runs >> 1].toFixed(1).padStart(7)} ms, best ` +
                `${times[0].toFixed(1).padStart(7)} ms  rows=${rows.length}  ${check}`);
  }
  db.closeSync?.();
}
if (failed) {
  console.error('duckdb_window: DuckDB returned other rows than SQLite');
  process.exit(1);
}
