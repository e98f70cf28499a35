#!/usr/bin/env bash
# A whole site: one worker against two.
#   bash bench/site.sh [BUILD_DIR] [PAGES]
# Makes a site of PAGES pages (2,000 by default) of about 50 KB with 20 IMG
# tags each over 200 pictures, and times tamarind-cli -R on fresh copies of it
# with -j 1 and -j 2 (backups on, as by default). Prints both times and the
# ratio.
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

best=()
for jobs in 1 2; do
  times=()
  for _ in 1 2 3; do
    rm -rf "$work/run"; cp -r "$work/site" "$work/run"; sync
    t=$("$tool" measure "$cli" -R -j "$jobs" "$work/run" 2>&1 >/dev/null | tail -n 1 | cut -d' ' -f1)
    times+=("$t")
  done
  best+=("$(printf '%s\n' "${times[@]}" | sort -n | head -n 1)")
  echo "-j $jobs: ${best[-1]} s (runs: ${times[*]})"
done
awk -v a="${best[0]}" -v b="${best[1]}" 'BEGIN {
  printf "speed-up -j 2 over -j 1: %.2f (goal >= 1.7); -j 2 takes %.2f s (goal < 2)\n", a / b, b
}'
