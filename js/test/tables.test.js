// tables() through the WebAssembly module: the cell text case table, the
// records the native tool writes, the options and the errors.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { existsSync, readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import path from "node:path";

import { initTables, tables, WikitextTableError } from "../index.js";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.join(here, "..", "..");
const cli = process.env.WTTABLE_CLI ?? path.join(root, "build", "cli", "wttable");

await initTables();

test("the cell text case table", () => {
  const lines = readFileSync(path.join(root, "tests", "cases", "cell_text.jsonl"), "utf8")
    .split("\n").filter((line) => line.trim() !== "");
  assert.ok(lines.length > 40);
  for (const line of lines) {
    const c = JSON.parse(line);
    const cell = tables(`{|\n| ${c.wikitext}\n|}`)[0].cells[0];
    assert.equal(cell.text, c.text, c.name);
    assert.deepEqual(cell.links, (c.links ?? []).map(([target, text]) => ({ target, text })), c.name);
    assert.deepEqual(cell.refs, c.refs ?? [], c.name);
    assert.equal(cell.sort, c.sort ?? null, c.name);
    assert.deepEqual(cell.templates, c.templates ?? [], c.name);
  }
});

test("the records the native tool writes", () => {
  const file = path.join(root, "examples", "article.wiki");
  const ours = tables(readFileSync(file, "utf8"));
  assert.ok(ours.length >= 2);
  if (!existsSync(cli)) return;
  const native = execFileSync(cli, ["--format", "json", "--raw-wikitext", "-q", file], { encoding: "utf8" })
    .split("\n").filter((l) => l !== "").map((l) => JSON.parse(l));
  assert.deepEqual(ours, native);
});

test("options, bytes and errors", () => {
  const text = "{|\n| a<br>b || c\n|-\n| colspan=2 | d\n|}";
  assert.deepEqual(tables(text)[0].rows, [["a\nb", "c"], ["d", "d"]]);
  assert.deepEqual(tables(text, { br: "space", spans: "blank" })[0].rows, [["a b", "c"], ["d", ""]]);
  assert.equal(tables(text, { wikitext: true })[0].cells[0].wikitext, "a<br>b");
  assert.deepEqual(tables(new TextEncoder().encode(text))[0].columns, ["col 1", "col 2"]);
  assert.throws(() => tables("{|\n".repeat(65)), WikitextTableError);
  assert.throws(() => tables("a\0b"), RangeError);
  assert.throws(() => tables("\ud800"), RangeError);
  assert.throws(() => tables("x", { spans: "none" }), RangeError);
  assert.deepEqual(tables("no tables"), []);
});
