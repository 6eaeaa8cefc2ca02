// Reads the conversion case tables of tests/cases (the format is described
// at the top of conversion.txt): each case's input and expected HTML, as bytes.
import { readFileSync } from "node:fs";

const ESCAPES = { n: 10, r: 13, t: 9, v: 11, '"': 34, "\\": 92, 0: 0 };

function decode(quoted) {
  const body = quoted.trim();
  if (body.length < 2 || body[0] !== '"' || body[body.length - 1] !== '"') {
    throw new Error(`malformed string: ${quoted}`);
  }
  const out = [];
  for (let i = 1; i < body.length - 1; i++) {
    const c = body.charCodeAt(i);
    if (c !== 92) {
      out.push(c);
      continue;
    }
    const e = body[++i];
    if (e === "x") {
      out.push(parseInt(body.slice(i + 1, i + 3), 16));
      i += 2;
    } else if (e in ESCAPES) {
      out.push(ESCAPES[e]);
    } else {
      throw new Error(`unknown escape \\${e} in ${quoted}`);
    }
  }
  return Uint8Array.from(out);
}

function concat(a, b) {
  const out = new Uint8Array(a.length + b.length);
  out.set(a);
  out.set(b, a.length);
  return out;
}

export function loadCases(path) {
  // latin1: one character per byte, so UTF-8 in the file stays bytes.
  const lines = readFileSync(path).toString("latin1").split("\n");
  const cases = [];
  let field = null;
  for (const line of lines) {
    if (line.startsWith("== ")) {
      cases.push({ name: line.slice(3) });
      field = null;
    } else if ((line[0] === " " || line[0] === "\t") && line.trim().startsWith('"') && field) {
      const c = cases[cases.length - 1];
      c[field] = concat(c[field], decode(line));
    } else if (line && !line.startsWith("#") && cases.length > 0) {
      const space = line.indexOf(" ");
      field = line.slice(0, space);
      cases[cases.length - 1][field] = decode(line.slice(space + 1));
    } else {
      field = null;
    }
  }
  return cases;
}
