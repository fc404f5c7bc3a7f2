#!/usr/bin/env bash
# find_python.sh 3.12: the path of a CPython 3.12 interpreter on this machine,
# or nothing (exit 1). Looks on PATH, then among pyenv's installed versions.
set -u
minor=$1
if p=$(command -v "python$minor" 2>/dev/null) && "$p" -c 'import sys, venv' >/dev/null 2>&1; then
  echo "$p"
  exit 0
fi
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  # The newest patch release installed, e.g. versions/3.12.1.
  for dir in $(ls -d "$root"/versions/"$minor".* 2>/dev/null | sort -V -r); do
    if [ -x "$dir/bin/python$minor" ]; then
      echo "$dir/bin/python$minor"
      exit 0
    fi
  done
fi
exit 1
