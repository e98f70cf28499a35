#!/usr/bin/env bash
# One large document: the command line against copying the same bytes.
#   bash bench/document.sh [BUILD_DIR] [MEGABYTES] [IMG_TAGS]
# Prints the times of cp, of a copy flushed to disk (dd conv=fsync), of
# tamarind-cli (backup on, as by default), the ratio of the last two, and
# the program's peak memory against the document's size.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}
mb=${2:-100}
tags=${3:-200000}
tool="$build/bench/bench-tool"
cli="$build/cli/tamarind-cli"
[ -x "$tool" ] && [ -x "$cli" ] || { echo "build first: bash build.sh run" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tamarind-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$tool" document "$work/site" "$mb" "$tags" 36
doc="$work/site/page.html"
size=$(stat -c %s "$doc")

measure() { "$tool" measure "$@" 2>&1 >/dev/null | tail -n 1; }
best() { sort -n | head -n 1; }

runs=3
cp_t=$(for _ in $(seq $runs); do rm -f "$work/copy"; sync; measure cp "$doc" "$work/copy"; done | best)
dd_t=$(for _ in $(seq $runs); do rm -f "$work/copy"; sync; measure dd if="$doc" of="$work/copy" bs=1M conv=fsync status=none; done | best)
cli_t=$(for _ in $(seq $runs); do
  cp "$doc" "$work/site/run.html"; rm -f "$work/site/run.bak"; sync
  measure "$cli" "$work/site/run.html"
done | best)

read -r cp_s _ <<<"$cp_t"
read -r dd_s _ <<<"$dd_t"
read -r cli_s cli_kb <<<"$cli_t"
echo "document:         $size bytes, $tags IMG tags"
echo "cp:               ${cp_s} s"
echo "dd conv=fsync:    ${dd_s} s"
echo "tamarind-cli:     ${cli_s} s"
awk -v c="$cli_s" -v d="$dd_s" -v kb="$cli_kb" -v sz="$size" 'BEGIN {
  printf "time ratio:       %.2f (tamarind-cli / dd conv=fsync; goal < 2)\n", c / d
  printf "peak memory:      %.1f MB, %.2f x the document (goal < 3)\n", kb / 1024, kb * 1024 / sz
}'
