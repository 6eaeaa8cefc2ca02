// The WebAssembly build through the package's API: every case of the
// conversion tables byte for byte, the real articles equal to the native
// library's output (when ../shared and the built tool are present), errors,
// NUL, Uint8Array, strings, and a 100 MB input.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { existsSync, readdirSync, readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import path from "node:path";

import { init, toHtml, parseDocument, hasTables, version, WikitextTableError } from "../index.js";
import { loadCases } from "./cases.js";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.join(here, "..", "..");
const corpus = path.join(root, "..", "shared", "corpus", "real");
const cli = process.env.WTTABLE_CLI ?? path.join(root, "build", "cli", "wttable");

await init();

test("every case of the conversion tables, byte for byte", () => {
  const cases = loadCases(path.join(root, "tests", "cases", "conversion.txt"));
  assert.ok(cases.length > 100);
  for (const c of cases) {
    if (c.tables) assert.deepEqual(toHtml(c.in), c.tables, c.name);
    if (c.document) assert.deepEqual(parseDocument(c.in), c.document, c.name);
  }
});

// Real articles, where a checkout has them beside it: extra data for the
// case-table contract above, so without them there is no such test.
if (existsSync(corpus)) test("the real articles give the native library's bytes", () => {
  const names = readdirSync(corpus).filter((n) => n.endsWith(".wiki"));
  assert.ok(names.length > 30);
  for (const name of names) {
    const file = path.join(corpus, name);
    const bytes = new Uint8Array(readFileSync(file));
    for (const [fn, args] of [[toHtml, ["-t"]], [parseDocument, []]]) {
      const native = execFileSync(cli, [...args, "--raw", "-q", file], { maxBuffer: 1 << 30 });
      assert.deepEqual(Buffer.from(fn(bytes)), native, `${name} ${args}`);
    }
  }
});

test("strings in give strings out, UTF-8 both ways", () => {
  const text = 'Zürich — 東京\n{| title="Ελλάδα"\n| café || 😀\n|}';
  assert.equal(toHtml(text), '<table title="Ελλάδα">\n<tr>\n<td>café</td><td>😀</td></tr>\n</table>');
  assert.ok(parseDocument(text).startsWith("Zürich — 東京\n<table"));
  assert.equal(toHtml("no table"), "");
  assert.equal(hasTables("a\n :: {|"), true);
  assert.equal(hasTables(": :{|"), false);
  assert.equal(hasTables(new TextEncoder().encode("{|")), true);
});

test("Uint8Array in gives a copy out that the next call leaves alone", () => {
  const first = toHtml(new TextEncoder().encode("{|\n| a\n|}"));
  assert.ok(first instanceof Uint8Array);
  toHtml(new TextEncoder().encode("{|\n| b\n|}"));
  assert.equal(new TextDecoder().decode(first), "<table>\n<tr>\n<td>a</td></tr>\n</table>");
});

test("failures, NUL and wrong types throw", () => {
  const deep = "{|\n".repeat(65);
  assert.throws(() => toHtml(deep), (e) => e instanceof WikitextTableError &&
    e.message === "Failed to parse table markup");
  assert.throws(() => parseDocument(new TextEncoder().encode(deep)), {
    name: "WikitextTableError", message: "Failed to parse document tables" });
  assert.ok(toHtml("{|\n".repeat(64)).startsWith("<table>"));
  assert.throws(() => toHtml("{|\n\0|}"), { name: "RangeError", message: /NUL character at index 3/ });
  assert.throws(() => toHtml(Uint8Array.of(97, 0)), { name: "RangeError", message: /NUL byte at offset 1/ });
  assert.throws(() => toHtml(42), TypeError);
  assert.throws(() => hasTables(null), TypeError);
  // After a failure the next call works.
  assert.equal(toHtml("{|\n| ok\n|}"), "<table>\n<tr>\n<td>ok</td></tr>\n</table>");
});

test("a 100 MB input", () => {
  const row = "| cell one || cell two || [[link|text]]\n|-\n";
  const text = "{| class=\"big\"\n" + row.repeat(Math.ceil(100e6 / row.length)) + "|}";
  const bytes = new TextEncoder().encode(text);
  const html = toHtml(bytes);
  assert.ok(html.length > bytes.length);
  const tail = new TextDecoder().decode(html.subarray(html.length - 40));
  assert.ok(tail.endsWith("</tr>\n</table>"), tail);
});

test("version is the project's", () => {
  const cmake = readFileSync(path.join(root, "CMakeLists.txt"), "utf8");
  const project = /project\(trivanex-wikitext-table VERSION ([0-9.]+)/.exec(cmake)[1];
  assert.equal(version(), project);
  const pkg = JSON.parse(readFileSync(path.join(here, "..", "package.json"), "utf8"));
  assert.equal(pkg.version, project);
});

test("a lone surrogate is refused, as the Python package refuses it", () => {
  for (const [text, index] of [["a\uD800b", 1], ["{|\n| \uDC00\n|}", 5], ["ok\uD83D", 2]]) {
    assert.throws(() => toHtml(text), (e) => e instanceof RangeError &&
      e.message.startsWith(`text is not valid Unicode at index ${index} (a lone surrogate)`));
  }
  assert.equal(toHtml("{|\n| 😀\n|}"), "<table>\n<tr>\n<td>😀</td></tr>\n</table>");
});
