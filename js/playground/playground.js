// The playground: markup on the left, the rendering, the HTML and each
// table's rows as data on the right, from the npm package's own files as one
// types.
import { init, initTables, tables, toHtml, parseDocument, WikitextTableError } from "../index.js";

const markup = document.getElementById("markup");
const preview = document.getElementById("preview");
const source = document.getElementById("source");
const timing = document.getElementById("timing");
const modeForm = document.getElementById("mode");
const data = document.getElementById("data");

const FALLBACK = '{| class="wikitable"\n|+ A small table\n! A !! B\n|-\n| 1 || 2\n|}\n';
const FRAME_STYLE =
  "<style>body{font:15px/1.4 system-ui,sans-serif;margin:0.6em}" +
  "table{border-collapse:collapse;margin:0.5em 0}th,td{border:1px solid #aaa;padding:0.2em 0.5em}" +
  "caption{font-weight:bold}</style>";

function mode() {
  return new FormData(modeForm).get("mode");
}

// The rows of each table, built from text nodes: cell text is never HTML.
function showData(text) {
  data.replaceChildren();
  let found;
  try {
    found = tables(text);
  } catch (error) {
    data.textContent = String(error.message ?? error);
    return;
  }
  for (const t of found) {
    const grid = document.createElement("table");
    grid.className = "data";
    const caption = grid.createCaption();
    caption.textContent = `table ${t.table}${t.parent === null ? "" : ` in table ${t.parent}`}, ` +
      `line ${t.line}${t.caption ? `: ${t.caption}` : ""}`;
    const head = grid.createTHead().insertRow();
    for (const label of t.columns) head.appendChild(document.createElement("th")).textContent = label;
    const body = grid.createTBody();
    for (const row of t.rows) {
      const tr = body.insertRow();
      for (const value of row) {
        const td = tr.insertCell();
        if (value === null) td.className = "none";
        else td.textContent = value;
      }
    }
    data.appendChild(grid);
  }
}

function render() {
  const text = markup.value;
  const convert = mode() === "document" ? parseDocument : toHtml;
  let html;
  const start = performance.now();
  try {
    html = convert(text.replaceAll("\0", ""));
  } catch (error) {
    html = "";
    timing.textContent = error instanceof WikitextTableError ? error.message : String(error);
    preview.srcdoc = "";
    source.textContent = "";
    return;
  }
  const ms = performance.now() - start;
  const bytes = new TextEncoder().encode(text).length;
  // Browsers round the clock to 0.1 ms or coarser.
  timing.textContent = `${bytes} bytes in ${ms < 0.1 ? "< 0.1" : ms.toFixed(1)} ms`;
  source.textContent = html;
  // The whole document keeps its plain lines as they are: show them as such.
  const body = mode() === "document" ? `<div style="white-space:pre-wrap">${html}</div>` : html;
  preview.srcdoc = `<!DOCTYPE html><meta charset="utf-8">${FRAME_STYLE}${body}`;
  showData(text.replaceAll("\0", ""));
}

async function start() {
  await Promise.all([init(), initTables()]);
  let text = FALLBACK;
  try {
    const response = await fetch("example.wiki");
    if (response.ok) text = await response.text();
  } catch {
    // Served without the example: the fallback table will do.
  }
  markup.value = text;
  markup.addEventListener("input", render);
  modeForm.addEventListener("change", render);
  render();
  document.body.dataset.ready = "true";
}

start().catch((error) => {
  timing.textContent = `could not start: ${error.message}`;
});
