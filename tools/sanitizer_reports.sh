#!/usr/bin/env bash
# Fails when a sanitizer wrote a report into the log folder given, and shows
# each report: what a test's output capture hid is still seen here.
set -u
dir=$1
shopt -s nullglob
reports=("$dir"/*)
if [ ${#reports[@]} -eq 0 ]; then
  echo "sanitizers: no reports"
  exit 0
fi
for report in "${reports[@]}"; do
  echo "== sanitizer report $report"
  cat "$report"
done
echo "sanitizers: ${#reports[@]} report(s)"
exit 1
