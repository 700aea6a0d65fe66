#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest. Now and then Wine fails to
# start a program at all under load: it exits with a failure at once and
# nothing of the program runs or prints. Such a start is made once more; a
# program that ran (printed anything) and failed keeps its result.
set -u
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
for attempt in 1 2; do
  wine "$@" >"$out" 2>"$err"
  status=$?
  if [ "$status" -eq 0 ] || [ -s "$out" ] || [ -s "$err" ]; then break; fi
  echo "wine-start: $1 exited with status $status before it printed anything (start $attempt)" >&2
done
cat "$out"
cat "$err" >&2
exit "$status"
