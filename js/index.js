// trivanex-wikitext-table: wiki table markup to HTML, the C library compiled
// to WebAssembly.  Nothing is escaped: HTML made from untrusted text must go
// through an HTML sanitizer before a browser shows it.

const WASM_FILE = "libtrivanex-wikitext-table.wasm";
const TABLES_WASM_FILE = "libtrivanex-wikitext-tables.wasm";

/** A conversion failed; the message is the library's own. */
export class WikitextTableError extends Error {
  constructor(message) {
    super(message);
    this.name = "WikitextTableError";
  }
}

let exports_ = null;
let loading = null;
const encoder = new TextEncoder();
const decoder = new TextDecoder("utf-8");

async function wasmBytes(source, file) {
  if (source === undefined) {
    const url = new URL(file, import.meta.url);
    if (url.protocol === "file:") {
      const { readFile } = await import("node:fs/promises");
      return readFile(url);
    }
    source = url;
  }
  if (typeof source === "string" || source instanceof URL) {
    const response = await fetch(source);
    if (!response.ok) throw new Error(`cannot load ${source}: HTTP ${response.status}`);
    return new Uint8Array(await response.arrayBuffer());
  }
  if (typeof Response !== "undefined" && source instanceof Response) {
    return new Uint8Array(await source.arrayBuffer());
  }
  return source; // bytes, or a compiled WebAssembly.Module
}

/**
 * Loads the module once; later calls return the same promise.  `source` is
 * optional: a URL or the bytes of the .wasm file (or a WebAssembly.Module).
 */
async function instantiate(source, file) {
  const bytes = await wasmBytes(source, file);
  const module = bytes instanceof WebAssembly.Module ? bytes : await WebAssembly.compile(bytes);
  const instance = await WebAssembly.instantiate(module, {});
  instance.exports._initialize();
  return instance.exports;
}

export function init(source) {
  if (loading === null) {
    loading = (async () => {
      exports_ = await instantiate(source, WASM_FILE);
    })();
    loading.catch(() => {
      loading = null; // a failed load may be retried
    });
  }
  return loading;
}

let tablesExports = null;
let tablesLoading = null;

/**
 * Loads the tables module (libtrivanex-wikitext-tables.wasm) once, for
 * `tables`; `source` as for `init`.
 */
export function initTables(source) {
  if (tablesLoading === null) {
    tablesLoading = (async () => {
      tablesExports = await instantiate(source, TABLES_WASM_FILE);
    })();
    tablesLoading.catch(() => {
      tablesLoading = null;
    });
  }
  return tablesLoading;
}

function lib() {
  if (exports_ === null) throw new Error("trivanex-wikitext-table: call `await init()` first");
  return exports_;
}

// Module addresses and sizes are unsigned 32-bit numbers; WebAssembly hands
// them over as signed ones, negative past 2 GiB.
const u32 = (value) => value >>> 0;
const NO_NUL = 0xffffffff;

// The UTF-16 index of the first lone surrogate, or -1.  TextEncoder would
// turn it into U+FFFD without a word.
function loneSurrogate(text) {
  if (typeof text.isWellFormed === "function" && text.isWellFormed()) return -1;
  const match = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/.exec(text);
  return match === null ? -1 : match.index;
}

// Copies the text into module w's memory, NUL-terminated.  Returns the
// block, which the caller releases.
function passIn(text, w = lib()) {
  if (typeof text === "string") {
    const nul = text.indexOf("\0");
    if (nul >= 0) throw new RangeError(`NUL character at index ${nul}; input must be text`);
    const lone = loneSurrogate(text);
    if (lone >= 0) {
      throw new RangeError(`text is not valid Unicode at index ${lone} (a lone surrogate); ` +
        "it cannot be encoded as UTF-8");
    }
    // UTF-8 needs at most 3 bytes for each UTF-16 unit.
    const room = text.length * 3 + 1;
    const ptr = u32(w.wtjs_alloc(room));
    if (ptr === 0) throw new RangeError("out of memory");
    const { written } = encoder.encodeInto(text, new Uint8Array(w.memory.buffer, ptr, room - 1));
    new Uint8Array(w.memory.buffer)[ptr + written] = 0;
    return ptr;
  }
  if (!(text instanceof Uint8Array)) {
    throw new TypeError(`text must be a string or a Uint8Array, not ${typeof text}`);
  }
  const ptr = u32(w.wtjs_alloc(text.length + 1));
  if (ptr === 0) throw new RangeError("out of memory");
  const memory = new Uint8Array(w.memory.buffer);
  memory.set(text, ptr);
  memory[ptr + text.length] = 0;
  // Searched inside the module: 16 bytes at a time, where JavaScript goes byte by byte.
  const nul = u32(w.wtjs_find_nul(ptr, text.length));
  if (nul !== NO_NUL) {
    w.wtjs_free(ptr);
    throw new RangeError(`NUL byte at offset ${nul}; input must be text`);
  }
  return ptr;
}

