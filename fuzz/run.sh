#!/usr/bin/env bash
# Builds one fuzz target with clang and libFuzzer and runs it for a while on a
# copy of its corpus.
#   fuzz/run.sh TARGET SECONDS [BUILD_DIR] [libFuzzer options...]
# TARGET is tokenizer, rewriter, probe, picture_name, document, css, diff,
# cli_options or settings, or "all" for each of them in turn. BUILD_DIR (default
# build-fuzz) is configured on first use. New inputs go to
# BUILD_DIR/fuzz-run/TARGET/corpus, findings to BUILD_DIR/fuzz-run/TARGET/.
# Minimize what is worth keeping into the corpus with -merge=1.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if (($# < 2)); then
  echo "usage: fuzz/run.sh TARGET|all SECONDS [BUILD_DIR] [libFuzzer options...]" >&2
  echo "  TARGET: tokenizer rewriter probe picture_name document css diff cli_options settings" >&2
  exit 2
fi
target=${1%_fuzz}
seconds=$2
build_dir=${3:-build-fuzz}
shift $(($# < 3 ? $# : 3))
if [ "$target" = all ]; then
  status=0
  for t in tokenizer rewriter probe picture_name document css diff cli_options settings; do
    "$0" "$t" "$seconds" "$build_dir" "$@" || status=1
  done
  exit $status
fi
case "$target" in
  tokenizer | probe) max_len=65536 ;;
  rewriter | settings | document | css | diff) max_len=16384 ;;
  picture_name | cli_options) max_len=4096 ;;
  *) echo "unknown target: $target" >&2; exit 2 ;;
esac

# libFuzzer comes with clang's runtime libraries.
packages=(clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

# Two targets may be started side by side on one build folder; their builds
# take turns.
mkdir -p "$build_dir"
(
  flock 9
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTAMARIND_FUZZ=ON -DTAMARIND_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$build_dir" -j"$(nproc)" --target "${target}_fuzz"
) 9>"$build_dir/.fuzz-build-lock"

run="$build_dir/fuzz-run/$target"
mkdir -p "$run/corpus" "$run/artifacts"
cp -n fuzz/corpus/"$target"/* "$run/corpus/"
touch "$run/started"
echo "== Fuzzing $target for $seconds s; corpus copy in $run/corpus, log in $run/log.txt"
"$build_dir/fuzz/${target}_fuzz" "$run/corpus" -max_total_time="$seconds" -max_len="$max_len" \
  -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$run/artifacts/" "$@" \
  >"$run/log.txt" 2>&1 || true

grep -E '^#[0-9]+' "$run/log.txt" | tail -n 2
grep -E 'ERROR|SUMMARY|stat::|Test unit written|exiting' "$run/log.txt" || true
findings=$(find "$run/artifacts" -type f -newer "$run/started")
echo "== Findings of this run:"
if [ -n "$findings" ]; then
  echo "$findings"
  exit 1
fi
echo "none"
