// Chroma: a collection (HNSW, cosine) on Chroma's local server, which the
// harness starts on 127.0.0.1 for the database directory and passes here as
// CHROMA_PORT. Every call is a request to that server.
import { createRequire } from "node:module";
import { Peer, packageVersion } from "./peer.mjs";

const require = createRequire(import.meta.url);
const { ChromaClient } = require("chromadb");
const COLLECTION = "records";

const plain = (vector) => Array.from(vector);

export default class ChromaPeer extends Peer {
  constructor(environment) {
    super();
    this.client = new ChromaClient({ host: "127.0.0.1", port: Number(environment.CHROMA_PORT) });
  }

  info() {
    return {
      version: `chromadb ${packageVersion("chromadb")} (client and server), ` +
        `chromadb-js-bindings-linux-x64-gnu ${packageVersion("chromadb-js-bindings-linux-x64-gnu")}`,
      durable: "collection.add of one record, answered once the server has committed it",
      bulk: "collection.add in batches of the server's largest batch size",
      exact: "none: every query goes through its HNSW index",
      fetch: "collection.get({ids: [id], include: ['embeddings']})",
      ann: "its HNSW index (max_neighbors 16, ef_construction 200, cosine); ef_search set, then the server restarted",
      ef_needs_restart: true,
      stored: "a directory: SQLite file and HNSW segment files",
    };
  }

  prepareId(number) { return String(number); }
  prepareQuery(row) { return plain(row); }

  async make(rows, params) {
    const collection = await this.client.createCollection({
      name: COLLECTION,
      embeddingFunction: null,
      configuration: {
        hnsw: { space: "cosine", max_neighbors: params.m, ef_construction: params.ef_construction },
      },
    });
    const size = await this.client.getMaxBatchSize();
    for (let first = 0; first < rows.n; first += size) {
      const count = Math.min(size, rows.n - first);
      await collection.add({
        ids: Array.from({ length: count }, (_, i) => String(first + i)),
        embeddings: Array.from({ length: count }, (_, i) => plain(rows.row(first + i))),
      });
    }
  }

  async create(dir, rows) {
    await this.make(rows, { m: 16, ef_construction: 200 });
  }

  async open() {
    this.collection = await this.client.getCollection({ name: COLLECTION, embeddingFunction: null });
  }

  async firstQuery(query, k) {
    return this.annSearch(query, k);
  }

  async fetch(key) {
    return (await this.collection.get({ ids: [key], include: ["embeddings"] })).embeddings[0];
  }

  async createEmpty() {
    this.collection = await this.client.createCollection({
      name: COLLECTION, embeddingFunction: null, configuration: { hnsw: { space: "cosine" } },
    });
  }

  async insert(key, vector) {
    await this.collection.add({ ids: [key], embeddings: [plain(vector)] });
  }

  async annBuild(dir, rows, params) {
    await this.make(rows, params);
    await this.open();
  }

  async annSetEf(ef) {
    // The server reads ef_search when it loads the index: the harness restarts
    // it after this call (ef_needs_restart) and the next search uses the new value.
    if (!this.collection) await this.open();
    await this.collection.modify({ configuration: { hnsw: { ef_search: ef } } });
  }

  async annSearch(query, k) {
    if (!this.collection) await this.open();
    const found = await this.collection.query({ queryEmbeddings: [query], nResults: k, include: ["distances"] });
    return found.ids[0].map(Number);
  }
}
