"""Wiki table markup to HTML, over the trivanex-wikitext-table shared library.

    >>> from trivanex_wikitext_table import to_html
    >>> to_html("{|\\n| a || b\\n|}")
    '<table>\\n<tr>\\n<td>a</td><td>b</td></tr>\\n</table>'

``str`` in gives ``str`` out (UTF-8 both ways); ``bytes``-like in gives
``bytes`` out.  A ``str`` that cannot be encoded as UTF-8 (a lone surrogate)
and a NUL in the input raise ``ValueError``; a failed conversion raises
``WikitextTableError`` with the library's message.  Nothing is escaped: HTML
made from untrusted text must go through an HTML sanitizer.

Calls may come from any thread: the library keeps one result buffer per
function, so calls are serialised here and every result is copied at once.
A child process forked at any moment, even while another thread is inside a
conversion, starts with the lock free.  A signal handler may convert too,
even one that interrupts a conversion of its own thread: both calls get
their own results.

A conversion needs about 100 KiB of the calling thread's stack.  On a thread
whose whole stack is smaller than 128 KiB (``threading.stack_size``) the
functions raise ``RuntimeError`` instead of overflowing it.
"""
from __future__ import annotations

import ctypes
import os
import threading
from typing import Union, overload

__all__ = ["to_html", "parse_document", "has_tables", "version", "WikitextTableError",
           "tables", "Table", "Cell", "Link", "__version__"]

_ENV_VAR = "TRIVANEX_WIKITEXT_TABLE_LIBRARY"
_SONAME = "libtrivanex-wikitext-table.so.1"
_MAJOR = 1
_FUNCTIONS = ("wttable_has_tables", "wttable_last_error", "wttable_parse_document",
              "wttable_to_html", "wttable_version")

BytesLike = Union[bytes, bytearray, memoryview]


class WikitextTableError(Exception):
    """A conversion failed; the message is the library's own."""


def _check(lib: ctypes.CDLL, path: str) -> ctypes.CDLL:
    missing = [name for name in _FUNCTIONS if not hasattr(lib, name)]
    if missing:
        raise ImportError(f"trivanex-wikitext-table: {path} is not this library: it lacks "
                          f"{', '.join(missing)}")
    lib.wttable_version.restype = ctypes.c_char_p
    lib.wttable_version.argtypes = []
    found = lib.wttable_version().decode("ascii", "replace")
    if found.split(".")[0] != str(_MAJOR):
        raise ImportError(f"trivanex-wikitext-table: {path} is version {found}; this package "
                          f"needs major version {_MAJOR}")
    return lib


def _load() -> ctypes.CDLL:
    explicit = os.environ.get(_ENV_VAR)
    if explicit:
        # An explicit choice is never replaced by another copy.
        try:
            return _check(ctypes.CDLL(explicit), explicit)
        except OSError as error:
            raise ImportError(f"trivanex-wikitext-table: ${_ENV_VAR} names {explicit}, which "
                              f"cannot be loaded: {error}") from None
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), _SONAME)
    tried = []
    for candidate in (beside, _SONAME):
        try:
            return _check(ctypes.CDLL(candidate), candidate)
        except OSError as error:
            tried.append(f"{candidate} ({error})")
    raise ImportError(
        "trivanex-wikitext-table: the shared library was not found; tried "
        + "; ".join(tried)
        + f". Install the package with pip (pip install trivanex-wikitext-table, or "
        f"pip install . in a checkout), or point ${_ENV_VAR} at a built library such as "
        f"build/{_SONAME}.")


_lib = _load()
for _name in ("wttable_to_html", "wttable_parse_document", "wttable_last_error"):
    getattr(_lib, _name).restype = ctypes.c_char_p
_lib.wttable_to_html.argtypes = [ctypes.c_char_p]
_lib.wttable_parse_document.argtypes = [ctypes.c_char_p]
_lib.wttable_has_tables.argtypes = [ctypes.c_char_p]
_lib.wttable_has_tables.restype = ctypes.c_int
_lib.wttable_last_error.argtypes = []

# ctypes releases the GIL during foreign calls; the library must see one
# caller at a time, and its results live only until the next call.  The lock
# is reentrant for a signal handler that converts while its own thread is
# inside a conversion; _calls then tells the outer call that its result was
# overwritten, and it converts again.
_lock = threading.RLock()
_calls = 0

# The work area of one conversion lives on the stack; below this the thread
# would overflow it.
_STACK_NEEDED = 128 << 10
_stack_checked = threading.local()


