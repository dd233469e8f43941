#!/usr/bin/env bash
# The scripts the docs quote are the files in examples/, byte for byte: every fenced block of
# README.md and docs/*.md whose first two lines name a file "examples/NAME:" must equal that file,
# and every file of examples/ must be quoted so at least once. Prints each difference, and fails.
# Usage: examples_check.sh SOURCE_DIR
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 SOURCE_DIR" >&2
  exit 2
fi
cd "$1"
blocks=$(mktemp -d)
trap 'rm -rf "$blocks"' EXIT

# Each fenced block into a file of its own, named after its document and number.
for doc in README.md docs/*.md; do
  awk -v out="$blocks/$(echo "$doc" | tr / _)" '
    /^```/ { if (on) { on = 0; close(file) } else { on = 1; n++; file = out "." n; printf "" > file }; next }
    on     { print > file }' "$doc"
done

status=0
for example in examples/*; do
  quoted=0
  for block in "$blocks"/*; do
    head -2 "$block" | grep -q "$example:" || continue
    quoted=$((quoted + 1))
    if ! cmp -s "$block" "$example"; then
      echo "a block of ${block##*/} quoting $example differs from the file:" >&2
      diff "$example" "$block" >&2 || true
      status=1
    fi
  done
  if [ "$quoted" -eq 0 ]; then
    echo "$example is quoted nowhere in README.md or docs/" >&2
    status=1
  else
    echo "$example: quoted $quoted times, as the file"
  fi
done
exit "$status"
