// What the Node contenders share: the base class with the defaults for what a
// contender does not offer (as ../contenders/base.py has them), and helpers.
import fs from "node:fs";
import path from "node:path";

// The float32 values of a file, read straight into an array of their own at
// offset 0 (usearch's exactSearch ignores a typed array's byteOffset) and
// without a second copy in memory.
export function readFloats(file) {
  const fd = fs.openSync(file, "r");
  try {
    const floats = new Float32Array(fs.fstatSync(fd).size / 4);
    const bytes = new Uint8Array(floats.buffer);
    for (let done = 0; done < bytes.length;) {
      const read = fs.readSync(fd, bytes, done, Math.min(bytes.length - done, 1 << 30), done);
      if (read === 0) throw new Error(`${file}: shorter than its size`);
      done += read;
    }
    return floats;
  } finally {
    fs.closeSync(fd);
  }
}

export function readRows(file, d) {
  const floats = readFloats(file);
  return { floats, n: floats.length / d, d, row: (i) => floats.slice(i * d, (i + 1) * d) };
}

export function fsyncTree(directory) {
  for (const entry of fs.readdirSync(directory, { withFileTypes: true })) {
    const full = path.join(directory, entry.name);
    if (entry.isDirectory()) fsyncTree(full);
    else if (entry.isFile()) {
      const fd = fs.openSync(full, "r");
      fs.fsyncSync(fd);
      fs.closeSync(fd);
    }
  }
  const fd = fs.openSync(directory, "r");
  fs.fsyncSync(fd);
  fs.closeSync(fd);
}

export function fsyncPath(file) {
  const fd = fs.openSync(file, "r");
  fs.fsyncSync(fd);
  fs.closeSync(fd);
}

export class Unsupported extends Error {}

// A contender. Ids are the record numbers 0..N-1; prepareId turns one into the
// key the library uses. What a library does not offer throws Unsupported.
export class Peer {
  prepareId(number) { return number; }
  prepareQuery(row) { return row; }
  async firstQuery(query, k) { return this.search(query, k); }
  async create() { throw new Unsupported("no bulk path"); }
  async open() { throw new Unsupported("no stored form"); }
  async search() { throw new Unsupported("no exact search"); }
  async fetch() { throw new Unsupported("no fetch by id"); }
  async createEmpty() { throw new Unsupported("no durable single insert"); }
  async insert() { throw new Unsupported("no durable single insert"); }
  async annBuild() { throw new Unsupported("no approximate index"); }
  async annSetEf() { throw new Unsupported("no approximate index"); }
  async annSearch() { throw new Unsupported("no approximate index"); }
  async close() {}
}


// The installed version of an npm package (some packages export no package.json).
export function packageVersion(name) {
  const file = new URL(`./node_modules/${name}/package.json`, import.meta.url);
  return JSON.parse(fs.readFileSync(file, "utf8")).version;
}
