"""Reads the conversion case tables of this folder (see conversion.txt)."""


def decode(quoted):
    """The bytes of one C-escaped quoted string (read as latin-1 text)."""
    body = quoted.strip()
    if len(body) < 2 or body[0] != '"' or body[-1] != '"':
        raise ValueError("malformed string: %r" % quoted)
    return body[1:-1].encode("latin-1").decode("unicode_escape").encode("latin-1")


def load_cases(path):
    """A dict per case: "name", "in", and "tables" and/or "document" as bytes."""
    cases, field = [], None
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n").encode("utf-8").decode("latin-1")
            if line.startswith("== "):
                cases.append({"name": line[3:]})
                field = None
            elif line[:1] in (" ", "\t") and line.strip().startswith('"') and field:
                cases[-1][field] += decode(line)
            elif line and not line.startswith("#") and cases:
                key, _, value = line.partition(" ")
                field = key
                cases[-1][key] = decode(value)
            else:
                field = None
    return cases
