#!/usr/bin/env bash
# A whole site against a plain copy of it.
#   bash bench/site.sh [BUILD_DIR] [PAGES]
# Makes a site of PAGES pages (2,000 by default) of about 50 KB with 20 IMG
# tags each over 200 pictures. Times, three times each, taking the best:
#   - copying the site (cp -r) and flushing it to disk (sync): what any tool
#     that writes every page once and makes it safe must at least pay;
#   - a first run of tamarind-cli -R (backups on, default jobs) on a fresh
#     copy, which rewrites every page;
#   - a second run over the processed copy, which finds nothing to change and
#     writes nothing.
# Goals: the first run at most 1.5 times the copy, the second at most a
# quarter of it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}
pages=${2:-2000}
tool="$build/bench/bench-tool"
cli="$build/cli/tamarind-cli"
[ -x "$tool" ] && [ -x "$cli" ] || { echo "build first: bash build.sh run" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tamarind-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$tool" site "$work/site" "$pages" 50 20 200
sync

seconds() { "$tool" measure "$@" 2>&1 >/dev/null | tail -n 1 | cut -d' ' -f1; }
best() { printf '%s\n' "$@" | sort -n | head -n 1; }

copies=() firsts=() seconds_=()
for _ in 1 2 3; do
  rm -rf "$work/copy" "$work/run"; sync
  copies+=("$(seconds bash -c "cp -r '$work/site' '$work/copy' && sync")")
  cp -r "$work/site" "$work/run"; sync
  firsts+=("$(seconds "$cli" -R "$work/run")")
  seconds_+=("$(seconds "$cli" -R "$work/run")")
done
copy=$(best "${copies[@]}") first=$(best "${firsts[@]}") second=$(best "${seconds_[@]}")
echo "cp -r + sync: $copy s (runs: ${copies[*]})"
echo "first run:    $first s (runs: ${firsts[*]})"
echo "second run:   $second s (runs: ${seconds_[*]})"
awk -v c="$copy" -v f="$first" -v s="$second" 'BEGIN {
  printf "first run / copy:  %.2f (goal <= 1.5): %s\n", f / c, f <= 1.5 * c ? "met" : "NOT met"
  printf "second run / copy: %.2f (goal <= 0.25): %s\n", s / c, s <= 0.25 * c ? "met" : "NOT met"
}'
