// Serves one Node contender to the harness: one JSON request a line on stdin,
// one JSON answer a line on stdout. The same requests and timings as
// ../worker.py, which serves the Python contenders; see it for what each does.
//
//     node worker.mjs NAME        (NAME.mjs beside this file is the contender)

import fs from "node:fs";
import readline from "node:readline";
import { readRows, fsyncTree, Unsupported } from "./peer.mjs";

const now = () => Number(process.hrtime.bigint()) / 1e9;

function residentKiB() {
  const status = fs.readFileSync("/proc/self/status", "utf8");
  return Number(/VmRSS:\s+(\d+)/.exec(status)[1]);
}

function operations(peer) {
  return {
    async create({ dir, vectors, d }) {
      const rows = readRows(vectors, d);
      const start = now();
      const notes = (await peer.create(dir, rows)) ?? {};
      fsyncTree(dir);
      return { seconds: now() - start - (notes.preparation_s ?? 0), notes };
    },
    async open({ dir, d, queries, k }) {
      const query = peer.prepareQuery(readRows(queries, d).row(0));
      const start = now();
      await peer.open(dir, d);
      const opened = now();
      const ids = await peer.firstQuery(query, k);
      return { open_s: opened - start, first_query_s: now() - opened, ids, rss_kib: residentKiB() };
    },
    async search({ queries, d, rows, k }) {
      const matrix = readRows(queries, d);
      const times = [];
      const answers = [];
      for (const row of rows) {
        const query = peer.prepareQuery(matrix.row(row));
        const start = now();
        const ids = await peer.search(query, k);
        times.push(now() - start);
        answers.push(ids.map(Number));
      }
      return { times, ids: answers };
    },
    async fetch({ ids, repeat }) {
      const times = [];
      for (const id of ids) {
        const key = peer.prepareId(id);
        const start = now();
        for (let i = 0; i < repeat; i++) await peer.fetch(key);
        times.push((now() - start) / repeat);
      }
      return { times };
    },
    async create_empty({ dir, d }) {
      await peer.createEmpty(dir, d);
      return {};
    },
    async insert({ vectors, d, rows, first_id }) {
      const matrix = readRows(vectors, d);
      const records = rows.map((row, j) => [peer.prepareId(first_id + j), matrix.row(row)]);
      const start = now();
      for (const [key, vector] of records) await peer.insert(key, vector);
      return { seconds: now() - start, count: records.length };
    },
    async ann_build({ dir, vectors, d, params }) {
      const rows = readRows(vectors, d);
      const start = now();
      await peer.annBuild(dir, rows, params);
      return { seconds: now() - start };
    },
    async ann_set_ef({ ef }) {
      await peer.annSetEf(ef);
      return {};
    },
    async ann_search({ queries, d, rows, k, ef }) {
      const matrix = readRows(queries, d);
      const prepared = rows.map((row) => peer.prepareQuery(matrix.row(row)));
      await peer.annSetEf(ef);
      const answers = [];
      const start = now();
      for (const query of prepared) answers.push(await peer.annSearch(query, k));
      const seconds = now() - start;
      return { seconds, ids: answers.map((ids) => ids.map(Number)) };
    },
    async rss() {
      return { rss_kib: residentKiB() };
    },
  };
}

async function main() {
  const write = (message) => process.stdout.write(JSON.stringify(message) + "\n");
  // A library logging to stdout must not break the protocol.
  console.log = console.info = console.warn = (...args) => process.stderr.write(args.join(" ") + "\n");
  let peer;
  try {
    const module = await import(`./${process.argv[2]}.mjs`);
    peer = new module.default(process.env);
    write({ ready: true, info: await peer.info() });
  } catch (error) {
    write({ ready: false, error: `${error.name}: ${error.message}` });
    return;
  }
  const ops = operations(peer);
  for await (const line of readline.createInterface({ input: process.stdin })) {
    const request = JSON.parse(line);
    const op = request.op;
    delete request.op;
    if (op === "quit") break;
    try {
      write({ ok: true, ...(await ops[op](request)) });
    } catch (error) {
      write({ ok: false, unsupported: error instanceof Unsupported, error: `${error.name}: ${error.message}` });
    }
  }
  await peer.close();
  process.exit(0);
}

await main();
