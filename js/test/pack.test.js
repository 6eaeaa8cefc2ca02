// The package as users get it: `npm pack`, then the tarball installed into a
// fresh folder and used from there, in a new Node process.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { fileURLToPath } from "node:url";
import path from "node:path";

const pkgDir = path.join(path.dirname(fileURLToPath(import.meta.url)), "..");

test("npm pack, install the tarball elsewhere, use it", () => {
  const tmp = mkdtempSync(path.join(tmpdir(), "wttable-pack-"));
  try {
    const packed = execFileSync("npm", ["pack", "--silent", "--pack-destination", tmp],
      { cwd: pkgDir, encoding: "utf8" }).trim().split("\n").pop();
    const tarball = path.join(tmp, packed);
    const listing = execFileSync("tar", ["-tzf", tarball], { encoding: "utf8" }).split("\n");
    for (const file of ["index.js", "index.d.ts", "libtrivanex-wikitext-table.wasm",
      "libtrivanex-wikitext-tables.wasm", "package.json"]) {
      assert.ok(listing.includes(`package/${file}`), `${file} in ${listing}`);
    }
    assert.ok(!listing.some((f) => f.includes("test/") || f.includes("playground/")), listing.join());

    const app = path.join(tmp, "app");
    execFileSync("mkdir", ["-p", app]);
    writeFileSync(path.join(app, "package.json"), '{"name": "app", "private": true, "type": "module"}');
    execFileSync("npm", ["install", "--offline", "--no-audit", "--no-fund", "--silent", tarball], { cwd: app });
    assert.deepEqual(readdirSync(path.join(app, "node_modules")).filter((n) => !n.startsWith(".")),
      ["trivanex-wikitext-table"]);
    writeFileSync(path.join(app, "use.js"), `
      import { init, initTables, tables, toHtml, version } from "trivanex-wikitext-table";
      await init();
      await initTables();
      console.log(version(), JSON.stringify(toHtml("{|\\n| a || b\\n|}")),
        JSON.stringify(tables("{|\\n| a || b\\n|}")[0].rows));
    `);
    const out = execFileSync("node", ["use.js"], { cwd: app, encoding: "utf8" });
    assert.equal(out, '1.0.0 "<table>\\n<tr>\\n<td>a</td><td>b</td></tr>\\n</table>" [["a","b"]]\n');
  } finally {
    rmSync(tmp, { recursive: true, force: true });
  }
});
