#!/usr/bin/env bash
# Installs into a temporary prefix and uses what was installed: a C host
# through pkg-config, one through find_package, the tool and the Python
# package.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" > "$tmp/install.log"
libdir=$(dirname "$(find "$prefix" -name 'libtrivanex-wikitext-table.so.1' -path '*/lib*/lib*' | grep -v site-packages | head -n 1)")
test -L "$libdir/libtrivanex-wikitext-table.so"
test -L "$libdir/libtrivanex-wikitext-table.so.1"
test -f "$prefix/share/man/man1/wttable.1"
test -f "$prefix/share/man/man3/wttable.3"

echo "== pkg-config consumer"
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs trivanex-wikitext-table)
cc -std=c99 -Wall -Werror "$here/consumer/consumer.c" $flags -Wl,-rpath,"$libdir" -o "$tmp/pc-consumer"
"$tmp/pc-consumer"

echo "== find_package consumer"
cmake -S "$here/consumer" -B "$tmp/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" > "$tmp/configure.log"
cmake --build "$tmp/cmake-consumer" > "$tmp/build.log"
"$tmp/cmake-consumer/consumer"

echo "== installed tool"
out=$(printf '{|\n| a\n|}' | "$prefix/bin/wttable" -t)
test "$out" = "$(printf '<table>\n<tr>\n<td>a</td></tr>\n</table>')"
"$prefix/bin/wttable" --version
if [ -x "$prefix/bin/wttable-dump" ]; then
  test -f "$prefix/share/man/man1/wttable-dump.1"
  printf '<mediawiki><page><title>T</title><ns>0</ns><id>1</id><revision><id>2</id><text>{|
| a
|}</text></revision></page></mediawiki>' |
    "$prefix/bin/wttable-dump" --no-progress | grep -q '"html": "<table>'
fi

echo "== installed Python package"
site=$(dirname "$(find "$prefix" -type d -name trivanex_wikitext_table | head -n 1)")
env -u TRIVANEX_WIKITEXT_TABLE_LIBRARY PYTHONPATH="$site" python3 -c '
import trivanex_wikitext_table as w
assert w.to_html("{|\n| a\n|}") == "<table>\n<tr>\n<td>a</td></tr>\n</table>"
print("python:", w.version(), "ok")'
grep -q "Python package: " "$tmp/install.log"

echo "== make install into the user base: importable with no PYTHONPATH, seen by pip"
n=0
for py in python3 /usr/bin/python3; do
  command -v "$py" > /dev/null || continue
  n=$((n + 1))
  userbase=$tmp/userbase-$n
  mkdir -p "$userbase"
  PYTHONUSERBASE=$userbase "$py" "$here/../cmake/install_python_package.py" \
    "$here/../python/trivanex_wikitext_table" "$userbase" "$libdir/libtrivanex-wikitext-table.so.1" \
    1.0.0 > "$tmp/user-install.log"
  ! grep -q PYTHONPATH "$tmp/user-install.log"
  (cd "$tmp" && env -u TRIVANEX_WIKITEXT_TABLE_LIBRARY -u PYTHONPATH PYTHONUSERBASE=$userbase "$py" -c '
import trivanex_wikitext_table as w, importlib.metadata as m
assert w.to_html("{|\n| a\n|}") == "<table>\n<tr>\n<td>a</td></tr>\n</table>"
assert m.version("trivanex-wikitext-table") == "1.0.0" == w.__version__
print("user base:", w.__file__)')
  if "$py" -m pip --version > /dev/null 2>&1; then
    shown=$(PYTHONUSERBASE=$userbase "$py" -m pip show trivanex-wikitext-table)
    grep -q "^Version: 1.0.0" <<< "$shown"
    PYTHONUSERBASE=$userbase "$py" -m pip uninstall -y -q trivanex-wikitext-table 2>/dev/null ||
      PYTHONUSERBASE=$userbase "$py" -m pip uninstall -y -q --break-system-packages trivanex-wikitext-table
    test -z "$(find "$userbase" -name '__init__.py')"
  fi
done
echo "install test passed"