// The NUL-terminated bytes at ptr, as a view into the module's memory.
function viewOf(ptr) {
  const w = lib();
  const start = u32(ptr);
  return new Uint8Array(w.memory.buffer, start, u32(w.wtjs_length(start)));
}

function convert(name, text) {
  const w = lib();
  const input = passIn(text);
  let result;
  try {
    w.wtjs_take_alloc_failure();
    result = viewOf(w[name](input));
    // The library leaves out what it could not allocate room for: that is
    // no result to hand on.
    if (w.wtjs_take_alloc_failure()) throw new RangeError("out of memory");
    if (result.length === 0) {
      const error = viewOf(w.wttable_last_error());
      if (error.length > 0) throw new WikitextTableError(decoder.decode(error));
    }
    // Copied out at once: the library reuses its buffer on the next call.
    return typeof text === "string" ? decoder.decode(result) : result.slice();
  } finally {
    w.wtjs_free(input);
  }
}

/** The HTML of the tables in `text`, and nothing else. */
export function toHtml(text) {
  return convert("wttable_to_html", text);
}

/** The whole of `text`, each table replaced by its HTML. */
export function parseDocument(text) {
  return convert("wttable_parse_document", text);
}

/** Whether some line of `text` starts a table ("{|", maybe behind colons). */
export function hasTables(text) {
  const w = lib();
  const input = passIn(text);
  try {
    return w.wttable_has_tables(input) === 1;
  } finally {
    w.wtjs_free(input);
  }
}

/** The library's version, "MAJOR.MINOR.PATCH". */
export function version() {
  return decoder.decode(viewOf(lib().wttable_version()));
}

const RAW_WIKITEXT = 1, SPANS_BLANK = 2, BR_SPACE = 4, WIKITEXT = 8;

/**
 * Every table of `text` as data, in document order, nested ones included:
 * rows, columns and clean cell text from the same markup rules as `toHtml`.
 * Needs `await initTables()` first.
 */
export function tables(text, options = {}) {
  if (tablesExports === null) {
    throw new Error("trivanex-wikitext-table: call `await initTables()` before tables()");
  }
  const { rawWikitext = true, spans = "fill", br = "newline", wikitext = false } = options;
  if (spans !== "fill" && spans !== "blank") throw new RangeError(`spans must be "fill" or "blank", not ${spans}`);
  if (br !== "newline" && br !== "space") throw new RangeError(`br must be "newline" or "space", not ${br}`);
  const flags = (rawWikitext ? RAW_WIKITEXT : 0) | (spans === "blank" ? SPANS_BLANK : 0) |
    (br === "space" ? BR_SPACE : 0) | (wikitext ? WIKITEXT : 0);
  const w = tablesExports;
  const input = passIn(text, w);
  const doc = u32(w.wtt_new());
  try {
    if (doc === 0) throw new RangeError("out of memory");
    const length = u32(w.wtjs_length(input));
    const rc = w.wtt_parse(doc, input, length, flags);
    if (rc === 0) throw new RangeError("out of memory");
    if (rc < 0) {
      throw new WikitextTableError("Failed to parse table markup: more than 64 nested tables " +
        `at line ${u32(w.wtt_failed_line(doc))}`);
    }
    const lengthAt = u32(w.wtjs_alloc(4));
    if (lengthAt === 0) throw new RangeError("out of memory");
    try {
      // All records as one array: one decode and one parse for the page.
      const at = u32(w.wtt_tables_json(doc, lengthAt));
      if (at === 0) throw new RangeError("out of memory");
      const n = new DataView(w.memory.buffer).getUint32(lengthAt, true);
      return JSON.parse(decoder.decode(new Uint8Array(w.memory.buffer, at, n)));
    } finally {
      w.wtjs_free(lengthAt);
    }
  } finally {
    if (doc !== 0) w.wtt_free(doc);
    w.wtjs_free(input);
  }
}
