// Throughput of the WebAssembly package against wtf_wikipedia, in one Node
// process: real articles (../shared/corpus/real, when present) and a
// table-heavy generated text, with string and Uint8Array input; the ratio to
// the native library on the same text (through the wttable tool's own
// timing); and the size of the .wasm.  A benchmark, not a test.
import { execFileSync } from "node:child_process";
import { existsSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { fileURLToPath } from "node:url";
import path from "node:path";
import { gzipSync } from "node:zlib";
import wtf from "wtf_wikipedia";

import { init, initTables, parseDocument, tables, toHtml } from "../index.js";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.join(here, "..", "..");
const corpus = path.join(root, "..", "shared", "corpus", "real");
const cli = process.env.WTTABLE_CLI ?? path.join(root, "build", "cli", "wttable");
await init();
await initTables();

// A deterministic table-heavy text: rows of cells with attributes and links.
function tableHeavy(bytes) {
  let seed = 7;
  const rand = (n) => ((seed = (seed * 1103515245 + 12345) % 2147483648) % n);
  const words = ["lake", "river", "season", "north", "depth", "area", "town", "census", "total"];
  const parts = [];
  let size = 0;
  while (size < bytes) {
    const rows = ['{| class="wikitable"', "! Name !! Value !! Note"];
    for (let r = 0; r < 20; r++) {
      const cells = [];
      for (let c = 0; c < 3; c++) {
        const w = words[rand(words.length)];
        cells.push(rand(4) === 0 ? `align="right" | ${rand(99999)}` : rand(4) === 0 ? `[[${w}|${w}s]]` : w);
      }
      rows.push("|-", "| " + cells.join(" || "));
    }
    rows.push("|}", "");
    const table = rows.join("\n");
    parts.push(table);
    size += table.length;
  }
  return parts.join("\n");
}

function rate(bytes, fn, minSeconds = 0.5) {
  fn(); // warm up
  let runs = 0;
  const start = performance.now();
  let elapsed = 0;
  do {
    fn();
    runs++;
    elapsed = (performance.now() - start) / 1000;
  } while (elapsed < minSeconds);
  return (bytes * runs) / elapsed / 1e6;
}

function nativeRate(text) {
  if (!existsSync(cli)) return null;
  const dir = mkdtempSync(path.join(tmpdir(), "wttable-bench-"));
  try {
    const file = path.join(dir, "text.wiki");
    writeFileSync(file, text);
    let best = 0;
    for (let i = 0; i < 5; i++) {
      const err = execFileSync(cli, ["--stats", "-q", "-o", path.join(dir, "out"), file, file, file],
        { encoding: "utf8", stdio: ["ignore", "ignore", "pipe"] });
      void err;
    }
    // --stats goes to standard error: run once more capturing it.
    const out = execFileSync("sh", ["-c", `"${cli}" --stats -q -o "${dir}/out" "${file}" "${file}" "${file}" 2>&1 >/dev/null`],
      { encoding: "utf8" });
    for (const m of out.matchAll(/([0-9.]+) MB\/s/g)) best = Math.max(best, Number(m[1]));
    return best;
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

function row(label, mb, ours, theirs) {
  const ratio = theirs ? `${(ours / theirs).toFixed(0)}x` : "";
  console.log(`${label.padEnd(44)} ${mb.toFixed(2).padStart(7)} MB ${ours.toFixed(1).padStart(9)} MB/s` +
    (theirs ? ` ${theirs.toFixed(3).padStart(9)} MB/s  ${ratio.padStart(6)}` : ""));
}

const wasm = readFileSync(path.join(here, "..", "libtrivanex-wikitext-table.wasm"));
console.log(`libtrivanex-wikitext-table.wasm: ${wasm.length} bytes, ${gzipSync(wasm, { level: 9 }).length} gzipped`);
console.log(`${"input".padEnd(44)} ${"size".padStart(10)} ${"this pkg".padStart(14)} ${"wtf_wikipedia".padStart(14)}  ratio`);

const encoder = new TextEncoder();
if (existsSync(corpus)) {
  const texts = readdirSync(corpus).filter((n) => n.endsWith(".wiki")).sort()
    .map((n) => readFileSync(path.join(corpus, n), "utf8"));
  const joined = texts.join("\n");
  const bytes = encoder.encode(joined).length;
  const asBytes = texts.map((t) => encoder.encode(t));
  const strRate = rate(bytes, () => texts.forEach((t) => parseDocument(t)));
  const u8Rate = rate(bytes, () => asBytes.forEach((t) => parseDocument(t)));
  const wtfRate = rate(bytes, () => texts.forEach((t) => wtf(t).tables()), 2);
  row("real articles, document, string", bytes / 1e6, strRate, wtfRate);
  row("real articles, document, Uint8Array", bytes / 1e6, u8Rate, wtfRate);
  const native = nativeRate(joined);
  if (native) console.log(`  native library on the same text: ${native.toFixed(0)} MB/s; ` +
    `Uint8Array through WebAssembly: ${(u8Rate / native).toFixed(2)} of it`);
} else {
  console.log("(no ../shared/corpus/real: real articles skipped)");
}

const heavy = tableHeavy(4e6);
const heavyBytes = encoder.encode(heavy);
const heavyStr = rate(heavyBytes.length, () => toHtml(heavy));
const heavyU8 = rate(heavyBytes.length, () => toHtml(heavyBytes));
// wtf_wikipedia's cost grows faster than the text: it gets a 100 kB slice.
const slice = heavy.slice(0, heavy.indexOf("{|", 100e3));
const wtfHeavy = rate(encoder.encode(slice).length, () => wtf(slice).tables(), 2);
row("table-heavy text, tables, string", heavyBytes.length / 1e6, heavyStr, wtfHeavy);
row("table-heavy text, tables, Uint8Array", heavyBytes.length / 1e6, heavyU8, wtfHeavy);
console.log(`  (wtf_wikipedia on the first ${(slice.length / 1e3).toFixed(0)} kB of it)`);
const native = nativeRate(heavy);
if (native) console.log(`  native library on the same text: ${native.toFixed(0)} MB/s; ` +
  `Uint8Array through WebAssembly: ${(heavyU8 / native).toFixed(2)} of it`);

// Tables as data against wtf_wikipedia's table.json(), which gives rows keyed
// by header with clean text: the same job, on the same texts.
console.log(`${"tables as data".padEnd(44)} ${"size".padStart(10)} ${"tables()".padStart(14)} ${"table.json()".padStart(14)}  ratio`);
const dataWtf = (t) => wtf(t).tables().map((table) => table.json());
if (existsSync(corpus)) {
  const texts = readdirSync(corpus).filter((n) => n.endsWith(".wiki")).sort()
    .map((n) => readFileSync(path.join(corpus, n), "utf8"));
  const bytes = encoder.encode(texts.join("\n")).length;
  row("real articles, tables()", bytes / 1e6, rate(bytes, () => texts.forEach((t) => tables(t))),
    rate(bytes, () => texts.forEach(dataWtf), 2));
}
row("table-heavy text, tables()", heavyBytes.length / 1e6, rate(heavyBytes.length, () => tables(heavy)),
  rate(encoder.encode(slice).length, () => dataWtf(slice), 2));
