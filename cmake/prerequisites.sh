#!/usr/bin/env bash
# Makes this machine able to run `make test`: installs the Debian packages of
# cmake/prerequisites.txt that are missing (as root, with apt-get) and the
# JavaScript package's npm packages from its lock file.  Where it cannot
# install (not root, no apt-get, or WTTABLE_NO_INSTALL=1) it prints the one
# command that would, and fails before anything runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list="$root/cmake/prerequisites.txt"

missing=()
while read -r pkg how what; do
  case "$pkg" in ''|'#'*) continue ;; esac
  case "$how" in
    command) command -v "$what" > /dev/null 2>&1 || missing+=("$pkg") ;;
    file) [ -e "$what" ] || missing+=("$pkg") ;;
    glob) compgen -G "$what" > /dev/null || missing+=("$pkg") ;;
    package) dpkg-query -W -f='${Status}' "$pkg" 2> /dev/null | grep -q 'ok installed' ||
               missing+=("$pkg") ;;
    *) echo "prerequisites.txt: unknown check '$how' for $pkg" >&2; exit 2 ;;
  esac
done < "$list"

# npm ci is needed when the installed tree is not the locked one.
js="$root/js"
need_npm=0
if [ ! -f "$js/node_modules/.package-lock.json" ] ||
   [ "$js/package-lock.json" -nt "$js/node_modules/.package-lock.json" ]; then
  need_npm=1
fi

can_install=1
[ "${WTTABLE_NO_INSTALL:-0}" = 1 ] && can_install=0
[ "$(id -u)" = 0 ] || can_install=0
command -v apt-get > /dev/null 2>&1 || can_install=0

if [ ${#missing[@]} -gt 0 ]; then
  if [ $can_install = 0 ]; then
    command="sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}"
    [ $need_npm = 1 ] && command="$command && (cd js && npm ci)"
    echo "make test: missing Debian packages: ${missing[*]}" >&2
    echo "install them with:" >&2
    echo "  $command" >&2
    exit 1
  fi
  echo "make test: installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ $need_npm = 1 ]; then
  if [ "${WTTABLE_NO_INSTALL:-0}" = 1 ]; then
    echo "make test: the JavaScript package's npm packages are not installed" >&2
    echo "install them with:" >&2
    echo "  (cd js && npm ci)" >&2
    exit 1
  fi
  echo "make test: installing the JavaScript package's npm packages (npm ci in js/)"
  (cd "$js" && npm ci --no-audit --no-fund)
fi
