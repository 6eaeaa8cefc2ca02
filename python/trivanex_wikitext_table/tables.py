"""Every table of a wiki text as data: rows, columns and clean cell text.

    >>> from trivanex_wikitext_table import tables
    >>> t = tables("{|\\n! Team !! Goals\\n|-\\n| [[Boston Bruins|Bruins]] || 7\\n|}")[0]
    >>> t.columns, t.rows
    (['Team', 'Goals'], [['Bruins', '7']])
    >>> t.cells[2].links
    [Link(target='Boston Bruins', text='Bruins')]

The tables come from the same walk and the same markup rules as the HTML of
``to_html``, over the trivanex-wikitext-tables library.  Each call has its
own state: calls from several threads run side by side.
"""
from __future__ import annotations

import ctypes
import json
import os
import threading
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Union

__all__ = ["tables", "Table", "Cell", "Link"]

_ENV_VAR = "TRIVANEX_WIKITEXT_TABLES_LIBRARY"
_MAIN_ENV_VAR = "TRIVANEX_WIKITEXT_TABLE_LIBRARY"
_SONAME = "libtrivanex-wikitext-tables.so.1"

_RAW_WIKITEXT, _SPANS_BLANK, _BR_SPACE, _WIKITEXT = 1, 2, 4, 8


@dataclass(frozen=True)
class Link:
    """A link in a cell: where it goes (with its #section) and its text."""
    target: str
    text: str


@dataclass
class Cell:
    """One cell as written, placed on the grid (0-based row and column)."""
    row: int
    col: int
    rowspan: int
    colspan: int
    header: bool
    text: str
    links: List[Link]
    refs: List[str]
    sort: Optional[str]
    templates: List[str]
    tables: List[int]
    attrs: str
    wikitext: Optional[str] = None


@dataclass
class Table:
    """One table: ``header`` and ``rows`` are grids of text with spans
    filled (``None`` where no cell is), ``columns`` one label a column."""
    table: int
    parent: Optional[int]
    line: int
    section: List[str]
    caption: Optional[str]
    attrs: str
    columns: List[str]
    header: List[List[Optional[str]]]
    rows: List[List[Optional[str]]]
    cells: List[Cell] = field(default_factory=list)
    flags: List[str] = field(default_factory=list)

    def to_records(self) -> List[Dict[str, Optional[str]]]:
        """The body rows as dicts keyed by the column labels."""
        return [dict(zip(self.columns, row)) for row in self.rows]

    def to_pandas(self) -> Any:
        """The body rows as a pandas DataFrame with the column labels."""
        try:
            import importlib
            pandas = importlib.import_module("pandas")
        except ImportError:
            raise ImportError("Table.to_pandas needs pandas (pip install pandas); "
                              "Table.rows and Table.to_records do not") from None
        return pandas.DataFrame(self.rows, columns=self.columns)


def _candidates() -> List[str]:
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, _SONAME)]
    main = os.environ.get(_MAIN_ENV_VAR)
    if main:
        found.append(os.path.join(os.path.dirname(main), _SONAME))
    found.append(_SONAME)
    return found


_loaded: Optional[ctypes.CDLL] = None
_load_lock = threading.Lock()


def _library() -> ctypes.CDLL:
    global _loaded
    with _load_lock:
        if _loaded is not None:
            return _loaded
        explicit = os.environ.get(_ENV_VAR)
        tried = []
        lib = None
        for candidate in [explicit] if explicit else _candidates():
            try:
                lib = ctypes.CDLL(candidate)
                break
            except OSError as error:
                tried.append(f"{candidate} ({error})")
        if lib is None:
            raise ImportError("trivanex-wikitext-tables: the tables library was not found; "
                              "tried " + "; ".join(tried) + f". Point ${_ENV_VAR} at a built "
                              f"library such as build/{_SONAME}.")
        lib.wtt_new.restype = ctypes.c_void_p
        lib.wtt_new.argtypes = []
        lib.wtt_free.argtypes = [ctypes.c_void_p]
        lib.wtt_free.restype = None
        lib.wtt_parse.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                  ctypes.c_uint]
        lib.wtt_parse.restype = ctypes.c_int
        lib.wtt_failed_line.argtypes = [ctypes.c_void_p]
        lib.wtt_failed_line.restype = ctypes.c_size_t
        lib.wtt_table_count.argtypes = [ctypes.c_void_p]
        lib.wtt_table_count.restype = ctypes.c_size_t
        lib.wtt_tables_json.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t)]
        lib.wtt_tables_json.restype = ctypes.c_void_p
        _loaded = lib
        return lib


def _filled(cls: Any, values: Dict[str, Any]) -> Any:
    # The record's keys are the dataclass's fields (a test holds them to it):
    # its dict becomes the instance's, without a call of __init__ per cell.
    obj = object.__new__(cls)
    obj.__dict__.update(values)
    return obj


def _table(record: Dict[str, Any]) -> Table:
    cells = record["cells"]
    for i, c in enumerate(cells):
        if c["links"]:
            c["links"] = [_filled(Link, link) for link in c["links"]]
        cells[i] = _filled(Cell, c)
    return _filled(Table, record)  # type: ignore[no-any-return]


def tables(text: Union[str, bytes, bytearray, memoryview], *, raw_wikitext: bool = True,
           spans: str = "fill", br: str = "newline", wikitext: bool = False) -> List[Table]:
    """Every table of ``text`` in document order, nested ones included.

    ``raw_wikitext`` prepares a raw page first (comments, templates and
    parameters stay out of the cell markup), as ``wttable --raw-wikitext``.
    ``spans="blank"`` leaves "" in the slots a span covers after its first;
    ``br="space"`` makes ``<br>`` a space; ``wikitext`` keeps each cell's
    wikitext.  Raises ``ValueError`` for a text that is not valid Unicode or
    holds a NUL, ``WikitextTableError`` beyond 64 nested tables.
    """
    from . import WikitextTableError, _as_bytes

    if spans not in ("fill", "blank"):
        raise ValueError(f"spans must be 'fill' or 'blank', not {spans!r}")
    if br not in ("newline", "space"):
        raise ValueError(f"br must be 'newline' or 'space', not {br!r}")
    data = _as_bytes(text)
    options = ((_RAW_WIKITEXT if raw_wikitext else 0) | (_SPANS_BLANK if spans == "blank" else 0)
               | (_BR_SPACE if br == "space" else 0) | (_WIKITEXT if wikitext else 0))
    lib = _library()
    doc = lib.wtt_new()
    if not doc:
        raise MemoryError("trivanex-wikitext-tables: out of memory")
    try:
        rc = lib.wtt_parse(doc, data, len(data), options)
        if rc == 0:
            raise MemoryError("trivanex-wikitext-tables: out of memory")
        if rc < 0:
            raise WikitextTableError(f"Failed to parse table markup: more than 64 nested tables "
                                     f"at line {lib.wtt_failed_line(doc)}")
        size = ctypes.c_size_t()
        address = lib.wtt_tables_json(doc, ctypes.byref(size))
        if not address:
            raise MemoryError("trivanex-wikitext-tables: out of memory")
        # One array for the page: one parse, then the records.
        return [_table(record) for record in json.loads(ctypes.string_at(address, size.value))]
    finally:
        lib.wtt_free(doc)
