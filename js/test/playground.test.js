// The playground in a real browser: Debian's Chromium driven by
// playwright-core (no browser download).  Types markup and checks the
// rendered cells, the mode switch, that nothing in the markup runs in the
// sandboxed preview, and writes a screenshot under build/.
import { test } from "node:test";
import assert from "node:assert/strict";
import { createServer } from "node:http";
import { existsSync, mkdirSync, readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import path from "node:path";

const pkgDir = path.join(path.dirname(fileURLToPath(import.meta.url)), "..");
const buildDir = path.join(pkgDir, "..", "build");
const browserPath = process.env.CHROMIUM ?? "/usr/bin/chromium";
let playwright = null;
try {
  playwright = await import("playwright-core");
} catch {
  // not installed: `npm ci` in js/
}
const skip = !playwright ? "playwright-core is not installed (npm ci in js/)"
  : !existsSync(browserPath) ? `no browser at ${browserPath} (Debian: chromium)` : false;

const TYPES = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css",
  ".wasm": "application/wasm", ".wiki": "text/plain; charset=utf-8" };

// Any static server will do; this one serves the package folder on loopback.
function serve() {
  const server = createServer((req, res) => {
    const url = new URL(req.url, "http://localhost");
    const file = path.join(pkgDir, path.normalize(decodeURIComponent(url.pathname)));
    if (!file.startsWith(pkgDir) || !existsSync(file) || file.endsWith(path.sep)) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { "content-type": TYPES[path.extname(file)] ?? "application/octet-stream" });
    res.end(readFileSync(file));
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

test("the playground converts as one types, in a sandbox", { skip, timeout: 120000 }, async () => {
  const server = await serve();
  const browser = await playwright.chromium.launch({
    executablePath: browserPath,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    const errors = [];
    page.on("pageerror", (e) => errors.push(e.message));
    await page.goto(`http://127.0.0.1:${server.address().port}/playground/index.html`);
    await page.waitForSelector("body[data-ready=true]");
    // Prefilled with the example article.
    assert.match(await page.inputValue("#markup"), /Lake Ostrava/);
    const preview = page.frameLocator("#preview");
    await preview.locator("caption", { hasText: "Lake Ostrava in numbers" }).waitFor();

    // Typing converts at once.
    await page.fill("#markup", "");
    await page.type("#markup", '{| class="t"\n! Name !! Age\n|-\n| Ada || 36\n|}');
    await preview.locator("td", { hasText: "36" }).waitFor();
    assert.deepEqual(await preview.locator("th").allTextContents(), ["Name", "Age"]);
    assert.deepEqual(await preview.locator("td").allTextContents(), ["Ada", "36"]);
    assert.match(await page.textContent("#source"), /^<table class="t">\n<tr>\n<th>Name<\/th>/);
    assert.match(await page.textContent("#timing"), /bytes in (< )?[0-9.]+ ms/);
    // Beside it, the table as data: its columns and rows as text.
    await page.locator("#data td", { hasText: "36" }).waitFor();
    assert.deepEqual(await page.locator("#data th").allTextContents(), ["Name", "Age"]);
    assert.deepEqual(await page.locator("#data td").allTextContents(), ["Ada", "36"]);

    // The mode switch: text outside tables appears only in the whole document.
    await page.fill("#markup", "Intro line\n{|\n| cell\n|}");
    await preview.locator("td", { hasText: "cell" }).waitFor();
    assert.ok(!(await page.textContent("#source")).includes("Intro line"));
    await page.check("input[value=document]");
    await page.waitForFunction(() => document.getElementById("source").textContent.includes("Intro line"));
    await page.check("input[value=tables]");
    await page.waitForFunction(() => !document.getElementById("source").textContent.includes("Intro line"));

    // Markup that would run script runs nothing: no script, no handler, no message.
    await page.evaluate(() => {
      window.addEventListener("message", () => { document.body.dataset.pwned = "yes"; });
    });
    await page.fill("#markup",
      '{|\n| onclick="parent.postMessage(1, \'*\')" | click me || <img src=x onerror="parent.postMessage(2, \'*\')">\n' +
      "| <script>parent.postMessage(3, '*'); document.title = 'ran'</script>\n|}");
    await preview.locator("td", { hasText: "click me" }).waitFor();
    await preview.locator("td", { hasText: "click me" }).click();
    await page.waitForTimeout(300);
    assert.equal(await page.getAttribute("#preview", "sandbox"), "");
    assert.equal(await page.evaluate(() => document.body.dataset.pwned ?? "no"), "no");
    assert.deepEqual(errors, []);

    await page.fill("#markup", readFileSync(path.join(pkgDir, "playground", "example.wiki"), "utf8"));
    await preview.locator("caption").first().waitFor();
    mkdirSync(buildDir, { recursive: true });
    await page.screenshot({ path: path.join(buildDir, "playground.png") });
  } finally {
    await browser.close();
    server.close();
  }
});
