/** A conversion failed (more than 64 nested tables); the message is the library's own. */
export class WikitextTableError extends Error {}

/**
 * Loads the WebAssembly module once; later calls return the same promise.
 * In Node the module is read from beside this file; in a browser it is fetched
 * from beside this file unless a URL or the bytes of the `.wasm` are given.
 */
export function init(
  source?: string | URL | Response | BufferSource | WebAssembly.Module,
): Promise<void>;

/** The HTML of the tables in `text`, and nothing else.  A string in gives a string out. */
export function toHtml(text: string): string;
/** A Uint8Array in gives a Uint8Array out (a copy, owned by the caller). */
export function toHtml(text: Uint8Array): Uint8Array;

/** The whole of `text`, each table replaced by its HTML. */
export function parseDocument(text: string): string;
export function parseDocument(text: Uint8Array): Uint8Array;

/** Whether some line of `text` starts a table ("{|", maybe behind colons). */
export function hasTables(text: string | Uint8Array): boolean;

/** The library's version, "MAJOR.MINOR.PATCH". */
export function version(): string;

/** Loads the tables module once, for `tables`; `source` as for `init`. */
export function initTables(
  source?: string | URL | Response | BufferSource | WebAssembly.Module,
): Promise<void>;

export interface Link {
  /** Where it goes, with its #section. */
  target: string;
  text: string;
}

export interface Cell {
  row: number;
  col: number;
  rowspan: number;
  colspan: number;
  header: boolean;
  text: string;
  links: Link[];
  refs: string[];
  sort: string | null;
  templates: string[];
  /** The nested tables this cell holds, by their `table` index. */
  tables: number[];
  attrs: string;
  /** With `wikitext: true`. */
  wikitext?: string;
}

export interface Table {
  table: number;
  parent: number | null;
  line: number;
  section: string[];
  caption: string | null;
  attrs: string;
  columns: string[];
  header: (string | null)[][];
  rows: (string | null)[][];
  cells: Cell[];
  flags: ("unknown_templates" | "nested" | "cut" | "ragged")[];
}

export interface TablesOptions {
  /** Prepare a raw page first (the default). */
  rawWikitext?: boolean;
  /** "blank": a spanned slot holds "" after its first. */
  spans?: "fill" | "blank";
  /** What <br> becomes in cell text. */
  br?: "newline" | "space";
  /** Keep each cell's wikitext. */
  wikitext?: boolean;
}

/** Every table of `text` as data, nested ones included.  Needs `await initTables()`. */
export function tables(text: string | Uint8Array, options?: TablesOptions): Table[];
