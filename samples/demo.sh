#!/usr/bin/env bash
# Converts a copy of a Shift_JIS sample with tovrek and back with grelmat, showing the bytes at
# each step. Usage: demo.sh <tovrek> <grelmat> <sample>
set -euo pipefail
tovrek=$1 grelmat=$2 sample=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$sample" "$scratch/memo.txt"
cd "$scratch"

show() {
  echo "== $1 ($(wc -c <memo.txt) bytes)"
  od -An -tx1 -v memo.txt | head -n 4
  echo "   ..."
}

show "Shift_JIS with CR LF, as shipped"
"$tovrek" memo.txt
show "after tovrek: EUC-JP with LF"
"$grelmat" memo.txt
show "after grelmat: Shift_JIS with CR LF again"
if cmp -s memo.txt "$sample"; then
  echo "== the round trip gave back every byte of the sample"
else
  echo "== the round trip changed the sample" >&2
  exit 1
fi
