// DuckDB's single-thread time for the window's four directory searches, as
// a reference figure beside bench_window (not run by CI).
//
//   DIRLOOK_BENCH_EXPORT=/tmp/dirlook-rows build-rel/bench/bench_window --benchmark_filter=Sqlite
//   (cd /tmp/duckdb && npm install @duckdb/node-api)
//   NODE_PATH=/tmp/duckdb/node_modules node bench/duckdb_window.mjs /tmp/dirlook-rows
//
// The rows are the same generated directory (UTF-8, empty fields null, as
// bench_window gives them to SQLite); each search reads every column of
// every matching row, warm, and the median of the runs is printed.
import { createRequire } from 'node:module';
import { readFileSync } from 'node:fs';
import path from 'node:path';

const require = createRequire(path.join(process.cwd(), 'noop.js'));
const { DuckDBInstance } = require('@duckdb/node-api');

const folder = process.argv[2];
if (!folder) {
  console.error('usage: node duckdb_window.mjs FOLDER (written by bench_window with DIRLOOK_BENCH_EXPORT)');
  process.exit(2);
}
const values = readFileSync(path.join(folder, 'searches.txt'), 'utf8').split('\n');
const quote = (s) => "'" + s.replaceAll("'", "''") + "'";

const instance = await DuckDBInstance.create(':memory:', { threads: '1' });
const db = await instance.connect();
await db.run(
  `CREATE TABLE phones AS SELECT * FROM read_csv(${quote(path.join(folder, 'phones.csv'))}, ` +
    `header = true, all_varchar = true, quote = '"', escape = '"')`);

const searches = [
  ['phone', `select * from phones where tel like ${quote(values[0])}`],
  ['surname', `select * from phones where fm like ${quote(values[1] + '%')}`],
  ['street', `select * from phones where ul like ${quote(values[2] + '%')}`],
  ['house and flat', `select * from phones where nd = ${quote(values[3])} and kw = ${quote(values[4])}`],
];
const runs = 15;
for (const [name, sql] of searches) {
  let rows = 0;
  const times = [];
  for (let i = 0; i < runs + 2; ++i) {
    const start = process.hrtime.bigint();
    const reader = await db.runAndReadAll(sql);
    rows = reader.getRows().length;
    const ms = Number(process.hrtime.bigint() - start) / 1e6;
    if (i >= 2) times.push(ms);  // the first two warm up
  }
  times.sort((a, b) => a - b);
  console.log(`${name.padEnd(15)} ${times[runs >> 1].toFixed(1).padStart(7)} ms  rows=${rows}`);
}
