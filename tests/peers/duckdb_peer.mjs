// DuckDB as an independent Parquet peer for the tests and the benchmark.
//
//   node duckdb_peer.mjs exec SQL...        run statements in order (e.g. COPY ... TO)
//   node duckdb_peer.mjs query SQL          print the rows of one query
//   node duckdb_peer.mjs dump FILE [COLS] [WHERE]  print what DuckDB reads from FILE
//   node duckdb_peer.mjs time FILE [WHERE]   materialize FILE (the rows of WHERE)
//                                            with one thread, print ms and rows
//
// "dump" prints one line of column names, one of DuckDB type names, then one
// line per row; cells are tab-separated, missing values are \N, and tabs,
// newlines and backslashes inside texts are escaped. Cells are canonical so
// that a C++ test can compare exactly: integers in decimal, doubles as the
// shortest text that reads back to the same value, dates as days since
// 1970-01-01, timestamps as nanoseconds since the epoch, booleans as
// true/false, decimals as doubles.
import { DuckDBInstance } from '@duckdb/node-api';

const [cmd, ...args] = process.argv.slice(2);
const instance = await DuckDBInstance.create(':memory:');
const con = await instance.connect();

function esc(s) {
  return s.replace(/\\/g, '\\\\').replace(/\t/g, '\\t').replace(/\n/g, '\\n').replace(/\r/g, '\\r');
}

function quote(name) {
  return '"' + name.replace(/"/g, '""') + '"';
}

function lit(s) {
  return "'" + s.replace(/'/g, "''") + "'";
}

function canonical(name, type) {
  const c = quote(name);
  if (type === 'DATE') return `CAST(date_diff('day', DATE '1970-01-01', ${c}) AS VARCHAR)`;
  if (type.startsWith('TIMESTAMP')) return `CAST(epoch_ns(${c}) AS VARCHAR)`;
  if (type.startsWith('DECIMAL') || type === 'FLOAT' || type === 'DOUBLE') return `CAST(${c} AS DOUBLE)`;
  if (type === 'BOOLEAN') return `CASE WHEN ${c} IS NULL THEN NULL WHEN ${c} THEN 'true' ELSE 'false' END`;
  if (type === 'BLOB') return `CAST(${c} AS VARCHAR)`;
  return `CAST(${c} AS VARCHAR)`;
}

if (cmd === 'exec') {
  for (const sql of args) await con.run(sql);
} else if (cmd === 'query') {
  const rows = (await con.runAndReadAll(args[0])).getRows();
  process.stdout.write(rows.map((r) => r.map((v) => (v === null ? '\\N' : esc(String(v)))).join('\t')).join('\n') + '\n');
} else if (cmd === 'dump') {
  const [file, cols, where] = args;
  const src = `read_parquet(${lit(file)})` + (where ? ` WHERE ${where}` : '');
  const desc = (await con.runAndReadAll(`DESCRIBE SELECT ${cols || '*'} FROM ${src}`)).getRows();
  const names = desc.map((r) => String(r[0]));
  const types = desc.map((r) => String(r[1]));
  const sel = names.map((n, i) => canonical(n, types[i])).join(', ');
  const rows = (await con.runAndReadAll(`SELECT ${sel} FROM ${src}`)).getRows();
  const out = [names.map(esc).join('\t'), types.join('\t')];
  for (const r of rows) {
    out.push(r.map((v, i) => {
      if (v === null || v === undefined) return '\\N';
      if (typeof v === 'number') return esc(String(v));
      return esc(String(v));
    }).join('\t'));
  }
  process.stdout.write(out.join('\n') + '\n');
} else if (cmd === 'time') {
  const [file, where] = args;
  await con.run('SET threads=1');
  // Materialize every column into a temporary table; the timer covers only the query.
  const t0 = process.hrtime.bigint();
  await con.run(`CREATE TEMP TABLE t AS SELECT * FROM read_parquet(${lit(file)})` + (where ? ` WHERE ${where}` : ''));
  const t1 = process.hrtime.bigint();
  const n = (await con.runAndReadAll('SELECT count(*) FROM t')).getRows()[0][0];
  process.stdout.write(`${Number(t1 - t0) / 1e6} ${n}\n`);
} else {
  process.stderr.write('usage: duckdb_peer.mjs exec SQL... | query SQL | dump FILE [COLS] [WHERE] | time FILE [WHERE]\n');
  process.exit(2);
}
