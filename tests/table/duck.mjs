// Runs one SQL query in DuckDB and prints its rows as a JSON array of
// arrays, for test_table to compare: node duck.mjs "SELECT ..."
import { DuckDBInstance } from '@duckdb/node-api';

const sql = process.argv[2];
const instance = await DuckDBInstance.create(':memory:');
const connection = await instance.connect();
const reader = await connection.runAndReadAll(sql);
// Big integers as numbers where exact, lists as arrays, the rest as text.
const value = (v) => (typeof v === 'bigint' ? (Number.isSafeInteger(Number(v)) ? Number(v) : String(v))
    : v !== null && typeof v === 'object' ? (Array.isArray(v.items) ? v.items.map(value) : String(v)) : v);
process.stdout.write(JSON.stringify(reader.getRows().map((row) => row.map(value))) + '\n');
