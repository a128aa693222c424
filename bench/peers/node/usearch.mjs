// usearch: exactSearch over the vectors held in one Float32Array (kept on disk
// as a raw float32 file) for exact search; its Index (HNSW) for approximate
// search and for durable single inserts, saved whole with Index.save.
import fs from "node:fs";
import path from "node:path";
import { createRequire } from "node:module";
import { Peer, fsyncPath, packageVersion, readFloats } from "./peer.mjs";

const require = createRequire(import.meta.url);
const usearch = require("usearch");
const VERSION = packageVersion("usearch");

export default class UsearchPeer extends Peer {
  info() {
    return {
      version: `usearch ${VERSION}`,
      durable: "Index.add, then Index.save of the whole index to a new file, fsync, rename",
      bulk: "the raw float32 matrix written to one file, then fsync",
      exact: "exactSearch(vectors, query, d, k, MetricKind.Cos)",
      fetch: "its JavaScript API has no call that returns a stored vector",
      ann: "Index (HNSW, metric cos), expansion_search = ef (a new Index loading the saved graph)",
      stored: "one raw float32 file (exact); one index file (HNSW)",
    };
  }

  async create(dir, rows) {
    fs.mkdirSync(dir, { recursive: true });
    fs.writeFileSync(path.join(dir, "vectors.f32"), new Uint8Array(rows.floats.buffer));
  }

  async open(dir, d) {
    this.vectors = readFloats(path.join(dir, "vectors.f32"));
    this.d = d;
  }

  async search(query, k) {
    const matches = usearch.exactSearch(this.vectors, query, this.d, k, usearch.MetricKind.Cos);
    return Array.from(matches.keys, Number);
  }

  async createEmpty(dir, d) {
    fs.mkdirSync(dir, { recursive: true });
    this.file = path.join(dir, "records.usearch");
    this.index = new usearch.Index({ dimensions: d, metric: usearch.MetricKind.Cos });
  }

  async insert(key, vector) {
    this.index.add(BigInt(key), vector);
    const temporary = this.file + ".tmp";
    this.index.save(temporary);
    fsyncPath(temporary);
    fs.renameSync(temporary, this.file);
    fsyncPath(path.dirname(this.file));
  }

  async annBuild(dir, rows, params) {
    fs.mkdirSync(dir, { recursive: true });
    this.annConfig = {
      dimensions: rows.d, metric: usearch.MetricKind.Cos,
      connectivity: params.m, expansion_add: params.ef_construction,
    };
    const index = new usearch.Index({ ...this.annConfig, expansion_search: 64 });
    const keys = new BigUint64Array(rows.n);
    for (let i = 0; i < rows.n; i++) keys[i] = BigInt(i);
    index.add(keys, rows.floats);
    this.annFile = path.join(dir, "ann.usearch");
    index.save(this.annFile);
  }

  async annSetEf(ef) {
    // expansion_search is fixed when an Index is made: make one and load the graph.
    this.ann = new usearch.Index({ ...this.annConfig, expansion_search: ef });
    this.ann.load(this.annFile);
  }

  async annSearch(query, k) {
    return Array.from(this.ann.search(query, k, 1).keys, Number);
  }
}
