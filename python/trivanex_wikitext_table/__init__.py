"""Wiki table markup to HTML, over the trivanex-wikitext-table shared library.

    >>> from trivanex_wikitext_table import to_html
    >>> to_html("{|\\n| a || b\\n|}")
    '<table>\\n<tr>\\n<td>a</td><td>b</td></tr>\\n</table>'

``str`` in gives ``str`` out (UTF-8 both ways), ``bytes`` in gives ``bytes``
out.  Nothing is escaped: HTML made from untrusted text must go through an
HTML sanitizer.  Calls may come from any thread; they are serialised here,
since the library keeps one result buffer per function.
"""

import ctypes
import os
import threading

__all__ = ["to_html", "parse_document", "has_tables", "version", "WikitextTableError"]

ENV_VAR = "TRIVANEX_WIKITEXT_TABLE_LIBRARY"
SONAME = "libtrivanex-wikitext-table.so.1"


class WikitextTableError(Exception):
    """A conversion failed; the message is the library's own."""


def _load():
    tried = []
    candidates = []
    explicit = os.environ.get(ENV_VAR)
    if explicit:
        candidates.append(explicit)
    here = os.path.dirname(os.path.abspath(__file__))
    candidates.append(os.path.join(here, SONAME))
    candidates.append(SONAME)
    for candidate in candidates:
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            tried.append("%s (%s)" % (candidate, error))
    raise OSError("trivanex-wikitext-table: cannot load the shared library; tried "
                  "$%s, beside the package and the system loader: %s"
                  % (ENV_VAR, "; ".join(tried)))


_lib = _load()
for _name in ("wttable_to_html", "wttable_parse_document", "wttable_last_error",
              "wttable_version"):
    getattr(_lib, _name).restype = ctypes.c_char_p
_lib.wttable_to_html.argtypes = [ctypes.c_char_p]
_lib.wttable_parse_document.argtypes = [ctypes.c_char_p]
_lib.wttable_has_tables.argtypes = [ctypes.c_char_p]
_lib.wttable_has_tables.restype = ctypes.c_int
_lib.wttable_last_error.argtypes = []
_lib.wttable_version.argtypes = []

# ctypes releases the GIL during foreign calls; the library must see one
# caller at a time, and its results live only until the next call.
_lock = threading.Lock()


def _as_bytes(text):
    if isinstance(text, str):
        data = text.encode("utf-8")
    elif isinstance(text, (bytes, bytearray, memoryview)):
        data = bytes(text)
    else:
        raise TypeError("text must be str or bytes, not %s" % type(text).__name__)
    nul = data.find(b"\0")
    if nul >= 0:
        # The library reads up to the first NUL: refuse rather than drop the rest.
        raise ValueError("NUL byte at offset %d; input must be text" % nul)
    return data


def _convert(function, text):
    data = _as_bytes(text)
    with _lock:
        html = function(data)  # c_char_p restype copies the bytes at once
        error = _lib.wttable_last_error()
    if error:
        raise WikitextTableError(error.decode("utf-8", "replace"))
    if isinstance(text, str):
        # A cut at the cell text or row attribute limit may split a character.
        return html.decode("utf-8", "replace")
    return html


def to_html(text):
    """The HTML of the tables in ``text``, and nothing else."""
    return _convert(_lib.wttable_to_html, text)


def parse_document(text):
    """The whole of ``text``, each table replaced by its HTML."""
    return _convert(_lib.wttable_parse_document, text)


def has_tables(text):
    """Whether some line of ``text`` starts a table ("{|", maybe behind colons)."""
    data = _as_bytes(text)
    with _lock:
        return _lib.wttable_has_tables(data) == 1


def version():
    """The loaded library's version, such as "1.0.0"."""
    return _lib.wttable_version().decode("ascii")
