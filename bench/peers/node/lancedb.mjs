// LanceDB: one table (id, vector) in a Lance dataset directory; a flat scan
// for exact search, an IVF_HNSW_SQ index for approximate search.
import path from "node:path";
import fs from "node:fs";
import { createRequire } from "node:module";
import { Peer, packageVersion } from "./peer.mjs";

const require = createRequire(import.meta.url);
const lancedb = require("@lancedb/lancedb");
// The CommonJS build of apache-arrow, the one LanceDB itself loads: tables made
// with the ESM build fail its schema check.
const arrow = require("apache-arrow");
const VERSION = packageVersion("@lancedb/lancedb");
const TABLE = "records";
const BATCH = 65536;

function schema(d) {
  return new arrow.Schema([
    new arrow.Field("id", new arrow.Utf8(), false),
    new arrow.Field("vector",
      new arrow.FixedSizeList(d, new arrow.Field("item", new arrow.Float32(), true)), false),
  ]);
}

// Rows first..first+count of `rows` as one Arrow record batch, the vectors
// shared with the Float32Array rather than copied into JS arrays.
function batch(rows, first, count, keyOf) {
  const { d } = rows;
  const s = schema(d);
  const ids = arrow.vectorFromArray(Array.from({ length: count }, (_, i) => keyOf(first + i)), new arrow.Utf8());
  const floats = rows.floats.subarray(first * d, (first + count) * d);
  const child = arrow.makeData({ type: new arrow.Float32(), length: floats.length, data: floats });
  const vectors = arrow.makeData({ type: s.fields[1].type, length: count, nullCount: 0, child });
  const struct = arrow.makeData({
    type: new arrow.Struct(s.fields), length: count, nullCount: 0, children: [ids.data[0], vectors],
  });
  return new arrow.RecordBatch(s, struct);
}

export default class LanceDbPeer extends Peer {
  info() {
    return {
      version: `@lancedb/lancedb ${VERSION}, apache-arrow ${packageVersion("apache-arrow")}`,
      durable: "table.add of one record: a new dataset version, written without fsync",
      bulk: "createTable from Arrow record batches, then fsync of the files",
      exact: "vectorSearch(query).distanceType('cosine').limit(k) on an unindexed table (a flat scan)",
      fetch: "query().where(\"id = '...'\").limit(1).toArray()",
      ann: "IVF_HNSW_SQ index (m 16, ef_construction 200, cosine), query .ef(ef)",
      stored: "a Lance dataset directory (data, versions, transactions)",
    };
  }

  prepareId(number) { return String(number); }

  async create(dir, rows) {
    const db = await lancedb.connect(dir);
    const batches = [];
    for (let first = 0; first < rows.n; first += BATCH) {
      batches.push(batch(rows, first, Math.min(BATCH, rows.n - first), String));
    }
    await db.createTable(TABLE, new arrow.Table(batches));
  }

  async open(dir) {
    this.db = await lancedb.connect(dir);
    this.table = await this.db.openTable(TABLE);
  }

  async search(query, k) {
    const found = await this.table.vectorSearch(query).distanceType("cosine").select(["id", "_distance"]).limit(k).toArray();
    return found.map((row) => Number(row.id));
  }

  async fetch(key) {
    return (await this.table.query().where(`id = '${key}'`).limit(1).toArray())[0];
  }

  async createEmpty(dir, d) {
    fs.mkdirSync(dir, { recursive: true });
    this.db = await lancedb.connect(dir);
    this.d = d;
    this.table = await this.db.createEmptyTable(TABLE, schema(d));
  }

  async insert(key, vector) {
    const one = { d: this.d, floats: vector };
    await this.table.add(new arrow.Table([batch(one, 0, 1, () => key)]));
  }

  async annBuild(dir, rows, params) {
    await this.create(path.join(dir, "ann"), rows);
    await this.open(path.join(dir, "ann"));
    await this.table.createIndex("vector", {
      config: lancedb.Index.hnswSq({ distanceType: "cosine", m: params.m, efConstruction: params.ef_construction }),
    });
  }

  async annSetEf(ef) { this.ef = ef; }

  async annSearch(query, k) {
    const found = await this.table.vectorSearch(query).distanceType("cosine").ef(this.ef)
      .select(["id", "_distance"]).limit(k).toArray();
    return found.map((row) => Number(row.id));
  }
}
