// Opt-in (`make test-large`, about 7 GB of memory): the module's memory
// past 2 GiB, where WebAssembly hands addresses over as negative numbers,
// and a conversion that runs out of the module's 4 GiB.
import { test } from "node:test";
import assert from "node:assert/strict";

import { init, toHtml } from "../index.js";

await init();
const encoder = new TextEncoder();

test("addresses past 2 GiB, then a conversion out of memory", () => {
  // A large result first: the library keeps its buffer, low in memory.
  const cells = 50_000_000;
  const table = new Uint8Array(3 + cells * 3 + 2);
  table.set(encoder.encode("{|\n"));
  for (let i = 3; i < 3 + cells * 3; i += 3) {
    table[i] = 124; // "|a\n"
    table[i + 1] = 97;
    table[i + 2] = 10;
  }
  table.set(encoder.encode("|}"), 3 + cells * 3);
  assert.equal(toHtml(table).length, 550_000_026);

  // Then an input that can only be placed above 2 GiB.
  const big = new Uint8Array(1_300_000_000).fill(120);
  big.set(encoder.encode("\n{|\n| z\n|}"), big.length - 20);
  assert.deepEqual(toHtml(big), toHtml(big.slice(big.length - 40)));

  // A result that cannot fit in 4 GiB is no result.
  assert.throws(() => toHtml(new Uint8Array(2_000_000_000).fill(124)),
    (e) => e instanceof RangeError && e.message === "out of memory");
});
