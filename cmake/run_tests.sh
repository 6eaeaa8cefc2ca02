#!/usr/bin/env bash
# Runs the CTest suite of build folder $1 with $2 jobs and says how many
# tests were skipped.  With WTTABLE_NO_SKIPS=1 (CI) a skipped test fails the
# run: everything it needs is installed there.
set -uo pipefail
build=$1
jobs=$2
log="$build/ctest-output.log"
ctest --test-dir "$build" --output-on-failure -j "$jobs" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
skipped=$(grep -c '\*\*\*Skipped' "$log" || true)
echo "make test: $skipped skipped"
if [ "$skipped" != 0 ]; then
  grep '\*\*\*Skipped' "$log"
  if [ "${WTTABLE_NO_SKIPS:-0}" = 1 ]; then
    echo "make test: tests were skipped; every test must run here" >&2
    status=1
  fi
fi
exit "$status"
