#!/usr/bin/env bash
# Inputs made to be hard on the program: each must finish, in time linear in
# its size, with memory within three times its size.
#   bash bench/hostile.sh [BUILD_DIR] [MEGABYTES_FOR_DOCUMENTS] [MEGABYTES_FOR_PICTURES]
# Defaults: 1024 MB documents (one IMG tag of that size; only "<"; an IMG tag
# whose quoted value never closes; "<a " with no ">"), 200 MB
# pictures (a .jpg without FF D8; a JPEG whose segment lengths step back),
# and a sparse .jpg of 20 GB of zeros after its FF D8.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}
doc_mb=${2:-1024}
pic_mb=${3:-200}
tool="$build/bench/bench-tool"
cli="$build/cli/tamarind-cli"
[ -x "$tool" ] && [ -x "$cli" ] || { echo "build first: bash build.sh run" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tamarind-hostile.XXXXXX")
trap 'rm -rf "$work"' EXIT
printf 'GIF89a\x01\x00\x01\x00\x00\x00\x00;' > "$work/a.gif"

report() {  # NAME FILE SECONDS PEAK_KB
  awk -v n="$1" -v size="$(stat -c %s "$2")" -v s="$3" -v kb="$4" 'BEGIN {
    printf "%-34s %7.0f MB  %6.2f s  %7.0f MB/s  peak %7.1f MB = %.2f x its size\n",
           n, size / 1048576, s, size / 1048576 / (s > 0 ? s : 0.001), kb / 1024, kb * 1024 / size
  }'
}
run() {  # NAME FILE ARGS...
  local name=$1 file=$2
  shift 2
  read -r seconds kb < <("$tool" measure "$cli" "$@" 2>&1 >/dev/null | tail -n 1)
  report "$name" "$file" "$seconds" "$kb"
}

"$tool" hostile one-tag "$work/one-tag.html" "$doc_mb"
run "one IMG tag of many attributes" "$work/one-tag.html" -B "$work/one-tag.html"
rm -f "$work/one-tag.html"
"$tool" hostile brackets "$work/brackets.html" "$doc_mb"
run "a document of only \"<\"" "$work/brackets.html" -B "$work/brackets.html"
rm -f "$work/brackets.html"
"$tool" hostile open-quote "$work/open-quote.html" "$doc_mb"
run "an IMG tag whose quote never closes" "$work/open-quote.html" -B "$work/open-quote.html"
rm -f "$work/open-quote.html"
"$tool" hostile tag-opens "$work/tag-opens.html" "$doc_mb"
run "\"<a \" again and again, no \">\"" "$work/tag-opens.html" -B "$work/tag-opens.html"
rm -f "$work/tag-opens.html"
"$tool" hostile no-soi "$work/no-soi.jpg" "$pic_mb"
run "a .jpg without FF D8" "$work/no-soi.jpg" --size "$work/no-soi.jpg" || true
rm -f "$work/no-soi.jpg"
# Sparse: 20 GB of zeros after the start marker cost no disk.
printf '\xFF\xD8' > "$work/zeros.jpg"
truncate -s 20G "$work/zeros.jpg"
run "a .jpg of 20 GB of zeros after FF D8" "$work/zeros.jpg" --size "$work/zeros.jpg" || true
rm -f "$work/zeros.jpg"
"$tool" hostile back-steps "$work/back-steps.jpg" "$pic_mb"
run "a JPEG whose lengths step back" "$work/back-steps.jpg" --size "$work/back-steps.jpg" || true