def _renew_lock_in_child() -> None:
    # A fork copies the lock as it was: held, if another thread was inside a
    # conversion.  That thread does not exist in the child.
    global _lock
    _lock = threading.RLock()


def _thread_stack_size() -> int:
    """The calling thread's whole stack in bytes, or 0 when unknown."""
    try:
        libc = ctypes.CDLL(None)
        libc.pthread_self.restype = ctypes.c_ulong
        attr = ctypes.create_string_buffer(256)  # pthread_attr_t is smaller
        if libc.pthread_getattr_np(ctypes.c_ulong(libc.pthread_self()), attr) != 0:
            return 0
        addr = ctypes.c_void_p()
        size = ctypes.c_size_t()
        ok = libc.pthread_attr_getstack(attr, ctypes.byref(addr), ctypes.byref(size)) == 0
        libc.pthread_attr_destroy(attr)
        return size.value if ok else 0
    except (AttributeError, OSError):
        return 0


def _check_stack() -> None:
    if getattr(_stack_checked, "ok", False):
        return
    if threading.current_thread() is not threading.main_thread():
        size = _thread_stack_size()
        if 0 < size < _STACK_NEEDED:
            raise RuntimeError(
                f"this thread's stack is {size // 1024} KiB; a conversion needs at least "
                f"{_STACK_NEEDED // 1024} KiB (threading.stack_size)")
    _stack_checked.ok = True


os.register_at_fork(after_in_child=_renew_lock_in_child)


def _as_bytes(text: Union[str, BytesLike]) -> bytes:
    if isinstance(text, str):
        try:
            data = text.encode("utf-8")
        except UnicodeEncodeError as error:
            raise ValueError(f"text is not valid Unicode at index {error.start} "
                             f"(a lone surrogate); it cannot be encoded as UTF-8") from None
    elif isinstance(text, (bytes, bytearray, memoryview)):
        data = bytes(text)
    else:
        raise TypeError(f"text must be str or bytes, not {type(text).__name__}")
    nul = data.find(b"\0")
    if nul >= 0:
        # The library reads up to the first NUL: refuse rather than drop the rest.
        raise ValueError(f"NUL byte at offset {nul}; input must be text")
    return data


def _call(function: "ctypes._NamedFuncPointer", data: bytes) -> "tuple[bytes, bytes]":
    global _calls
    _check_stack()
    with _lock:
        while True:
            _calls += 1
            mine = _calls
            html: bytes = function(data)  # a c_char_p result is copied at once
            error: bytes = _lib.wttable_last_error()
            if _calls == mine:  # no signal handler converted in between
                return html, error


def _convert(function: "ctypes._NamedFuncPointer", text: Union[str, BytesLike]) -> Union[str, bytes]:
    data = _as_bytes(text)
    html, error = _call(function, data)
    if error:
        raise WikitextTableError(error.decode("utf-8", "replace"))
    if isinstance(text, str):
        # A cut at the cell text or row attribute limit may split a character.
        return html.decode("utf-8", "replace")
    return html


@overload
def to_html(text: str) -> str: ...
@overload
def to_html(text: BytesLike) -> bytes: ...


def to_html(text: Union[str, BytesLike]) -> Union[str, bytes]:
    """The HTML of the tables in ``text``, and nothing else."""
    return _convert(_lib.wttable_to_html, text)


@overload
def parse_document(text: str) -> str: ...
@overload
def parse_document(text: BytesLike) -> bytes: ...


def parse_document(text: Union[str, BytesLike]) -> Union[str, bytes]:
    """The whole of ``text``, each table replaced by its HTML."""
    return _convert(_lib.wttable_parse_document, text)


def has_tables(text: Union[str, BytesLike]) -> bool:
    """Whether some line of ``text`` starts a table ("{|", maybe behind colons)."""
    global _calls
    data = _as_bytes(text)
    _check_stack()
    with _lock:
        _calls += 1  # it clears the error text an interrupted call may be about to read
        return bool(_lib.wttable_has_tables(data) == 1)


def version() -> str:
    """The loaded library's version, such as "1.0.0"."""
    result: bytes = _lib.wttable_version()
    return result.decode("ascii")


def _package_version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version as dist_version
    except ImportError:  # Python before 3.8
        return version()
    try:
        return dist_version("trivanex-wikitext-table")
    except PackageNotFoundError:
        # Used from a checkout: the package and the library are one project.
        return version()


__version__: str = _package_version()


from .tables import Cell, Link, Table, tables  # noqa: E402  (it uses the helpers above)
