#!/usr/bin/env bash
# The Python package as users install it, offline: pip install (with
# Debian's Python, which has setuptools and wheel), pip wheel, the wheel
# installed into a fresh venv of the other Python with no compiler involved,
# and an editable install.  Each import runs from another folder with no
# environment variable.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"; rm -f "$src"/python/trivanex_wikitext_table/*.so.1' EXIT
debian=/usr/bin/python3
if ! "$debian" -c 'import setuptools, wheel, venv' 2>/dev/null; then
  echo "skipped: $debian lacks setuptools, wheel or venv (python3-setuptools python3-wheel python3-venv)"
  exit 77
fi
check='
import importlib.metadata as m, os, sys
import trivanex_wikitext_table as wt
assert wt.to_html("{|\n| a || b\n|}") == "<table>\n<tr>\n<td>a</td><td>b</td></tr>\n</table>"
assert wt.__version__ == m.version("trivanex-wikitext-table") == "1.0.0"
assert wt.tables("{|\n! A\n|-\n| [[x|y]]\n|}")[0].to_records() == [{"A": "y"}]
assert "TRIVANEX_WIKITEXT_TABLE_LIBRARY" not in os.environ
print(sys.executable, "->", wt.__file__)'
run_check() { (cd "$tmp" && env -u TRIVANEX_WIKITEXT_TABLE_LIBRARY -u TRIVANEX_WIKITEXT_TABLES_LIBRARY -u PYTHONPATH "$1" -c "$check"); }

echo "== pip install . (Debian's Python, no build isolation, offline)"
"$debian" -m venv --system-site-packages "$tmp/debian"
"$tmp/debian/bin/pip" install -q --no-build-isolation --no-index "$src"
run_check "$tmp/debian/bin/python"
shown=$("$tmp/debian/bin/pip" show trivanex-wikitext-table)
grep -q "^Name: trivanex-wikitext-table" <<< "$shown"
"$tmp/debian/bin/pip" uninstall -y -q trivanex-wikitext-table
! (cd "$tmp" && "$tmp/debian/bin/python" -c 'import trivanex_wikitext_table' 2>/dev/null)

echo "== pip wheel .: a py3-none platform wheel holding the library"
"$tmp/debian/bin/pip" wheel -q --no-build-isolation --no-index --no-deps -w "$tmp/wheels" "$src"
wheel=$(ls "$tmp"/wheels/trivanex_wikitext_table-1.0.0-py3-none-linux_*.whl)
listing=$("$debian" -m zipfile -l "$wheel")
grep -q 'trivanex_wikitext_table/libtrivanex-wikitext-table.so.1' <<< "$listing"
grep -q 'trivanex_wikitext_table/libtrivanex-wikitext-tables.so.1' <<< "$listing"
listing=$("$debian" -m zipfile -l "$wheel")
grep -q 'trivanex_wikitext_table/py.typed' <<< "$listing"

echo "== the wheel into a fresh venv of the default Python"
python3 -m venv "$tmp/default"
PATH=/nonexistent "$tmp/default/bin/python" -m pip install -q --no-index "$wheel"
run_check "$tmp/default/bin/python"

echo "== pip install -e . (editable)"
"$debian" -m venv --system-site-packages "$tmp/editable"
"$tmp/editable/bin/pip" install -q --no-build-isolation --no-index -e "$src"
run_check "$tmp/editable/bin/python"
"$tmp/editable/bin/pip" uninstall -y -q trivanex-wikitext-table
echo "python package test passed"
